// Sort codes: the sets of sort codes, memos and eigenvectors that a sorter
// keeps for the selected block, and the set whose codes a client's reads
// report.
#include "tankengine/server/TankEngine.h"

#include <orvo/platform/bstr.h>
#include <orvo/platform/safearray.h>
#include "tankengine/server/SortSets.h"
#include "tankengine/server/Text.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include "protocol/StoreCode.h"

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// Record option 1: how often, in seconds, the client's recordings sync.
constexpr LONG kRecordOptionSyncInterval = 1;
constexpr double kLongestSyncInterval = 3600;

constexpr LONG kKindSortCodes = 0;
constexpr LONG kKindEigenvectors = 1;

// The sort operations answer 0 for success, the reverse of the others.
LONG SortAnswer(LONG answer) { return answer != 0 ? 0 : 1; }

std::string StoreText(std::int32_t code)
{
    return "store \"" + std::string(StoreCodeText(code).GetString()) + "\"";
}

tank::Status CheckTarget(LONG code, LONG channel, std::string_view name)
{
    if (code == 0) {
        return tank::Fail(kInvalidArgument, "store code 0 names no store");
    }
    if (channel < 0 || channel > std::numeric_limits<std::uint16_t>::max()) {
        return tank::Fail(kInvalidArgument, "channel " + std::to_string(channel) + " is outside 0 to 65535");
    }
    if (name.size() > kMaxSortNameBytes) {
        return tank::Fail(kInvalidArgument,
                          "the sort name is longer than " + std::to_string(kMaxSortNameBytes) + " bytes");
    }
    return {};
}

// A BSTR's bytes as sent, whether it holds text or not.
std::string_view BstrBytes(BSTR text)
{
    return text == nullptr ? std::string_view()
                           : std::string_view(reinterpret_cast<const char*>(text), SysStringByteLen(text));
}

tank::Result<LONG> DeliverBytes(BSTR* out, std::string_view bytes)
{
    if (out == nullptr) {
        return tank::Fail(kInvalidArgument, "no BSTR to answer into");
    }
    // Sort set contents are far below what a BSTR holds.
    *out = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    if (*out == nullptr) {
        return tank::Fail(kOutOfMemory, "no memory for an answer of " + std::to_string(bytes.size()) + " bytes");
    }
    return 1;
}

// The words of a VT_ARRAY|VT_I4 array of (record, sort code) pairs; nothing
// for VT_EMPTY.
tank::Result<std::span<const std::int32_t>> PairWords(const VARIANT* pairs)
{
    if (pairs == nullptr || pairs->vt == VT_EMPTY) {
        return std::span<const std::int32_t>();
    }
    const SAFEARRAY* array = pairs->parray;
    if (pairs->vt != (VT_ARRAY | VT_I4) || array == nullptr || array->cDims == 0 ||
        array->cbElements != sizeof(std::int32_t)) {
        return tank::Fail(kInvalidArgument, "the sort codes are not an array of 32-bit integers (VT_ARRAY|VT_I4)");
    }
    std::uint64_t words = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        words *= array->rgsabound[d].cElements;
        if (words > std::numeric_limits<ULONG>::max()) {
            return tank::Fail(kInvalidArgument, "the sort code array claims more than 2^32 words");
        }
    }
    if (words % 2 != 0) {
        return tank::Fail(kInvalidArgument, "the sort code array holds " + std::to_string(words) + " words, not pairs");
    }
    if (words > 0 && array->pvData == nullptr) {
        return tank::Fail(kInvalidArgument, "the sort code array has no data");
    }
    return std::span(static_cast<const std::int32_t*>(array->pvData), static_cast<std::size_t>(words));
}

