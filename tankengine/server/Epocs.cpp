// Epocs: deriving them from strobe records, keeping them in the client's
// epoc index, and the operations that ask about them.
#include "tankengine/server/Epocs.h"

#include "tankengine/server/Answers.h"

#include <orvo/platform/safearray.h>
#include "tankengine/server/TankEngine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// GetEpocs option / GetEpocsEx arg4: only the epocs the filters pass.
constexpr LONG kPassingOnly = 1;
// The four doubles of an epoc: value, onset, offset, number.
constexpr std::size_t kEpocWidth = 4;

// The word at offset 12, which a Strobe- record uses for a second store code.
std::int32_t SecondCode(const SQHead& head)
{
    return static_cast<std::int32_t>(std::uint32_t{head.channel} |
                                     std::uint32_t{static_cast<std::uint16_t>(head.sortCode)} << 16);
}

// Every epoc's offset: the first offset record after its onset and not after
// the next onset, so an offset at the very time of the next onset still ends
// the earlier epoc.
void AssignOffsets(EpocTable& table, std::vector<double>& offsets)
{
    std::ranges::sort(offsets);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto found = std::ranges::upper_bound(offsets, table[i].onset);
        if (found != offsets.end() && (i + 1 == table.size() || *found <= table[i + 1].onset)) {
            table[i].offset = *found;
        }
    }
}

// One pass over the strobe stores, which may hold offsets for any store.
tank::Result<std::map<std::int32_t, EpocTable>> Derive(const tank::BlockReader& reader,
                                                       const std::set<std::int32_t>& codes)
{
    std::map<std::int32_t, EpocTable> tables;
    std::map<std::int32_t, std::vector<double>> offsets;
    for (const std::int32_t code : codes) {
        tables[code];
    }
    for (const tank::StoreSummary& store : reader.Stores()) {
        if (store.first.type != kStrobeOnType && store.first.type != kStrobeOffType) {
            continue;
        }
        const bool wanted = store.first.type == kStrobeOnType && codes.contains(store.code);
        tank::StoreCursor cursor(reader, store.code, -HUGE_VAL);
        for (;;) {
            tank::Result<std::optional<tank::IndexEntry>> entry = cursor.Next();
            if (!entry) {
                return entry.failure();
            }
            if (!*entry) {
                break;
            }
            tank::Result<tank::Frame> frame = cursor.CurrentFrame();
            if (!frame) {
                return frame.failure();
            }
            const SQHead* head = &frame->head;
            if (head->type == kStrobeOnType && wanted) {
                tables[store.code].push_back({head->value, head->timeStamp, 0.0});
            } else if (head->type == kStrobeOffType) {
                const std::int32_t target = SecondCode(*head) != 0 ? SecondCode(*head) : store.code;
                if (codes.contains(target)) {
                    offsets[target].push_back(head->timeStamp);
                }
            }
        }
    }
    for (auto& [code, found] : offsets) {
        AssignOffsets(tables[code], found);
    }
    return tables;
}

void AppendEpoc(std::vector<double>& cells, const EpocTable& table, std::size_t i)
{
    cells.insert(cells.end(), {table[i].value, table[i].onset, table[i].offset, static_cast<double>(i)});
}

}  // namespace

std::vector<std::int32_t> EpocStores(const tank::BlockReader& reader)
{
    std::vector<std::int32_t> codes;
    for (const tank::StoreSummary& store : reader.Stores()) {
        if (store.first.type == kStrobeOnType) {
            codes.push_back(store.code);
        }
    }
    return codes;
}

double EpocEnd(const EpocTable& table, std::size_t i, bool respectOffset, double blockEnd)
{
    if (respectOffset && table[i].offset != 0.0) {
        return table[i].offset;
    }
    return i + 1 < table.size() ? table[i + 1].onset : std::max(blockEnd, table[i].onset);
}

std::size_t EpocAt(const EpocTable& table, double time, bool respectOffset)
{
    const auto after = std::ranges::upper_bound(table, time, {}, &Epoc::onset);
    if (after == table.begin()) {
        return table.size();
    }
    const auto i = static_cast<std::size_t>(after - table.begin()) - 1;
    if (respectOffset && table[i].offset != 0.0 && time >= table[i].offset) {
        return table.size();
    }
    return i;
}

