// What a block holds: its store codes and, per store, its kind and a count
// of its events and channels from one pass over the event headers.
#pragma once

#include <cstdint>
#include <vector>

#include <orvo/OrvoCI.h>

namespace orvo::tool {

struct StoreSummary {
    LONG code = 0;
    LONG type = 0;
    LONG points = 0;
    LONG format = 0;
    float rate = 0.0f;
    std::uint64_t events = 0;
    std::vector<int> channels;  // rising
    double lastTime = 0.0;      // of the last event, seconds
};

// The stores of the selected block, in the engine's order.
std::vector<LONG> StoreCodes(OrvoCI& client);

// Throws Failure when the store has no event.
StoreSummary ScanStore(OrvoCI& client, LONG code);

}  // namespace orvo::tool