// Puts the codes of the pairs into set; each must name a record of the
// store (and of the channel, unless 0) with a code that fits a record.
tank::Status AddCodes(const tank::BlockReader& reader, std::span<const std::int32_t> pairs, LONG channel,
                      SortSet& set)
{
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        const std::int32_t record = pairs[i];
        const std::int32_t sortCode = pairs[i + 1];
        const std::string pair = "pair " + std::to_string(i / 2) + ": ";
        if (record < 0 || static_cast<std::uint64_t>(record) >= reader.RecordCount()) {
            return tank::Fail(kInvalidArgument, pair + "record " + std::to_string(record) +
                                                    " is not in the block, which has " +
                                                    std::to_string(reader.RecordCount()));
        }
        if (sortCode < std::numeric_limits<std::int16_t>::min() ||
            sortCode > std::numeric_limits<std::int16_t>::max()) {
            return tank::Fail(kInvalidArgument,
                              pair + "sort code " + std::to_string(sortCode) + " is outside -32768 to 32767");
        }
        tank::Result<SQHead> head = reader.Header(static_cast<std::uint64_t>(record));
        if (!head) {
            return head.failure();
        }
        if (head->code != set.code || (channel != 0 && head->channel != channel)) {
            return tank::Fail(kInvalidArgument,
                              pair + "record " + std::to_string(record) + " is of " + StoreText(head->code) +
                                  ", channel " + std::to_string(head->channel) + ", not of " + StoreText(set.code) +
                                  (channel != 0 ? ", channel " + std::to_string(channel) : std::string()));
        }
        set.channels[head->channel].codes[static_cast<std::uint32_t>(record)] = static_cast<std::int16_t>(sortCode);
    }
    return {};
}

// n of an n·n matrix of doubles that fills bytes exactly.
tank::Result<std::uint32_t> MatrixSide(std::size_t bytes)
{
    const std::size_t values = bytes / sizeof(double);
    const auto n = static_cast<std::uint32_t>(std::lround(std::sqrt(static_cast<double>(values))));
    if (bytes % sizeof(double) != 0 || std::size_t{n} * n != values) {
        return tank::Fail(kInvalidArgument, std::to_string(bytes) + " bytes are not an n·n matrix of doubles");
    }
    return n;
}

tank::Result<SortSet> ExistingSet(const tank::BlockReader& reader, std::string_view blockName, std::string_view name,
                                  LONG code)
{
    tank::Result<std::optional<SortSet>> set = LoadSortSet(reader.Dir(), name, code);
    if (!set) {
        return set.failure();
    }
    if (!*set) {
        return tank::Fail(kNotFound, "block " + std::string(blockName) + " has no sort set \"" + std::string(name) +
                                         "\" of " + StoreText(code));
    }
    return std::move(**set);
}

tank::Result<const SortChannel*> ChannelOf(const SortSet& set, LONG channel)
{
    const auto found = set.channels.find(static_cast<std::uint16_t>(channel));
    if (found == set.channels.end()) {
        return tank::Fail(kNotFound,
                          "the sort set \"" + set.name + "\" has nothing for channel " + std::to_string(channel));
    }
    return &found->second;
}

}  // namespace

tank::Result<SelectedBlock*> TankEngine::SortBlock(Client& client, bool changing)
{
    tank::Result<SelectedBlock*> block = Selected(client);
    if (!block) {
        return block.failure();
    }
    if (changing && client.tank->mode != TankMode::Write) {
        return tank::Fail(kInvalidArgument, "the tank is open for reading only");
    }
    if (tank::Status refreshed = Refresh(**block); !refreshed) {
        return refreshed.failure();
    }
    return block;
}

tank::Result<StoredSet> TankEngine::FindSet(Client& client, LONG code, LONG channel, const std::string& name,
                                            bool changing)
{
    if (tank::Status target = CheckTarget(code, channel, name); !target) {
        return target.failure();
    }
    tank::Result<SelectedBlock*> block = SortBlock(client, changing);
    if (!block) {
        return block.failure();
    }
    tank::Result<SortSet> set = ExistingSet((*block)->reader, (*block)->name, name, code);
    if (!set) {
        return set.failure();
    }
    return StoredSet{*block, std::move(*set)};
}

LONG TankEngine::SetUseSortName(LONG clientId, BSTR sortName, LONG option)
{
    return WithClient(clientId, "SetUseSortName", [&](Client& client) -> tank::Result<LONG> {
        std::string name = FromBstr(sortName);
        if (option != 0) {
            return tank::Fail(kInvalidArgument,
                              "option " + std::to_string(option) + " is not known; 0 is the only one");
        }
        if (name.size() > kMaxSortNameBytes) {
            return tank::Fail(kInvalidArgument,
                              "the sort name is longer than " + std::to_string(kMaxSortNameBytes) + " bytes");
        }
        client.sorting.Use(std::move(name));
        return 1;
    });
}

