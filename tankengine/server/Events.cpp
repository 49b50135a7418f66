// Events: storing what a recording client sends, reading a block's records
// back (through the valid ranges of the client's filters), its store codes.
#include "tankengine/server/TankEngine.h"

#include <orvo/platform/safearray.h>
#include "platform/arrays.h"
#include "tankengine/server/Answers.h"
#include "tankengine/server/Records.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// ReadEvents options.
constexpr LONG kContinue = 1;
constexpr LONG kHeadersOnly = 1024;
// The record's number in its block at byte 36 instead of sampleFreq, as the
// index that SaveSortCode takes.
constexpr LONG kRecordIndex = 2048;
// One answer holds at most this many bytes, so a large maxEvents cannot
// exhaust memory; the rest comes with continued reads. One record alone may
// exceed it (up to 1 GiB of data), and is then answered alone.
constexpr std::uint64_t kMaxAnswerBytes = std::uint64_t{1} << 28;
// Nor can many short rows: each costs more than its bytes while the answer
// is gathered.
constexpr std::size_t kMaxAnswerRows = 1000000;
// The rows a client's reads keep from call to call: those of the usual
// batches, whose memory a continued read then reuses rather than taking
// fresh pages and giving them back each time.
constexpr std::size_t kKeptRows = 1 << 14;
// Event types compare without the stream option flags.
constexpr std::int32_t kTypeMask = 0xFF0F;

// A block's records in the order of a read: one store's in time order, or
// all stores' merged in time order; equal times by arrival.
class EntryWalk {
public:
    // `after`: the record a continued read stopped at, of which the walk
    // wants nothing before.
    EntryWalk(const tank::BlockReader& reader, LONG code, double from, std::uint64_t after)
        : m_reader(reader), m_code(code), m_after(after)
    {
        SkipTo(from);
    }

    tank::Result<std::optional<tank::IndexEntry>> Next()
    {
        return std::visit([](auto& cursor) { return cursor.Next(); }, m_cursor);
    }

    // The frame of the entry Next gave last.
    tank::Result<tank::Frame> CurrentFrame()
    {
        return std::visit([](auto& cursor) { return cursor.CurrentFrame(); }, m_cursor);
    }

    // Goes on at the first record at or after a later time.
    void SkipTo(double time)
    {
        if (m_code == 0) {
            m_cursor.emplace<tank::TimeOrderedCursor>(m_reader, time);
        } else {
            m_cursor.emplace<tank::StoreCursor>(m_reader, m_code, time, m_after);
        }
    }

private:
    const tank::BlockReader& m_reader;
    LONG m_code;
    std::uint64_t m_after;
    std::variant<tank::StoreCursor, tank::TimeOrderedCursor> m_cursor{std::in_place_type<tank::StoreCursor>,
                                                                      m_reader, 0, 0.0};
};

bool Selects(const ReadSelection& selection, const SQHead& head)
{
    return (selection.channel == 0 || head.channel == selection.channel) &&
           (selection.sortCode == 0 || head.sortCode == selection.sortCode);
}

tank::Status PutRecordIndex(std::uint64_t record, SQHead& head)
{
    if (record > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return tank::Fail(kInvalidArgument, "record " + std::to_string(record) + " is past what a 32-bit index holds");
    }
    const auto index = static_cast<std::int32_t>(record);
    static_assert(sizeof index == sizeof head.sampleFreq);
    std::memcpy(&head.sampleFreq, &index, sizeof index);
    return {};
}

tank::Result<SAFEARRAY*> RowsArray(const tank::BlockReader& reader, const std::vector<ReadRow>& rows,
                                   std::uint32_t width, bool headersOnly)
{
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(rows.size()), 0}, {width, 0}};
    // Every word is written below, or the array goes again: the header, the
    // data read into place, zeros past a shorter record.
    SAFEARRAY* array = orvo::SafeArrayCreateUnfilled(VT_I4, 2, bounds);
    if (array == nullptr) {
        return tank::Fail(kOutOfMemory, "no memory for " + std::to_string(rows.size()) + " rows of " +
                                            std::to_string(width) + " words");
    }
    auto* words = static_cast<std::int32_t*>(array->pvData);
    std::vector<tank::DataPlace> places;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::int32_t* row = words + i * width;
        WriteHeader(row, rows[i].head);
        std::uint32_t filled = kHeaderWords;
        if (!headersOnly && rows[i].head.size > kHeaderWords) {
            places.push_back({rows[i].record, &rows[i].frame,
                              std::span<std::int32_t>(row + kHeaderWords, width - kHeaderWords)});
            filled = static_cast<std::uint32_t>(rows[i].head.size);
        }
        std::fill(row + filled, row + width, 0);
    }
    if (tank::Status read = reader.ReadData(places); !read) {
        (void)SafeArrayDestroy(array);
        return read.failure();
    }
    return array;
}

