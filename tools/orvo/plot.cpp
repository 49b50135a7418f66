// plot: a stream store's waveforms as a PNG picture, channels stacked.
#include <cstdio>

#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/png_chart.h"
#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

void RunPlot(const PlotOptions& options)
{
    if (options.output.empty()) {
        throw Failure("plot needs an output file: -o FILE.png");
    }
    CheckOutputFolder(options.output);
    const std::string& store = options.window.request.store;
    WithStore(options.window, [&](Session& session, const WaveRequest& request, const StoreSummary& summary) {
        if (!summary.IsStream()) {
            throw Failure("plot draws stream stores, and \"" + store + "\" is a " + summary.Kind() +
                          " store; orvo export writes its events");
        }
        const Waves waves = ReadWavesShowingProgress(session, request, summary, "plot");
        Chart chart;
        chart.title = Shown(options.window.tank + " / " + options.window.block + " / " + store) + ", " +
                      (waves.channels.size() == 1 ? "channel " + std::to_string(waves.channels.front())
                                                  : Counted(waves.channels.size(), "channel")) +
                      ", " + Seconds(waves.start) + " to " + Seconds(waves.start + waves.seconds());
        chart.start = waves.start;
        chart.rate = waves.rate;
        for (std::size_t i = 0; i < waves.channels.size(); ++i) {
            chart.rows.push_back({"ch " + std::to_string(waves.channels[i]), waves.row(i), waves.samples});
        }
        WriteChartPng(options.output, chart);
        std::printf("Wrote %s: %s, %.3f s from %.6f s\n", options.output.c_str(),
                    Counted(waves.channels.size(), "channel").c_str(), waves.seconds(), waves.start);
    });
}

}  // namespace orvo::tool
