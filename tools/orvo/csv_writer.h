// Waveforms as CSV: a header "time_s,ch1,ch2,...", then one line per sample.
#pragma once

#include <string>

#include "tools/orvo/waves.h"

namespace orvo::tool {

void WriteCsv(const std::string& path, const Waves& waves);

}  // namespace orvo::tool
