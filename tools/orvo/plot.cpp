// plot: a store's waveforms as a PNG picture, channels stacked.
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
    const Waves waves = ReadWindow(options.window, "plot");
    Chart chart;
    chart.title = options.window.tank + " / " + options.window.block + " / " + options.window.request.store;
    chart.start = waves.start;
    chart.rate = waves.rate;
    for (std::size_t i = 0; i < waves.channels.size(); ++i) {
        chart.rows.push_back({"ch " + std::to_string(waves.channels[i]), waves.row(i), waves.samples});
    }
    WriteChartPng(options.output, chart);
    std::printf("Wrote %s: %zu channels, %.3f s from %.6f s\n", options.output.c_str(), waves.channels.size(),
                waves.seconds(), waves.start);
}

}  // namespace orvo::tool
