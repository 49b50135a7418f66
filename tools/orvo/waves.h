// Continuous waveforms of several channels on one sample grid.
#pragma once

#include <cstddef>
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

}  // namespace orvo::tool
