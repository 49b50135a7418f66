// NumPy .npy files (format 1.0), little-endian, which numpy.load reads
// unaided: waveforms as float32 of shape (channels, samples), C order; the
// events of other stores as a structured array, one element per event.
#pragma once

#include <string>

#include "tools/orvo/event_table.h"
#include "tools/orvo/waves.h"

namespace orvo::tool {

void WriteNpy(const std::string& path, const WaveStream& waves);
void WriteNpy(const std::string& path, const EventTable& table);

}  // namespace orvo::tool