LONG TankEngine::SaveSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, VARIANT* pairs, BSTR memo,
                              LONG kind)
{
    return SortAnswer(WithClient(clientId, "SaveSortCode", [&](Client& client) -> tank::Result<LONG> {
        const std::string name = FromBstr(sortName);
        const std::string_view bytes = BstrBytes(memo);
        if (tank::Status target = CheckTarget(code, channel, name); !target) {
            return target.failure();
        }
        if (kind != kKindSortCodes && kind != kKindEigenvectors) {
            return tank::Fail(kInvalidArgument,
                              "kind " + std::to_string(kind) + " is not known; 0 saves sort codes, 1 eigenvectors");
        }
        if (kind == kKindSortCodes && name.empty()) {
            return tank::Fail(kInvalidArgument, "sort codes need a sort name");
        }
        if (bytes.size() > kMaxConditionBytes) {
            return tank::Fail(kInvalidArgument, "the memo or matrix of " + std::to_string(bytes.size()) +
                                                    " bytes is above " + std::to_string(kMaxConditionBytes));
        }
        tank::Result<std::span<const std::int32_t>> words = PairWords(pairs);
        if (!words) {
            return words.failure();
        }
        tank::Result<SelectedBlock*> block = SortBlock(client, true);
        if (!block) {
            return block.failure();
        }
        const tank::BlockReader& reader = (*block)->reader;
        // Another client's change between our load and our store would be lost.
        MutexLock changes(m_blockChanges);
        tank::Result<std::optional<SortSet>> loaded = LoadSortSet(reader.Dir(), name, code);
        if (!loaded) {
            return loaded.failure();
        }
        SortSet set = loaded->value_or(SortSet{code, name, {}});
        if (kind == kKindSortCodes) {
            if (tank::Status added = AddCodes(reader, *words, channel, set); !added) {
                return added.failure();
            }
            set.channels[static_cast<std::uint16_t>(channel)].memo.emplace(bytes);
        } else {
            if (!words->empty()) {
                return tank::Fail(kInvalidArgument, "eigenvectors take no sort codes");
            }
            if (tank::Result<std::uint32_t> side = MatrixSide(bytes.size()); !side) {
                return side.failure();
            }
            set.channels[static_cast<std::uint16_t>(channel)].eigenvectors.emplace(bytes);
        }
        if (tank::Status stored = StoreSortSet(reader.Dir(), set); !stored) {
            return stored.failure();
        }
        return 1;
    }));
}

LONG TankEngine::GetSortNameList(LONG clientId, LONG code, LONG arg1, LONG arg2, VARIANT* names)
{
    return CountWithClient(clientId, "GetSortNameList", [&](Client& client) -> tank::Result<LONG> {
        if (names == nullptr) {
            return tank::Fail(kInvalidArgument, "no VARIANT to put the names into");
        }
        if (arg1 != 0 || arg2 != 0) {
            return tank::Fail(kInvalidArgument, "the two numbers after the store code must be 0");
        }
        tank::Result<SelectedBlock*> block = SortBlock(client, false);
        if (!block) {
            return block.failure();
        }
        tank::Result<std::vector<std::string>> found = SortSetNames((*block)->reader.Dir(), code);
        if (!found) {
            return found.failure();
        }
        SAFEARRAYBOUND bound{static_cast<ULONG>(found->size()), 0};
        SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 1, &bound);
        if (array == nullptr) {
            return tank::Fail(kOutOfMemory, "no memory for " + std::to_string(found->size()) + " names");
        }
        for (std::size_t i = 0; i < found->size(); ++i) {
            if (!Deliver(static_cast<BSTR*>(array->pvData) + i, (*found)[i])) {
                (void)SafeArrayDestroy(array);
                return tank::Fail(kOutOfMemory, "no memory for the names");
            }
        }
        names->vt = VT_ARRAY | VT_BSTR;
        names->parray = array;
        return static_cast<LONG>(found->size());
    });
}

