// The events of a store that is not a stream: one row per event, with the
// columns its kind has. Scalars and snippets carry a channel and a sort code;
// strobes (epocs) carry a value and the time their state ended instead.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/orvo/session.h"
#include "tools/orvo/store_scan.h"
#include "tools/orvo/wave_read.h"

namespace orvo::tool {

struct EventTable {
    enum class Kind { kScalar, kSnippet, kStrobe };
    Kind kind = Kind::kScalar;
    std::size_t points = 1;       // values per event
    std::vector<double> times;    // seconds from the block's start
    std::vector<double> values;   // points per event, event after event
    std::vector<double> offsets;  // strobes: when each ended; NaN while it lasts
    std::vector<int> channels;    // scalars and snippets
    std::vector<int> sortCodes;   // scalars and snippets

    std::size_t size() const { return times.size(); }
};

// The store's events in the request's window ([t1, t2), t2 0 for the end)
// and channels. Throws Failure when a read fails.
EventTable ReadEventTable(Session& session, const WaveRequest& request, const StoreSummary& summary);

}  // namespace orvo::tool
