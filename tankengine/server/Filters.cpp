// Filters: the client's filter state, the valid time ranges made from it and
// the window a read passes.
#include "tankengine/server/Filters.h"

#include "protocol/FilterGrammar.h"
#include "tankengine/server/Answers.h"
#include "tankengine/server/Records.h"
#include "tankengine/server/TankEngine.h"
#include "tankengine/server/Text.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

constexpr double kForever = std::numeric_limits<double>::infinity();
constexpr std::size_t kRangeWidth = 2;

bool KnownOperator(LONG op)
{
    switch (op) {
    case kFilterAbove: case kFilterBelow: case kFilterEqual: case kFilterAtLeast:
    case kFilterInside: case kFilterAtMost: case kFilterNotEqual: case kFilterOutside:
        return true;
    default:
        return false;
    }
}

tank::Status CheckFilter(LONG code, LONG op, double value1, double value2)
{
    if (code == 0) {
        return tank::Fail(kInvalidArgument, "store code 0 names no store");
    }
    if (!KnownOperator(op)) {
        return tank::Fail(kInvalidArgument, "operator " + std::to_string(op) + " is not known");
    }
    if (!std::isfinite(value1) || !std::isfinite(value2)) {
        return tank::Fail(kInvalidArgument, "the values are not finite numbers");
    }
    return {};
}

// Sorted by start, overlapping ranges joined; ranges that only touch stay
// apart, so back-to-back epocs stay rows of their own.
std::vector<TimeRange> Joined(std::vector<TimeRange> ranges)
{
    std::ranges::sort(ranges, {}, &TimeRange::start);
    std::vector<TimeRange> out;
    for (const TimeRange& range : ranges) {
        if (!out.empty() && range.start < out.back().end) {
            out.back().end = std::max(out.back().end, range.end);
        } else {
            out.push_back(range);
        }
    }
    return out;
}

std::vector<TimeRange> Intersected(const std::vector<TimeRange>& a, const std::vector<TimeRange>& b)
{
    std::vector<TimeRange> out;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        const double start = std::max(a[i].start, b[j].start);
        const double end = std::min(a[i].end, b[j].end);
        if (start < end) {
            out.push_back({start, end});
        }
        (a[i].end < b[j].end ? i : j) += 1;
    }
    return out;
}

std::vector<TimeRange> StoreRanges(const StoreFilter& filter, const EpocTable& table, double tolerance, double start,
                                   double end, double blockEnd)
{
    std::vector<TimeRange> ranges;
    for (std::size_t i = static_cast<std::size_t>(filter.first); i < table.size(); ++i) {
        if (filter.last >= 0 && i > static_cast<std::size_t>(filter.last)) {
            break;
        }
        if (!std::ranges::all_of(filter.tests, [&](const ValueTest& test) { return Passes(test, table[i].value); })) {
            continue;
        }
        const double onset = table[i].onset;
        const double epocEnd = filter.to != 0 ? onset + filter.to : EpocEnd(table, i, filter.respectOffset, blockEnd);
        const double from = std::max(onset + filter.from - tolerance, start);
        const double to = std::min(epocEnd + tolerance, end);
        if (from < to) {
            ranges.push_back({from, to});
        }
    }
    return Joined(std::move(ranges));
}

// Each cut lies a tolerance before an onset, so every piece starts as its
// epoc's own range would.
std::vector<TimeRange> CutAtOnsets(const std::vector<TimeRange>& ranges, const EpocTable& table, double tolerance)
{
    std::vector<TimeRange> out;
    for (TimeRange range : ranges) {
        auto onset = std::ranges::upper_bound(table, range.start, {}, &Epoc::onset);
        for (; onset != table.end() && onset->onset - tolerance < range.end; ++onset) {
            const double cut = onset->onset - tolerance;
            if (cut > range.start) {
                out.push_back({range.start, cut});
                range.start = cut;
            }
        }
        out.push_back(range);
    }
    return out;
}

