// Waveforms as a NumPy .npy file (format 1.0): little-endian float32,
// C order, shape (channels, samples), which numpy.load reads unaided.
#pragma once

#include <string>

#include "tools/orvo/waves.h"

namespace orvo::tool {

void WriteNpy(const std::string& path, const Waves& waves);

}  // namespace orvo::tool