tank::Result<std::map<std::int32_t, EpocTable>> EpocTables(EpocIndex& index, double cacheDelay,
                                                           const tank::BlockReader& reader,
                                                           const std::set<std::int32_t>& codes)
{
    if (codes.empty()) {
        return std::map<std::int32_t, EpocTable>{};
    }
    // Epocs lost to a damage could fall anywhere, and change the ends of
    // those before them.
    if (tank::Status whole = reader.Whole(); !whole) {
        return whole.failure();
    }
    const bool kept = index.everyStore || std::ranges::includes(index.stores, codes);
    if (!kept) {
        return Derive(reader, codes);
    }
    const auto now = std::chrono::steady_clock::now();
    const bool current = index.built && index.block == reader.Dir() &&
                         (index.records == reader.RecordCount() ||
                          std::chrono::duration<double>(now - index.derived).count() < cacheDelay);
    if (!current) {
        std::set<std::int32_t> keep = index.stores;
        if (index.everyStore) {
            std::ranges::copy(EpocStores(reader), std::inserter(keep, keep.end()));
        }
        tank::Result<std::map<std::int32_t, EpocTable>> derived = Derive(reader, keep);
        if (!derived) {
            return derived.failure();
        }
        index.tables = std::move(*derived);
        index.block = reader.Dir();
        index.records = reader.RecordCount();
        index.derived = now;
        index.built = true;
    }
    std::map<std::int32_t, EpocTable> asked;
    for (const std::int32_t code : codes) {
        const auto found = index.tables.find(code);
        asked[code] = found == index.tables.end() ? EpocTable{} : found->second;
    }
    return asked;
}

tank::Result<const tank::BlockReader*> TankEngine::FreshReader(Client& client)
{
    tank::Result<SelectedBlock*> block = Selected(client);
    if (!block) {
        return block.failure();
    }
    if (tank::Status refreshed = Refresh(**block); !refreshed) {
        return refreshed.failure();
    }
    return &(*block)->reader;
}

tank::Result<EpocTable> TankEngine::EpocsOf(Client& client, std::int32_t code)
{
    if (code == 0) {
        return tank::Fail(kInvalidArgument, "store code 0 names no store");
    }
    tank::Result<const tank::BlockReader*> reader = FreshReader(client);
    if (!reader) {
        return reader.failure();
    }
    tank::Result<std::map<std::int32_t, EpocTable>> tables =
        EpocTables(client.filters.index, client.filters.cacheDelay, **reader, {code});
    if (!tables) {
        return tables.failure();
    }
    return std::move((*tables)[code]);
}

tank::Result<LONG> TankEngine::EpocRows(Client& client, VARIANT* epocs, LONG code, double start, double end,
                                        LONG maxRows, LONG option)
{
    if (epocs == nullptr) {
        return tank::Fail(kInvalidArgument, "no VARIANT to put the epocs into");
    }
    if (!std::isfinite(start) || !std::isfinite(end) || (end != 0 && end < start)) {
        return tank::Fail(kInvalidArgument, "the window is not a time window (an end of 0 is the end of the block)");
    }
    if (maxRows < 0 || (option != 0 && option != kPassingOnly)) {
        return tank::Fail(kInvalidArgument,
                          "row limit " + std::to_string(maxRows) + " or option " + std::to_string(option) +
                              " is not known; limits are 0 (none) or more, options 0 (all) or 1 (passing)");
    }
    tank::Result<EpocTable> table = EpocsOf(client, code);
    if (!table) {
        return table.failure();
    }
    std::vector<TimeRange> passing;
    if (option == kPassingOnly) {
        tank::Result<std::vector<TimeRange>> ranges = ValidRanges(client, start, end);
        if (!ranges) {
            return ranges.failure();
        }
        passing = std::move(*ranges);
    }
    std::vector<double> cells;
    for (std::size_t i = 0; i < table->size() && (maxRows == 0 || cells.size() < static_cast<std::size_t>(maxRows) * kEpocWidth); ++i) {
        const double onset = (*table)[i].onset;
        const bool inWindow = onset >= start && (end == 0 || onset < end);
        const bool passes = option != kPassingOnly || std::ranges::any_of(passing, [onset](const TimeRange& r) {
                                return onset >= r.start && onset < r.end;
                            });
        if (inWindow && passes) {
            AppendEpoc(cells, *table, i);
        }
    }
    return DeliverTable(epocs, cells, kEpocWidth);
}