// Adds the filters of a description text, all or none.
tank::Result<LONG> AddDescribed(ClientFilters& filters, const std::string& text, LONG first, LONG last,
                                bool respectOffset)
{
    const std::vector<CString> pieces = FilterPieces(CString(text));
    if (pieces.empty()) {
        return tank::Fail(kInvalidArgument, "the text \"" + text + "\" holds no filter description");
    }
    std::vector<std::pair<std::int32_t, ValueTest>> parsed;
    for (const CString& piece : pieces) {
        LONG code = 0;
        ValueTest test{};
        LONG extra1 = 0;
        LONG extra2 = 0;
        if (ParseFilterText(piece, &code, &test.op, &test.value1, &test.value2, &extra1, &extra2) == 0) {
            return tank::Fail(
                kInvalidArgument,
                std::string(1, '"').append(piece.GetString()).append("\" is not a filter description; none set"));
        }
        parsed.emplace_back(code, test);
    }
    for (const auto& [code, test] : parsed) {
        StoreFilter& store = filters.stores[code];
        store.tests.push_back(test);
        store.respectOffset = respectOffset;
        if (first != 0 || last != -1) {
            store.first = first;
            store.last = last;
        }
    }
    return static_cast<LONG>(parsed.size());
}

}  // namespace

bool Passes(const ValueTest& test, double value)
{
    const float x = static_cast<float>(value);
    const float v1 = static_cast<float>(test.value1);
    const float v2 = static_cast<float>(test.value2);
    switch (test.op) {
    case kFilterAbove: return x > v1;
    case kFilterBelow: return x < v1;
    case kFilterEqual: return x == v1;
    case kFilterAtLeast: return x >= v1;
    case kFilterInside: return x >= v1 && x <= v2;
    case kFilterAtMost: return x <= v1;
    case kFilterNotEqual: return x != v1;
    case kFilterOutside: return x < v1 || x > v2;
    default: return false;
    }
}

std::vector<TimeRange> RangesOf(const ClientFilters& filters, const std::map<std::int32_t, EpocTable>& tables,
                                double start, double end, double blockEnd)
{
    std::vector<TimeRange> ranges{{start, end}};
    for (const auto& [code, filter] : filters.stores) {
        ranges = Intersected(ranges, StoreRanges(filter, tables.at(code), filters.tolerance, start, end, blockEnd));
    }
    if (filters.timeRef) {
        ranges = CutAtOnsets(ranges, tables.at(*filters.timeRef), filters.tolerance);
    }
    return ranges;
}

ReadWindow::ReadWindow(double start, double end, double blockEnd, double lead,
                       std::optional<std::vector<TimeRange>> ranges)
    : m_start(start), m_end(end == 0 || end >= blockEnd ? kForever : end), m_lead(lead), m_ranges(std::move(ranges))
{
    if (m_ranges) {
        for (TimeRange& range : *m_ranges) {
            range.end = range.end >= blockEnd ? kForever : range.end;
        }
    }
}

std::optional<double> ReadWindow::Admit(double time)
{
    if (time >= m_end) {
        return std::nullopt;
    }
    if (!m_ranges) {
        return std::max(time, m_start);
    }
    while (m_at < m_ranges->size() && (*m_ranges)[m_at].end <= time) {
        ++m_at;
    }
    if (m_at == m_ranges->size() || (*m_ranges)[m_at].start >= m_end) {
        return std::nullopt;
    }
    return std::max({time, m_start, (*m_ranges)[m_at].start - m_lead});
}

bool ReadWindow::Overlaps(double time, double lastSample) const
{
    return !m_ranges || time + lastSample >= (*m_ranges)[m_at].start;
}

