// Reads a store's waveforms through GetWaves, one channel per call, so that
// each read's memory stays one channel long and progress can be shown.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <orvo/platform/variant.h>
#include "tools/orvo/session.h"
#include "tools/orvo/store_scan.h"
#include "tools/orvo/waves.h"

namespace orvo::tool {

// The library's read settings of a window's start and end.
inline constexpr LONG kT1Setting = 4;
inline constexpr LONG kT2Setting = 5;

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

// Connects, opens the tank, selects the block and looks the store over, then
// hands all three to use.
void WithStore(const WindowOptions& options,
               const std::function<void(Session&, const WaveRequest&, const StoreSummary&)>& use);

// The waveforms of a stream store, as far as every channel was recorded when
// the store was looked over: a block still being recorded is read as it was
// then. progress(done, total) after each channel. Throws Failure when a
// channel cannot be read.
Waves ReadWaves(Session& session, const WaveRequest& request, const StoreSummary& summary,
                const std::function<void(std::size_t, std::size_t)>& progress = {});

// ReadWaves a piece of pieceSeconds at a time, as the pieces are taken:
// the same samples, never the whole window in memory. Only the last piece,
// which tells where the window ends, is read at once. A filtered window is
// read whole, as its valid ranges may start anywhere.
WaveStream StreamWaves(Session& session, const WaveRequest& request, const StoreSummary& summary,
                       double pieceSeconds, const std::function<void(std::size_t, std::size_t)>& progress = {});

// For a block still being recorded, a line saying how far the waves that
// label names were read.
void NoteHowFarRead(const Waves& waves, const std::string& label);

// ReadWaves with a progress bar named label; then, for a block still being
// recorded, a line saying how far it was read.
Waves ReadWavesShowingProgress(Session& session, const WaveRequest& request, const StoreSummary& summary,
                               const std::string& label);

}  // namespace orvo::tool
