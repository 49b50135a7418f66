// PNG pictures of waveforms: rows stacked top to bottom on one time axis,
// one vertical scale for all rows, shown by a scale bar; optionally, under
// them on the same time axis, a panel of mean curves with bands around them.
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

// A vertical line across the picture at a time, such as a stimulus onset.
struct ChartMarker {
    double time = 0.0;  // seconds
    std::string label;
};

// A curve of the means panel, with a band of +-spread around it.
struct ChartCurve {
    std::string label;
    std::vector<float> mean;    // volts, from the chart's start at its rate
    std::vector<float> spread;  // volts, as many as mean
};

struct Chart {
    std::string title;
    std::string timeLabel = "time (s)";
    double start = 0.0;  // time of each row's sample 0, seconds
    double rate = 1.0;   // samples per second
    std::vector<ChartRow> rows;
    std::vector<ChartMarker> markers;
    std::string curvesTitle;
    std::vector<ChartCurve> curves;
};

void WriteChartPng(const std::string& path, const Chart& chart);

// Frees the drawing library's process-wide caches; for the end of main.
void ReleaseChartResources();

}  // namespace orvo::tool
