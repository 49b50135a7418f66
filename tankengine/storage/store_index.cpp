#include "tankengine/storage/store_index.h"

#include <algorithm>

namespace orvo::tank {
namespace {

bool Before(const IndexEntry& a, const IndexEntry& b)
{
    return a.time < b.time || (a.time == b.time && a.record < b.record);
}

}  // namespace

void StoreIndex::Add(std::uint64_t record, const SQHead& head)
{
    auto [slot, added] = m_slots.try_emplace(head.code, m_entries.size());
    if (added) {
        m_summaries.push_back({head.code, head});
        m_entries.emplace_back();
    }
    std::vector<IndexEntry>& entries = m_entries[slot->second];
    IndexEntry entry{head.timeStamp, record};
    // Records arrive nearly always in time order; an older one is inserted
    // in place, after those of equal time, since it arrived after them.
    if (entries.empty() || !Before(entry, entries.back())) {
        entries.push_back(entry);
    } else {
        entries.insert(std::upper_bound(entries.begin(), entries.end(), entry, Before), entry);
    }
}

std::span<const IndexEntry> StoreIndex::Entries(std::int32_t code) const
{
    auto slot = m_slots.find(code);
    if (slot == m_slots.end()) {
        return {};
    }
    return m_entries[slot->second];
}

std::size_t FirstAtOrAfter(std::span<const IndexEntry> entries, double time)
{
    auto it = std::partition_point(entries.begin(), entries.end(),
                                   [time](const IndexEntry& e) { return e.time < time; });
    return static_cast<std::size_t>(it - entries.begin());
}

TimeOrderedCursor::TimeOrderedCursor(const StoreIndex& index, double from) : m_index(index)
{
    for (std::size_t slot = 0; slot < index.m_entries.size(); ++slot) {
        Push(slot, FirstAtOrAfter(index.m_entries[slot], from));
    }
}

bool TimeOrderedCursor::Later(const Head& a, const Head& b) { return Before(b.entry, a.entry); }

void TimeOrderedCursor::Push(std::size_t slot, std::size_t position)
{
    const std::vector<IndexEntry>& entries = m_index.m_entries[slot];
    if (position < entries.size()) {
        m_heap.push_back({entries[position], slot, position});
        std::push_heap(m_heap.begin(), m_heap.end(), Later);
    }
}

std::optional<IndexEntry> TimeOrderedCursor::Next()
{
    if (m_heap.empty()) {
        return std::nullopt;
    }
    std::pop_heap(m_heap.begin(), m_heap.end(), Later);
    Head head = m_heap.back();
    m_heap.pop_back();
    Push(head.slot, head.position + 1);
    return head.entry;
}

}  // namespace orvo::tank