// A read that found no more records in its window has reached the damage
// of a damaged block unless its window ends before the last good record:
// the records lost to the damage were written after that one.
tank::Status CheckReachesDamage(const tank::BlockReader& reader, double end)
{
    const std::optional<tank::BlockDamage>& damage = reader.Damage();
    if (!damage) {
        return {};
    }
    if (end != 0 && damage->record > 0) {
        tank::Result<SQHead> lastGood = reader.Header(damage->record - 1);
        if (!lastGood) {
            return lastGood.failure();
        }
        if (end < lastGood->timeStamp) {
            return {};
        }
    }
    return reader.Whole();
}

}  // namespace

tank::Status TankEngine::Refresh(SelectedBlock& block)
{
    if (tank::Result<std::uint64_t> added = block.reader.Refresh(); added) {
        return {};
    }
    // Only a writer that cut back a failed batch makes a refresh fail; a
    // fresh reader sees the block as it is now.
    tank::Result<tank::BlockReader> reopened = tank::BlockReader::Open(block.reader.Dir());
    if (!reopened) {
        return reopened.failure();
    }
    block.reader = std::move(*reopened);
    return {};
}

tank::Result<LONG> TankEngine::Read(Client& client, VARIANT* events, LONG maxEvents, const ReadSelection& selection,
                                    bool continuing)
{
    if (events == nullptr) {
        return tank::Fail(kInvalidArgument, "no VARIANT to read the events into");
    }
    if (maxEvents < 1) {
        return tank::Fail(kInvalidArgument, "maxEvents " + std::to_string(maxEvents) + " is below 1");
    }
    if (!std::isfinite(selection.start) || !std::isfinite(selection.end) ||
        (selection.end != 0 && selection.end < selection.start)) {
        return tank::Fail(kInvalidArgument, "the window " + std::to_string(selection.start) + " to " +
                                                std::to_string(selection.end) +
                                                " is not a time window (an end of 0 is the end of the block)");
    }
    tank::Result<SelectedBlock*> block = Selected(client);
    if (!block) {
        return block.failure();
    }
    if (tank::Status refreshed = Refresh(**block); !refreshed) {
        return refreshed.failure();
    }
    tank::Result<ReadWindow> window = WindowOf(client, selection.code, selection.start, selection.end);
    if (!window) {
        return window.failure();
    }
    const tank::BlockReader& reader = (*block)->reader;
    std::optional<tank::IndexEntry> after;
    if (continuing && client.position && client.position->selection == selection) {
        after = client.position->after;
    }
    const bool headersOnly = (selection.options & kHeadersOnly) != 0;
    EntryWalk walk(reader, selection.code, after ? after->time : selection.start, after ? after->record : 0);
    client.sorting.BeginRead(reader.Dir());
    std::vector<ReadRow>& rows = client.readRows;
    rows.clear();
    std::uint32_t width = kHeaderWords;
    bool windowDone = false;
    const std::size_t maxRows = std::min(static_cast<std::size_t>(maxEvents), kMaxAnswerRows);
    while (rows.size() < maxRows) {
        tank::Result<std::optional<tank::IndexEntry>> next = walk.Next();
        if (!next) {
            return next.failure();
        }
        const std::optional<tank::IndexEntry>& entry = *next;
        const std::optional<double> admitted = entry ? window->Admit(entry->time) : std::nullopt;
        if (!admitted) {
            windowDone = true;
            break;
        }
        if (*admitted != entry->time) {
            walk.SkipTo(*admitted);  // past a gap between valid ranges
            continue;
        }
        if (after && entry->time == after->time && entry->record <= after->record) {
            continue;  // read before, at the time where the last read stopped
        }
        tank::Result<tank::Frame> frame = walk.CurrentFrame();
        if (!frame) {
            return frame.failure();
        }
        SQHead* head = &frame->head;
        if (!window->Overlaps(entry->time, LastSampleOffset(*head))) {
            after = entry;
            continue;
        }
        if (tank::Status sorted = client.sorting.Apply(entry->record, *head); !sorted) {
            return sorted.failure();
        }
        if (Selects(selection, *head)) {
            if ((selection.options & kRecordIndex) != 0) {
                if (tank::Status indexed = PutRecordIndex(entry->record, *head); !indexed) {
                    return indexed.failure();
                }
            }
            // Stored records have 10 <= size <= 2^28 + 10 words.
            const std::uint32_t rowWidth =
                std::max(width, headersOnly ? width : static_cast<std::uint32_t>(head->size));
            if (!rows.empty() && (rows.size() + 1) * std::uint64_t{rowWidth} * 4 > kMaxAnswerBytes) {
                break;
            }
            rows.push_back({entry->record, *frame, *head});
            width = rowWidth;
        }
        after = entry;
    }
    // Rows short of the window's end would pass for all of it.
    if (windowDone) {
        if (tank::Status whole = CheckReachesDamage(reader, selection.end); !whole) {
            return whole.failure();
        }
    }
    if (!rows.empty()) {
        tank::Result<SAFEARRAY*> array = RowsArray(reader, rows, width, headersOnly);
        if (!array) {
            return array.failure();
        }
        events->vt = VT_ARRAY | VT_I4;
        events->parray = *array;
    }
    // Only a read that answered moves on: one continued after a failure
    // meets the failing record again instead of stepping over it.
    client.position = ReadPosition{selection, after};
    const auto answered = static_cast<LONG>(rows.size());
    if (rows.capacity() > kKeptRows) {
        rows = {};
    }
    return answered;
}

