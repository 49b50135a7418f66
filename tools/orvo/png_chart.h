// PNG pictures of waveforms: rows stacked top to bottom on one time axis,
// one vertical scale for all rows, shown by a scale bar.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvo::tool {

struct ChartRow {
    std::string label;
    const float* values = nullptr;
    std::size_t count = 0;
};

struct Chart {
    std::string title;
    std::string timeLabel = "time (s)";
    double start = 0.0;  // time of each row's sample 0, seconds
    double rate = 1.0;   // samples per second
    std::vector<ChartRow> rows;
};

void WriteChartPng(const std::string& path, const Chart& chart);

// Frees the drawing library's process-wide caches; for the end of main.
void ReleaseChartResources();

}  // namespace orvo::tool
