#include "tests/support/memory_tank_engine.h"

#include <algorithm>
#include <cstring>

#include "platform/safearray.h"

namespace orvo::test {

namespace {
constexpr LONG kNextBatch = 1;
constexpr LONG kHeadersOnly = 1024;
}  // namespace

void MemoryTankEngine::Add(SQHead head, const void* data, std::size_t bytes)
{
    const std::size_t dataWords = (bytes + sizeof(std::int32_t) - 1) / sizeof(std::int32_t);
    head.size = static_cast<std::int32_t>(kHeaderWords + dataWords);
    const std::size_t offset = m_words.size();
    m_words.resize(offset + static_cast<std::size_t>(head.size));
    WriteHeader(&m_words[offset], head);
    if (bytes != 0) {
        std::memcpy(&m_words[offset + kHeaderWords], data, bytes);
    }
    m_sorted = m_sorted && (m_entries.empty() || m_entries.back().time <= head.timeStamp);
    m_entries.push_back({head.timeStamp, offset, head.size});
}

LONG MemoryTankEngine::GetBlockInfo(LONG, BSTR*, BSTR*, BSTR*, DOUBLE* startTime, DOUBLE* stopTime, BSTR*)
{
    *startTime = m_blockStart, *stopTime = m_blockStop;
    return 1;
}

bool MemoryTankEngine::Selects(const Entry& entry, const Window& window) const
{
    const SQHead head = ReadHeader(&m_words[entry.offset]);
    return (window.code == 0 || head.code == window.code) && (window.channel == 0 || head.channel == window.channel) &&
           (window.sortCode == 0 || head.sortCode == window.sortCode);
}

LONG MemoryTankEngine::ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel,
                                  LONG sortCode, DOUBLE startTime, DOUBLE endTime, LONG options)
{
    if (!m_sorted) {
        std::stable_sort(m_entries.begin(), m_entries.end(),
                         [](const Entry& a, const Entry& b) { return a.time < b.time; });
        m_sorted = true;
    }
    const Window window{code, channel, sortCode, startTime, endTime, options & ~kNextBatch};
    std::size_t next = 0;
    if ((options & kNextBatch) != 0) {
        const auto last = m_cursors.find(clientId);
        if (last == m_cursors.end() || !(last->second.window == window)) {
            return 0;
        }
        next = last->second.next;
    } else {
        next = static_cast<std::size_t>(
            std::partition_point(m_entries.begin(), m_entries.end(),
                                 [&](const Entry& e) { return e.time < startTime; }) -
            m_entries.begin());
    }
    std::vector<const Entry*> batch;
    for (; next < m_entries.size() && batch.size() < static_cast<std::size_t>(std::max<LONG>(maxEvents, 0)); ++next) {
        const Entry& entry = m_entries[next];
        if (endTime > 0.0 && entry.time >= endTime) {
            next = m_entries.size();
            break;
        }
        if (Selects(entry, window)) {
            batch.push_back(&entry);
        }
    }
    m_cursors[clientId] = {window, next};
    if (batch.empty()) {
        return 0;
    }
    std::int32_t width = kHeaderWords;
    if ((options & kHeadersOnly) == 0) {
        for (const Entry* entry : batch) {
            width = std::max(width, entry->words);
        }
    }
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(batch.size()), 0}, {static_cast<ULONG>(width), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
    if (array == nullptr) {
        return 0;
    }
    auto* rows = static_cast<std::int32_t*>(array->pvData);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::size_t words = static_cast<std::size_t>(std::min(batch[i]->words, width));
        std::memcpy(rows + i * static_cast<std::size_t>(width), &m_words[batch[i]->offset], words * sizeof(std::int32_t));
    }
    events->vt = VT_ARRAY | VT_I4;
    events->parray = array;
    return static_cast<LONG>(batch.size());
}

LONG MemoryTankEngine::GetValidTimeRanges(LONG, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime, LONG maxRanges)
{
    const std::vector<TimeRange> whole{{0.0, m_blockStop - m_blockStart}};
    std::vector<TimeRange> kept;
    for (TimeRange range : m_ranges.value_or(whole)) {
        if (kept.size() >= static_cast<std::size_t>(std::max<LONG>(maxRanges, 0))) {
            break;
        }
        if (range.end < startTime || (endTime > 0.0 && range.start >= endTime)) {
            continue;
        }
        range.start = std::max(range.start, startTime);
        range.end = endTime > 0.0 ? std::min(range.end, endTime) : range.end;
        kept.push_back(range);
    }
    if (kept.empty()) {
        return 0;
    }
    // Declared (columns, rows), so that the descriptor holds the rows first.
    SAFEARRAYBOUND bounds[2] = {{m_rangeColumns, 0}, {static_cast<ULONG>(kept.size()), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_R8, 2, bounds);
    if (array == nullptr) {
        return 0;
    }
    auto* table = static_cast<double*>(array->pvData);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        double* row = table + i * m_rangeColumns;
        std::fill(row, row + m_rangeColumns, -1.0);
        row[0] = kept[i].start;
        row[1] = kept[i].end;
    }
    ranges->vt = VT_ARRAY | VT_R8;
    ranges->parray = array;
    return static_cast<LONG>(kept.size());
}

}  // namespace orvo::test