LONG TankEngine::ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                            DOUBLE startTime, DOUBLE endTime, LONG options)
{
    const ReadSelection selection{code, channel, sortCode, startTime, endTime, options & ~kContinue};
    return CountWithClient(clientId, "ReadEvents", [&](Client& client) {
        return Read(client, events, maxEvents, selection, (options & kContinue) != 0);
    });
}

LONG TankEngine::SaveEvents(LONG clientId, VARIANT* records)
{
    return WithClient(clientId, "SaveEvents", [&](Client& client) -> tank::Result<LONG> {
        if (!client.recording) {
            return tank::Fail(kInvalidArgument, "the client is not recording; start a recording first");
        }
        tank::Result<std::vector<tank::Record>> unpacked = UnpackRecords(records);
        if (!unpacked) {
            return unpacked.failure();
        }
        if (tank::Status stored = client.recording->writer.Append(*unpacked); !stored) {
            return stored.failure();
        }
        for (const tank::Record& record : *unpacked) {
            client.recording->latestEnd =
                std::max(client.recording->latestEnd, record.head.timeStamp + RecordDuration(record.head));
        }
        return static_cast<LONG>(unpacked->size());
    });
}

LONG TankEngine::GetEventCodes(LONG clientId, VARIANT* codes, LONG eventType)
{
    return CountWithClient(clientId, "GetEventCodes", [&](Client& client) -> tank::Result<LONG> {
        if (codes == nullptr) {
            return tank::Fail(kInvalidArgument, "no VARIANT to put the codes into");
        }
        tank::Result<SelectedBlock*> block = Selected(client);
        if (!block) {
            return block.failure();
        }
        if (tank::Status refreshed = Refresh(**block); !refreshed) {
            return refreshed.failure();
        }
        // A store may first appear among the records lost to a damage.
        if (tank::Status whole = (*block)->reader.Whole(); !whole) {
            return whole.failure();
        }
        std::vector<std::int32_t> found;
        for (const tank::StoreSummary& store : (*block)->reader.Stores()) {
            if (eventType == 0 || (store.first.type & kTypeMask) == (eventType & kTypeMask)) {
                found.push_back(store.code);
            }
        }
        return DeliverCodes(codes, found);
    });
}

}  // namespace orvo::engine
