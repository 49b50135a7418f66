// plot: a stream store's waveforms as a PNG picture, channels stacked.
#include <cstdio>

#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/png_chart.h"

namespace orvo::tool {

void RunPlot(const PlotOptions& options)
{
    if (options.output.empty()) {
        throw Failure("plot needs an output file: -o FILE.png");
    }
    const std::string& store = options.window.request.store;
    WithStore(options.window, [&](Session& session, const WaveRequest& request, const StoreSummary& summary) {
        if (!summary.IsStream()) {
            throw Failure("plot draws stream stores, and \"" + store + "\" is a " + summary.Kind() +
                          " store; orvo export writes its events");
        }
        const Waves waves = ReadWavesShowingProgress(session, request, summary, "plot");
        Chart chart;
        chart.title = options.window.tank + " / " + options.window.block + " / " + store;
        chart.start = waves.start;
        chart.rate = waves.rate;
        for (std::size_t i = 0; i < waves.channels.size(); ++i) {
            chart.rows.push_back({"ch " + std::to_string(waves.channels[i]), waves.row(i), waves.samples});
        }
        WriteChartPng(options.output, chart);
        std::printf("Wrote %s: %zu channels, %.3f s from %.6f s\n", options.output.c_str(), waves.channels.size(),
                    waves.seconds(), waves.start);
    });
}

}  // namespace orvo::tool
