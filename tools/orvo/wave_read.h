// Reads a store's waveforms through GetWaves, one channel per call, so that
// each read's memory stays one channel long and progress can be shown.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <orvo/platform/variant.h>
#include "tools/orvo/session.h"
#include "tools/orvo/waves.h"

namespace orvo::tool {

struct WaveRequest {
    std::string store;
    std::vector<int> channels;  // empty: every channel of the store
    double t1 = 0.0;            // 0: from the start
    double t2 = 0.0;            // 0: to the end
    std::string filter;         // a filter description, or empty
};

struct WaveRows {
    std::size_t rows = 0;
    std::size_t points = 0;     // per row
    std::vector<float> values;  // row after row
};

// The rows of an answer shaped as GetWaves and GetWavesOnTimeRange give
// them (floats, points varying fastest); throws Failure for any other shape.
WaveRows TakeWaveRows(const VARIANT& answer);

// Checks the window (finite, not negative, t2 after t1 unless 0).
void CheckWindow(double t1, double t2);

// What export and plot read: a store of a block of a tank, with the
// channels as typed ("1,3,5-8", empty for all).
struct WindowOptions {
    std::string tank;
    std::string block;
    std::string channels;
    WaveRequest request;
};

// Connects, opens, selects and reads, with a progress bar named label.
Waves ReadWindow(const WindowOptions& options, const std::string& label);

// progress(done, total) after each channel.
Waves ReadWaves(Session& session, const WaveRequest& request,
                const std::function<void(std::size_t, std::size_t)>& progress = {});

}  // namespace orvo::tool
