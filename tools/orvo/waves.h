// Continuous waveforms of several channels on one sample grid.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace orvo::tool {

struct Waves {
    std::vector<int> channels;
    std::size_t samples = 0;    // per channel
    double rate = 0.0;          // Hz
    double start = 0.0;         // time of sample 0, seconds from the block's start
    std::vector<float> values;  // channel after channel, samples each
    bool recording = false;     // the block was still being recorded

    const float* row(std::size_t index) const { return values.data() + index * samples; }
    double seconds() const { return rate > 0.0 ? static_cast<double>(samples) / rate : 0.0; }
};

// A window's waveforms handed over a piece at a time, so that a long one
// never lies in memory whole: shape tells the channels, the rate, the time
// of the first sample and the samples per channel (its values are empty);
// pieces(take) calls take(piece, firstSample) for consecutive pieces, each
// holding every channel's samples firstSample to firstSample +
// piece.samples - 1 of the window.
struct WaveStream {
    using Take = std::function<void(const Waves& piece, std::size_t firstSample)>;

    Waves shape;
    std::function<void(const Take&)> pieces;
};

}  // namespace orvo::tool