LONG TankEngine::GetEpocCodes(LONG clientId, VARIANT* codes)
{
    return CountWithClient(clientId, "GetEpocCodes", [&](Client& client) -> tank::Result<LONG> {
        if (codes == nullptr) {
            return tank::Fail(kInvalidArgument, "no VARIANT to put the codes into");
        }
        tank::Result<const tank::BlockReader*> reader = FreshReader(client);
        if (!reader) {
            return reader.failure();
        }
        if (tank::Status whole = (*reader)->Whole(); !whole) {
            return whole.failure();
        }
        return DeliverCodes(codes, EpocStores(**reader));
    });
}

LONG TankEngine::GetEpocs(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG option)
{
    return CountWithClient(clientId, "GetEpocs", [&](Client& client) {
        return EpocRows(client, epocs, code, startTime, endTime, 0, option);
    });
}

LONG TankEngine::GetEpocsEx(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG arg3,
                            LONG arg4)
{
    return CountWithClient(clientId, "GetEpocsEx", [&](Client& client) {
        return EpocRows(client, epocs, code, startTime, endTime, arg3, arg4);
    });
}

LONG TankEngine::QryEpocAtEx(LONG clientId, VARIANT* values, LONG code, DOUBLE time, LONG respectOffset)
{
    return CountWithClient(clientId, "QryEpocAtEx", [&](Client& client) -> tank::Result<LONG> {
        if (values == nullptr || !std::isfinite(time)) {
            return tank::Fail(kInvalidArgument, "needs a VARIANT for the answer and a finite time");
        }
        tank::Result<EpocTable> table = EpocsOf(client, code);
        if (!table) {
            return table.failure();
        }
        const std::size_t i = EpocAt(*table, time, respectOffset != 0);
        if (i == table->size()) {
            return 0;
        }
        std::vector<double> cells;
        AppendEpoc(cells, *table, i);
        SAFEARRAYBOUND bound{kEpocWidth, 0};
        SAFEARRAY* array = SafeArrayCreate(VT_R8, 1, &bound);
        if (array == nullptr) {
            return tank::Fail(kOutOfMemory, "no memory for the answer");
        }
        std::ranges::copy(cells, static_cast<double*>(array->pvData));
        values->vt = VT_ARRAY | VT_R8;
        values->parray = array;
        return 1;
    });
}

LONG TankEngine::QryEpocAtIdx(LONG clientId, LONG code, LONG index, LONG item, DOUBLE* value)
{
    return WithClient(clientId, "QryEpocAtIdx", [&](Client& client) -> tank::Result<LONG> {
        if (value == nullptr || item < 0 || item >= static_cast<LONG>(kEpocWidth)) {
            return tank::Fail(kInvalidArgument,
                              "item " + std::to_string(item) +
                                  " is not 0 (value), 1 (onset), 2 (offset) or 3 (number), or no place for it");
        }
        tank::Result<EpocTable> table = EpocsOf(client, code);
        if (!table) {
            return table.failure();
        }
        if (index < 0 || static_cast<std::size_t>(index) >= table->size()) {
            return tank::Fail(kNotFound,
                              "no epoc " + std::to_string(index) + "; the store has " + std::to_string(table->size()));
        }
        std::vector<double> cells;
        AppendEpoc(cells, *table, static_cast<std::size_t>(index));
        *value = cells[static_cast<std::size_t>(item)];
        return 1;
    });
}

LONG TankEngine::CreateEpocIndexing(LONG clientId)
{
    return WithClient(clientId, "CreateEpocIndexing", [&](Client& client) -> tank::Result<LONG> {
        client.filters.index.everyStore = true;
        client.filters.index.built = false;
        return 1;
    });
}

LONG TankEngine::ClearEpocIndexing(LONG clientId)
{
    return WithClient(clientId, "ClearEpocIndexing", [&](Client& client) -> tank::Result<LONG> {
        client.filters.index = EpocIndex{};
        return 1;
    });
}

LONG TankEngine::IndexEvent(LONG clientId, LONG code, LONG arg2, LONG arg3)
{
    return WithClient(clientId, "IndexEvent", [&](Client& client) -> tank::Result<LONG> {
        if (code == 0 || arg2 != 0 || arg3 != 0) {
            return tank::Fail(kInvalidArgument, "takes a store code and two zeros");
        }
        client.filters.index.stores.insert(code);
        client.filters.index.built = false;
        return 1;
    });
}

}  // namespace orvo::engine