LONG TankEngine::GetSortCondition(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG kind, BSTR* condition)
{
    return SortAnswer(WithClient(clientId, "GetSortCondition", [&](Client& client) -> tank::Result<LONG> {
        const std::string name = FromBstr(sortName);
        if (kind != kKindSortCodes && kind != kKindEigenvectors) {
            return tank::Fail(kInvalidArgument,
                              "kind " + std::to_string(kind) + " is not known; 0 asks for the memo, 1 eigenvectors");
        }
        tank::Result<StoredSet> set = FindSet(client, code, channel, name, false);
        if (!set) {
            return set.failure();
        }
        tank::Result<const SortChannel*> section = ChannelOf(set->set, channel);
        if (!section) {
            return section.failure();
        }
        if (kind == kKindSortCodes) {
            if (!(*section)->memo) {
                return tank::Fail(kNotFound, "channel " + std::to_string(channel) + " has eigenvectors but no memo");
            }
            return DeliverBytes(condition, *(*section)->memo);
        }
        if (!(*section)->eigenvectors) {
            return tank::Fail(kNotFound, "channel " + std::to_string(channel) + " has no eigenvectors");
        }
        const std::string& matrix = *(*section)->eigenvectors;
        tank::Result<std::uint32_t> side = MatrixSide(matrix.size());
        if (!side) {
            // Saving took square matrices only: the file was changed since.
            return tank::Fail(kCorruption, side.error());
        }
        std::string answer(sizeof *side, '\0');
        std::memcpy(answer.data(), &*side, sizeof *side);
        return DeliverBytes(condition, answer + matrix);
    }));
}

LONG TankEngine::DeleteSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG option)
{
    return SortAnswer(WithClient(clientId, "DeleteSortCode", [&](Client& client) -> tank::Result<LONG> {
        const std::string name = FromBstr(sortName);
        if (option != 0) {
            return tank::Fail(kInvalidArgument,
                              "option " + std::to_string(option) + " is not known; 0 is the only one");
        }
        MutexLock changes(m_blockChanges);
        tank::Result<StoredSet> found = FindSet(client, code, channel, name, true);
        if (!found) {
            return found.failure();
        }
        SortSet& set = found->set;
        if (channel == 0) {
            set.channels.clear();
        } else if (set.channels.erase(static_cast<std::uint16_t>(channel)) == 0) {
            return ChannelOf(set, channel).failure();
        }
        if (tank::Status stored = StoreSortSet(found->block->reader.Dir(), set); !stored) {
            return stored.failure();
        }
        return 1;
    }));
}

LONG TankEngine::GetSortChanMap(LONG clientId, LONG code, BSTR sortName, LONG option, BSTR* map)
{
    return SortAnswer(WithClient(clientId, "GetSortChanMap", [&](Client& client) -> tank::Result<LONG> {
        const std::string name = FromBstr(sortName);
        if (option != 0) {
            return tank::Fail(kInvalidArgument,
                              "option " + std::to_string(option) + " is not known; 0 is the only one");
        }
        tank::Result<StoredSet> set = FindSet(client, code, 0, name, false);
        if (!set) {
            return set.failure();
        }
        std::string bytes;
        for (const auto& [channel, section] : set->set.channels) {
            if (section.codes.empty()) {
                continue;
            }
            const std::int32_t entry[2] = {channel, static_cast<std::int32_t>(section.codes.size())};
            bytes.append(reinterpret_cast<const char*>(entry), sizeof entry);
        }
        return DeliverBytes(map, bytes);
    }));
}

LONG TankEngine::SetRecordOption(LONG clientId, DOUBLE value, LONG option, BSTR)
{
    return SortAnswer(WithClient(clientId, "SetRecordOption", [&](Client& client) -> tank::Result<LONG> {
        if (option != kRecordOptionSyncInterval) {
            return tank::Fail(kInvalidArgument,
                              "option " + std::to_string(option) + " is not known; 1 sets the sync interval");
        }
        if (!(value >= 0 && value <= kLongestSyncInterval)) {
            return tank::Fail(kInvalidArgument, "a sync interval is 0 to 3600 seconds");
        }
        client.syncInterval = std::chrono::milliseconds(std::llround(value * 1000));
        if (client.recording) {
            client.recording->writer.SetSyncInterval(client.syncInterval);
        }
        return 1;
    }));
}

}  // namespace orvo::engine
