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
    // Seconds from the block's start up to which every channel was recorded
    // when the scan ran: a stream's channels each end with their last
    // record's last sample; other stores end with their last event.
    double recordedEnd = 0.0;

    bool IsStream() const { return type == kStreamType; }
    // "stream", "snippet", "scalar" or "strobe".
    const char* Kind() const;
};

// The stores of the selected block, in the engine's order.
std::vector<LONG> StoreCodes(OrvoCI& client);

// Throws Failure when the store has no event.
StoreSummary ScanStore(OrvoCI& client, LONG code);

}  // namespace orvo::tool
