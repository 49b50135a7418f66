#include "tankengine/storage/store_index.h"

#include <algorithm>

namespace orvo::tank {
bool ReadBefore(const IndexEntry& a, const IndexEntry& b)
{
    return a.time < b.time || (a.time == b.time && a.record < b.record);
}

void StoreIndex::Add(std::uint64_t record, const SQHead& head)
{
    auto [slot, added] = m_slots.try_emplace(head.code, m_entries.size());
    if (added) {
        m_entries.emplace_back();
    }
    std::vector<IndexEntry>& entries = m_entries[slot->second];
    IndexEntry entry{head.timeStamp, record};
    // Records arrive nearly always in time order; an older one is inserted
    // in place, after those of equal time, since it arrived after them.
    if (entries.empty() || !ReadBefore(entry, entries.back())) {
        entries.push_back(entry);
    } else {
        entries.insert(std::upper_bound(entries.begin(), entries.end(), entry, ReadBefore), entry);
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

bool StoreIndex::ForgetBefore(std::uint64_t record)
{
    std::vector<std::size_t> keptFrom;
    for (const std::vector<IndexEntry>& entries : m_entries) {
        const auto first = std::ranges::find_if(entries, [record](const IndexEntry& e) { return e.record >= record; });
        if (std::any_of(first, entries.end(), [record](const IndexEntry& e) { return e.record < record; })) {
            return false;
        }
        keptFrom.push_back(static_cast<std::size_t>(first - entries.begin()));
    }
    for (std::size_t slot = 0; slot < m_entries.size(); ++slot) {
        std::vector<IndexEntry>& entries = m_entries[slot];
        entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keptFrom[slot]));
    }
    return true;
}

}  // namespace orvo::tank
