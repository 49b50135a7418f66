// CSV files. Waveforms: a header "time_s,ch1,ch2,...", then one line per
// sample. Events of other stores: one line per event, "time_s,value,channel,
// sort_code" for scalars, "time_s,v1,...,vN,channel,sort_code" for snippets,
// "time_s,value,offset_s" for strobes (offset empty while the epoc lasts).
#pragma once

#include <string>

#include "tools/orvo/event_table.h"
#include "tools/orvo/waves.h"

namespace orvo::tool {

void WriteCsv(const std::string& path, const WaveStream& waves);
void WriteCsv(const std::string& path, const EventTable& table);

}  // namespace orvo::tool
