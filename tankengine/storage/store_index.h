// The in-memory index of a block: for every store, its records ordered by
// time stamp and, for equal times, by arrival.
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

struct StoreSummary {
    std::int32_t code;
    SQHead first;  // header of the store's first record to arrive
};

class StoreIndex {
public:
    void Add(std::uint64_t record, const SQHead& head);

    // In the order the stores first appeared.
    const std::vector<StoreSummary>& Stores() const { return m_summaries; }

    // The store's records in time order; empty for an unknown store. Valid
    // until the next Add (a reader's Refresh).
    std::span<const IndexEntry> Entries(std::int32_t code) const;

private:
    friend class TimeOrderedCursor;

    std::unordered_map<std::int32_t, std::size_t> m_slots;  // code -> place in the vectors below
    std::vector<StoreSummary> m_summaries;
    std::vector<std::vector<IndexEntry>> m_entries;
};

// The first position in a store's entries whose time is at or after `time`.
std::size_t FirstAtOrAfter(std::span<const IndexEntry> entries, double time);

// Walks the records of all stores in time order (equal times by arrival),
// starting at the first at or after a time. It keeps positions, not
// pointers, so a Refresh of the reader in between cannot make it read freed
// memory, though it may then repeat or skip records: start a new cursor after
// a Refresh. It refers to the index, so it must not outlive its reader.
class TimeOrderedCursor {
public:
    TimeOrderedCursor(const StoreIndex& index, double from);

    std::optional<IndexEntry> Next();

private:
    struct Head {
        IndexEntry entry;
        std::size_t slot;
        std::size_t position;
    };
    static bool Later(const Head& a, const Head& b);
    void Push(std::size_t slot, std::size_t position);

    const StoreIndex& m_index;
    std::vector<Head> m_heap;
};

}  // namespace orvo::tank
