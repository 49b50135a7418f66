// The in-memory index of the records a block reader walked: for every
// store, its records ordered by time stamp and, for equal times, by arrival.
#pragma once

#include <orvo/protocol/SQHead.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace orvo::tank {

struct IndexEntry {
    double time;
    std::uint64_t record;  // the record's number in the block, in arrival order
};

// The order of a read: by time, equal times by arrival.
bool ReadBefore(const IndexEntry& a, const IndexEntry& b);

struct StoreSummary {
    std::int32_t code;
    SQHead first;  // header of the store's first record to arrive
};

class StoreIndex {
public:
    void Add(std::uint64_t record, const SQHead& head);

    // The store's records in time order; empty for an unknown store. Valid
    // until the next Add (a reader's Refresh).
    std::span<const IndexEntry> Entries(std::int32_t code) const;

    // Forgets the records before `record`; they must be the first of each
    // store in time order, as they are when every store came in time order.
    // False, with nothing forgotten, when they are not.
    bool ForgetBefore(std::uint64_t record);

private:
    std::unordered_map<std::int32_t, std::size_t> m_slots;  // code -> place in m_entries
    std::vector<std::vector<IndexEntry>> m_entries;
};

// The first position in a store's entries whose time is at or after `time`.
std::size_t FirstAtOrAfter(std::span<const IndexEntry> entries, double time);

}  // namespace orvo::tank