tank::Result<std::vector<TimeRange>> TankEngine::ValidRanges(Client& client, double startTime, double endTime)
{
    if (!std::isfinite(startTime) || !std::isfinite(endTime)) {
        return tank::Fail(kInvalidArgument, "the window is not a pair of finite times");
    }
    tank::Result<double> length = SelectedLength(client);
    if (!length) {
        return length.failure();
    }
    const double start = std::max(startTime, 0.0);
    const double end = endTime == 0 ? *length : std::min(endTime, *length);
    if (!(end > start)) {
        return std::vector<TimeRange>{};
    }
    std::set<std::int32_t> codes;
    for (const auto& [code, filter] : client.filters.stores) {
        codes.insert(code);
    }
    if (client.filters.timeRef) {
        codes.insert(*client.filters.timeRef);
    }
    tank::Result<std::map<std::int32_t, EpocTable>> tables =
        EpocTables(client.filters.index, client.filters.cacheDelay, client.block->reader, codes);
    if (!tables) {
        return tables.failure();
    }
    return RangesOf(client.filters, *tables, start, end, *length);
}

tank::Result<ReadWindow> TankEngine::WindowOf(Client& client, std::int32_t code, double start, double end)
{
    if (end == 0 && client.filters.stores.empty()) {
        return ReadWindow(start, end, kForever, 0, std::nullopt);
    }
    tank::Result<double> length = SelectedLength(client);
    if (!length) {
        return length.failure();
    }
    if (client.filters.stores.empty()) {
        return ReadWindow(start, end, *length, 0, std::nullopt);
    }
    // A range may begin inside a record: the read looks back one record.
    double lead = 0;
    for (const tank::StoreSummary& store : client.block->reader.Stores()) {
        if (code == 0 || store.code == code) {
            lead = std::max(lead, RecordDuration(store.first));
        }
    }
    tank::Result<std::vector<TimeRange>> ranges = ValidRanges(client, start, end);
    if (!ranges) {
        return ranges.failure();
    }
    return ReadWindow(start, end, *length, lead, std::move(*ranges));
}

LONG TankEngine::GetValidTimeRanges(LONG clientId, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime,
                                    LONG maxRanges)
{
    return CountWithClient(clientId, "GetValidTimeRanges", [&](Client& client) -> tank::Result<LONG> {
        if (ranges == nullptr) {
            return tank::Fail(kInvalidArgument, "no VARIANT to put the ranges into");
        }
        if (maxRanges < 1) {
            return tank::Fail(kInvalidArgument, "maxRanges " + std::to_string(maxRanges) + " is below 1");
        }
        tank::Result<std::vector<TimeRange>> found = ValidRanges(client, startTime, endTime);
        if (!found) {
            return found.failure();
        }
        std::vector<double> cells;
        for (std::size_t i = 0; i < found->size() && i < static_cast<std::size_t>(maxRanges); ++i) {
            cells.insert(cells.end(), {(*found)[i].start, (*found)[i].end});
        }
        return DeliverTable(ranges, cells, kRangeWidth);
    });
}

LONG TankEngine::ResetFilters(LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3, DOUBLE arg4)
{
    return WithClient(clientId, "ResetFilters", [&](Client& client) -> tank::Result<LONG> {
        if (arg1 != 0 || arg2 != 0 || arg3 != 0 || arg4 != 0) {
            return tank::Fail(kInvalidArgument, "its arguments are reserved and must be 0");
        }
        client.filters.stores.clear();
        client.filters.timeRef.reset();
        return 1;
    });
}

LONG TankEngine::SetFilterEx(LONG clientId, LONG code, LONG op, DOUBLE value1, DOUBLE value2, LONG, LONG)
{
    return WithClient(clientId, "SetFilterEx", [&](Client& client) -> tank::Result<LONG> {
        if (tank::Status good = CheckFilter(code, op, value1, value2); !good) {
            return good.failure();
        }
        client.filters.stores[code].tests.push_back({op, value1, value2});
        return 1;
    });
}

LONG TankEngine::SetFilterWithDescEx(LONG clientId, BSTR description, LONG respectOffset)
{
    return WithClient(clientId, "SetFilterWithDescEx", [&](Client& client) {
        const std::string text = FromBstr(description);
        return AddDescribed(client.filters, text, 0, -1, respectOffset != 0);
    });
}

LONG TankEngine::SetFilterWithDimension(LONG clientId, LONG dim1, LONG dim2, BSTR description, LONG flag,
                                        LONG respectOffset)
{
    return WithClient(clientId, "SetFilterWithDimension", [&](Client& client) -> tank::Result<LONG> {
        const std::string text = FromBstr(description);
        if (dim1 < 0 || dim2 < -1 || (dim2 >= 0 && dim2 < dim1) || (flag != 0 && flag != 1)) {
            return tank::Fail(kInvalidArgument, "epocs " + std::to_string(dim1) + " to " + std::to_string(dim2) +
                                                    " with flag " + std::to_string(flag) +
                                                    " are no selection (first >= 0, last >= first or -1, flag 0 or 1)");
        }
        ClientFilters kept = client.filters;
        if (flag == 1) {
            kept.stores.clear();
            kept.timeRef.reset();
        }
        tank::Result<LONG> added = AddDescribed(kept, text, dim1, dim2, respectOffset != 0);
        if (added) {
            client.filters = std::move(kept);
        }
        return added;
    });
}

LONG TankEngine::SetEpocTimeFilter(LONG clientId, LONG code, DOUBLE startTime, DOUBLE endTime, LONG ignoreOffset)
{
    return WithClient(clientId, "SetEpocTimeFilter", [&](Client& client) -> tank::Result<LONG> {
        if (code == 0 || !std::isfinite(startTime) || !std::isfinite(endTime) ||
            (endTime != 0 && endTime <= startTime)) {
            return tank::Fail(kInvalidArgument,
                              "needs a store code and a window from the onset (an end of 0 is the epoc's end)");
        }
        StoreFilter& store = client.filters.stores[code];
        store.from = startTime;
        store.to = endTime;
        store.respectOffset = ignoreOffset == 0;
        return 1;
    });
}

LONG TankEngine::SetTimeRefEpoc(LONG clientId, LONG code, LONG enable)
{
    return WithClient(clientId, "SetTimeRefEpoc", [&](Client& client) -> tank::Result<LONG> {
        if (enable == 0 || code == 0) {
            client.filters.timeRef.reset();
        } else {
            client.filters.timeRef = code;
        }
        return 1;
    });
}

LONG TankEngine::GetFilterTolerance(LONG clientId, DOUBLE* tolerance)
{
    return GetTime(clientId, "GetFilterTolerance", &ClientFilters::tolerance, tolerance);
}

LONG TankEngine::SetFilterTolerance(LONG clientId, DOUBLE tolerance)
{
    return SetTime(clientId, "SetFilterTolerance", &ClientFilters::tolerance, tolerance);
}

LONG TankEngine::GetCacheDelay(LONG clientId, DOUBLE* delay)
{
    return GetTime(clientId, "GetCacheDelay", &ClientFilters::cacheDelay, delay);
}

LONG TankEngine::SetCacheDelay(LONG clientId, DOUBLE delay)
{
    return SetTime(clientId, "SetCacheDelay", &ClientFilters::cacheDelay, delay);
}

LONG TankEngine::GetTime(LONG clientId, const char* operation, double ClientFilters::*setting, DOUBLE* out)
{
    return WithClient(clientId, operation, [&](Client& client) -> tank::Result<LONG> {
        if (out == nullptr) {
            return tank::Fail(kInvalidArgument, "no place for the answer");
        }
        *out = client.filters.*setting;
        return 1;
    });
}

LONG TankEngine::SetTime(LONG clientId, const char* operation, double ClientFilters::*setting, DOUBLE seconds)
{
    return WithClient(clientId, operation, [&](Client& client) -> tank::Result<LONG> {
        if (!std::isfinite(seconds) || seconds < 0) {
            return tank::Fail(kInvalidArgument, std::to_string(seconds) + " is not a finite time of 0 or more");
        }
        client.filters.*setting = seconds;
        return 1;
    });
}

}  // namespace orvo::engine
