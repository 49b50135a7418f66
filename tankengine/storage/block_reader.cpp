#include "tankengine/storage/block_reader.h"

#include "tankengine/storage/block_files.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fcntl.h>

namespace orvo::tank {
namespace {

// The data read for one checksum pass: small enough to be checked from the
// processor's cache, large enough that a call fetches many records.
constexpr std::uint64_t kRunBytes = std::uint64_t{1} << 20;

}  // namespace

Result<BlockReader> BlockReader::Open(const std::filesystem::path& blockDir)
{
    if (Status folder = CheckBlockFolder(blockDir); !folder) {
        return folder.failure();
    }
    BlockReader reader;
    reader.m_dir = blockDir;
    Result<File> headers = File::Open(blockDir / kHeadersFileName, O_RDONLY);
    if (!headers) {
        return headers.failure();
    }
    Result<File> data = File::Open(blockDir / kDataFileName, O_RDONLY);
    if (!data) {
        return data.failure();
    }
    Status checked = CheckFileHeader(*headers, FileKind::Headers);
    if (checked) {
        checked = CheckFileHeader(*data, FileKind::Data);
    }
    if (!checked) {
        return checked.failure();
    }
    reader.m_headers = std::move(*headers);
    reader.m_data = std::move(*data);
    if (Status adopted = reader.AdoptIndex(); !adopted) {
        return adopted.failure();
    }
    if (Result<std::uint64_t> added = reader.Refresh(); !added) {
        return added.failure();
    }
    return reader;
}

Result<std::uint64_t> BlockReader::Refresh()
{
    Result<std::uint64_t> size = m_headers.Size();
    if (!size) {
        return size.failure();
    }
    if (*size < FrameOffset(m_end.frames)) {
        // The writer cut back a batch it could not complete: what was read
        // is no longer what the block holds.
        return Fail(ErrorKind::kCorruption,
                    m_headers.path() + " became shorter than the records already read; open the block again");
    }
    // Nothing appended: a live reader polling costs this one stat.
    if (m_damage || *size == FrameOffset(m_end.frames)) {
        return std::uint64_t{0};
    }
    const std::uint64_t before = m_end.frames;
    // A frame that stops the walk with no valid frame past it is one the
    // writer is still writing, or the torn tail of a writer that died: the
    // walk stops before it and the next Refresh looks at it again. With a
    // valid frame past it the walk is tried once more, as the writer may
    // have completed the frame meanwhile; one that still fails is damage.
    for (bool validPast = false;;) {
        const std::uint64_t from = m_end.frames;
        Status scanned = ScanFrames(m_headers, m_data, m_end, ScanOptions{},
                                    [this](std::uint64_t record, const Frame& frame) { TakeIn(record, frame.head); });
        if (!scanned) {
            return scanned.failure();
        }
        if (validPast && m_end.frames == from) {
            Result<std::uint64_t> past = CountValidFramesFrom(m_headers, m_data, m_end.frames + 1,
                                                              std::numeric_limits<std::uint64_t>::max());
            if (!past) {
                return past.failure();
            }
            m_damage = BlockDamage{m_end.frames, *past};
            break;
        }
        Result<bool> any = AnyValidFrameFrom(m_headers, m_data, m_end.frames + 1);
        if (!any) {
            return any.failure();
        }
        if (!*any) {
            break;
        }
        validPast = true;
    }
    if (m_outOfOrder) {
        // The index holds that each store came in time order; a record
        // older than its store's indexed ones breaks that, so the block is
        // read as one without an index.
        DropIndex();
        if (Result<std::uint64_t> again = Refresh(); !again) {
            return again.failure();
        }
        return m_end.frames > before ? m_end.frames - before : 0;
    }
    if (Status caughtUp = CatchUpIndex(); !caughtUp) {
        return caughtUp.failure();
    }
    return m_end.frames - before;
}

void BlockReader::TakeIn(std::uint64_t record, const SQHead& head)
{
    const std::size_t slot = m_checkpoint.SlotOf(head.code);
    if (slot < m_checkpoint.storeCount) {
        m_outOfOrder = m_outOfOrder || head.timeStamp < m_checkpoint.stores[slot].lastTime;
    } else if (m_index.Entries(head.code).empty()) {
        m_stores.push_back({head.code, head});
    }
    m_index.Add(record, head);
}

void BlockReader::DropIndex()
{
    m_indexFile = File();
    m_indexed = 0;
    m_checkpoint = Checkpoint{};
    m_outOfOrder = false;
    m_end = ScanPosition{};
    m_index = StoreIndex{};
    m_stores.clear();
    m_damage.reset();
    m_marks.clear();
}

Result<bool> BlockReader::FrameIs(std::uint64_t record, std::int32_t code, std::optional<double> time) const
{
    FrameBytes bytes{};
    Result<std::size_t> got = m_headers.ReadUpTo(FrameOffset(record), bytes);
    if (!got) {
        return got.failure();
    }
    std::optional<Frame> frame = *got == kFrameBytes ? DecodeFrame(bytes) : std::nullopt;
    return frame && frame->head.code == code && (!time || frame->head.timeStamp == *time);
}

Result<std::optional<Checkpoint>> BlockReader::ReadCheckpoint(std::uint64_t chunk) const
{
    CheckpointBytes bytes{};
    Result<std::size_t> got = m_indexFile.ReadUpTo(CheckpointOffset(chunk), bytes);
    if (!got) {
        return got.failure();
    }
    std::optional<Checkpoint> checkpoint = *got == kCheckpointBytes ? DecodeCheckpoint(bytes) : std::nullopt;
    if (!checkpoint || checkpoint->chunk != chunk) {
        return std::optional<Checkpoint>{};
    }
    return checkpoint;
}

Result<std::optional<Checkpoint>> BlockReader::AgreeingCheckpoint(std::uint64_t chunk) const
{
    Result<std::optional<Checkpoint>> checkpoint = ReadCheckpoint(chunk);
    if (!checkpoint || !*checkpoint) {
        return checkpoint;
    }
    for (std::size_t slot = 0; slot < (*checkpoint)->storeCount; ++slot) {
        const StoreMark& mark = (*checkpoint)->stores[slot];
        Result<bool> first = FrameIs(mark.firstRecord, mark.code, std::nullopt);
        Result<bool> last = first && *first ? FrameIs(mark.lastRecord, mark.code, mark.lastTime) : first;
        if (!last) {
            return last.failure();
        }
        if (!*last) {
            return std::optional<Checkpoint>{};
        }
    }
    return checkpoint;
}

Status BlockReader::AdoptIndex()
{
    // The index only speeds reading up: one that cannot be opened, or that
    // is not an index, leaves the block to be walked from its start.
    Result<File> file = File::Open(m_dir / kIndexFileName, O_RDONLY);
    if (!file) {
        if (file.kind() != ErrorKind::kNotFound) {
            m_indexProblem = file.error();
        }
        return {};
    }
    if (Status header = CheckFileHeader(*file, FileKind::Index); !header) {
        m_indexProblem = header.error();
        return {};
    }
    Result<std::uint64_t> indexSize = file->Size();
    Result<std::uint64_t> headersSize = m_headers.Size();
    Result<std::uint64_t> dataSize = m_data.Size();
    if (!indexSize || !headersSize || !dataSize) {
        return (!indexSize ? indexSize : !headersSize ? headersSize : dataSize).failure();
    }
    m_indexFile = std::move(*file);
    const std::uint64_t frames = (*headersSize - kFileHeaderBytes) / kFrameBytes;
    // A writer killed while appending leaves at most its last checkpoint
    // torn, so the one before is tried too.
    std::uint64_t chunk = (*indexSize - kFileHeaderBytes) / kCheckpointBytes;
    if (chunk == 0) {
        return {};  // a young block: its first checkpoint may come while it is read
    }
    for (int tries = 0; tries < 2 && chunk > 0; ++tries) {
        --chunk;
        if ((chunk + 1) > frames / kChunkFrames) {
            continue;  // past the frames: the header file was cut back since
        }
        Result<std::optional<Checkpoint>> checkpoint = AgreeingCheckpoint(chunk);
        if (!checkpoint) {
            return checkpoint.failure();
        }
        if (!*checkpoint) {
            continue;
        }
        if (!std::ranges::all_of(std::span((*checkpoint)->stores).first((*checkpoint)->storeCount),
                                 &StoreMark::ordered)) {
            // Agreeing, but with a store out of time order, which only a
            // walk of every frame puts in order.
            m_indexFile = File();
            return {};
        }
        FrameBytes bytes{};
        const std::uint64_t last = (*checkpoint)->FramesCovered() - 1;
        if (Status read = m_headers.ReadExact(FrameOffset(last), bytes); !read) {
            return read.failure();
        }
        std::optional<Frame> frame = DecodeFrame(bytes);
        if (!frame || frame->dataOffset > *dataSize || frame->dataBytes > *dataSize - frame->dataOffset) {
            continue;
        }
        m_checkpoint = **checkpoint;
        m_indexed = m_checkpoint.FramesCovered();
        m_end = ScanPosition{m_indexed, frame->dataOffset + frame->dataBytes};
        for (std::size_t slot = 0; slot < m_checkpoint.storeCount; ++slot) {
            Result<Frame> first = ReadFrame(m_checkpoint.stores[slot].firstRecord);
            if (!first) {
                return first.failure();
            }
            m_stores.push_back({m_checkpoint.stores[slot].code, first->head});
        }
        return {};
    }
    m_indexFile = File();
    m_indexProblem = m_dir.string() + "/" + kIndexFileName + ": its last checkpoints disagree with the frames";
    return {};
}

Status BlockReader::CatchUpIndex()
{
    if (!m_indexFile.is_open() || m_damage) {
        return {};
    }
    Result<std::uint64_t> size = m_indexFile.Size();
    if (!size) {
        return size.failure();
    }
    const std::uint64_t chunks = (*size - kFileHeaderBytes) / kCheckpointBytes;
    const std::uint64_t adopted = m_indexed / kChunkFrames;
    if (chunks <= adopted || chunks * kChunkFrames > m_end.frames) {
        return {};
    }
    Result<std::optional<Checkpoint>> later = AgreeingCheckpoint(chunks - 1);
    if (!later) {
        return later.failure();
    }
    // A later checkpoint keeps the stores of the adopted one in their slots.
    if (!*later || (*later)->storeCount < m_checkpoint.storeCount ||
        !std::ranges::all_of(std::span((*later)->stores).first((*later)->storeCount), &StoreMark::ordered)) {
        return {};
    }
    for (std::size_t slot = 0; slot < m_checkpoint.storeCount; ++slot) {
        if ((*later)->stores[slot].code != m_checkpoint.stores[slot].code) {
            return {};
        }
    }
    if (!m_index.ForgetBefore((*later)->FramesCovered())) {
        return {};
    }
    m_checkpoint = **later;
    m_marks.clear();  // they were checked against the stores of the checkpoint before
    m_indexed = m_checkpoint.FramesCovered();
    return {};
}

Result<BlockReader::ChunkMark> BlockReader::MarkAt(std::uint64_t chunk, std::size_t slot) const
{
    if (chunk + 1 == m_indexed / kChunkFrames) {
        return ChunkMark{true, slot < m_checkpoint.storeCount, m_checkpoint.stores[slot]};
    }
    const std::uint64_t key = chunk * kCheckpointSlots + slot;
    if (const auto known = m_marks.find(key); known != m_marks.end()) {
        return known->second;
    }
    Result<ChunkMark> mark = ReadMark(chunk, slot);
    if (mark) {
        if (m_marks.size() == kMaxKnownMarks) {
            m_marks.clear();
        }
        m_marks.emplace(key, *mark);
    }
    return mark;
}

Result<BlockReader::ChunkMark> BlockReader::ReadMark(std::uint64_t chunk, std::size_t slot) const
{
    Result<std::optional<Checkpoint>> checkpoint = ReadCheckpoint(chunk);
    if (!checkpoint) {
        return checkpoint.failure();
    }
    if (!*checkpoint || (*checkpoint)->storeCount > m_checkpoint.storeCount) {
        return ChunkMark{};
    }
    if (slot >= (*checkpoint)->storeCount) {
        return ChunkMark{true, false, {}};
    }
    const StoreMark& mark = (*checkpoint)->stores[slot];
    if (mark.code != m_checkpoint.stores[slot].code) {
        return ChunkMark{};
    }
    Result<bool> agrees = FrameIs(mark.lastRecord, mark.code, mark.lastTime);
    if (!agrees) {
        return agrees.failure();
    }
    return ChunkMark{*agrees, *agrees, mark};
}

std::optional<std::uint64_t> BlockReader::LatestRecord(std::int32_t code) const
{
    if (std::span<const IndexEntry> walked = m_index.Entries(code); !walked.empty()) {
        return walked.back().record;
    }
    const std::size_t slot = m_checkpoint.SlotOf(code);
    if (slot < m_checkpoint.storeCount) {
        return m_checkpoint.stores[slot].lastRecord;
    }
    return std::nullopt;
}

Status BlockReader::Whole() const
{
    if (!m_damage) {
        return {};
    }
    const std::uint64_t past = m_damage->validPast;
    return Fail(ErrorKind::kCorruption,
                "record " + std::to_string(m_damage->record) + " of " + m_dir.string() + ": damaged frame at offset " +
                    std::to_string(FrameOffset(m_damage->record)) + " of " + m_headers.path() + "; " +
                    std::to_string(past) + (past == 1 ? " valid record lies" : " valid records lie") + " past it");
}

Failure BlockReader::RecordFailure(std::uint64_t record, const Failure& failure) const
{
    return Fail(failure.kind, "record " + std::to_string(record) + " of " + m_dir.string() + ": " + failure.text);
}

Failure BlockReader::PastTheEnd(std::uint64_t record) const
{
    return Fail(ErrorKind::kInvalidArgument, "record " + std::to_string(record) + " is past the " +
                                                 std::to_string(m_end.frames) + " records of " + m_dir.string());
}

Result<Frame> BlockReader::Decoded(std::uint64_t record, std::span<const std::byte, kFrameBytes> bytes) const
{
    std::optional<Frame> frame = DecodeFrame(bytes);
    if (!frame && record < m_indexed) {
        // Found through the index, never walked: damage met here.
        return Fail(ErrorKind::kCorruption, "record " + std::to_string(record) + " of " + m_dir.string() +
                                                ": damaged frame at offset " + std::to_string(FrameOffset(record)) +
                                                " of " + m_headers.path());
    }
    if (!frame) {
        return Fail(ErrorKind::kCorruption,
                    "record " + std::to_string(record) + " of " + m_dir.string() + " changed after it was read");
    }
    return *frame;
}

Result<Frame> BlockReader::ReadFrame(std::uint64_t record) const
{
    if (record >= m_end.frames) {
        return PastTheEnd(record);
    }
    FrameBytes bytes{};
    if (Status read = m_headers.ReadExact(FrameOffset(record), bytes); !read) {
        return read.failure();
    }
    return Decoded(record, bytes);
}

Result<SQHead> BlockReader::Header(std::uint64_t record) const
{
    Result<Frame> frame = ReadFrame(record);
    if (!frame) {
        return frame.failure();
    }
    return frame->head;
}

Result<std::size_t> BlockReader::ReadData(std::uint64_t record, std::span<std::int32_t> out) const
{
    Result<Frame> frame = ReadFrame(record);
    if (!frame) {
        return frame.failure();
    }
    return ReadData(record, *frame, out);
}

Result<std::size_t> BlockReader::ReadData(std::uint64_t record, const Frame& frame, std::span<std::int32_t> out) const
{
    std::size_t words = frame.dataBytes / 4;
    if (words > out.size()) {
        return RecordFailure(record, Fail(ErrorKind::kInvalidArgument,
                                          std::to_string(words) + " data words do not fit a buffer of " +
                                              std::to_string(out.size())));
    }
    Status read = ReadFrameData(m_data, frame, std::as_writable_bytes(out.first(words)));
    if (!read) {
        return RecordFailure(record, read.failure());
    }
    return words;
}

Status BlockReader::ReadData(std::span<const DataPlace> places) const
{
    std::vector<iovec> pieces;
    for (std::size_t first = 0; first < places.size();) {
        // A run: records whose data follow one another, each fitting its place.
        std::size_t end = first;
        std::uint64_t runBytes = 0;
        pieces.clear();
        for (; end < places.size(); ++end) {
            const Frame& frame = *places[end].frame;
            if (frame.dataOffset != places[first].frame->dataOffset + runBytes ||
                frame.dataBytes / 4 > places[end].out.size() ||
                (end > first && runBytes + frame.dataBytes > kRunBytes)) {
                break;
            }
            if (frame.dataBytes > 0) {
                pieces.push_back({places[end].out.data(), frame.dataBytes});
            }
            runBytes += frame.dataBytes;
        }
        bool intact = end > first && m_data.ReadExact(places[first].frame->dataOffset, pieces);
        for (std::size_t i = first; intact && i < end; ++i) {
            const Frame& frame = *places[i].frame;
            intact = DataCrc(std::as_bytes(places[i].out.first(frame.dataBytes / 4))) == frame.dataCrc;
        }
        if (!intact) {
            // One by one again, so that a failure is told as for a single read.
            end = std::max(end, first + 1);
            for (std::size_t i = first; i < end; ++i) {
                if (Result<std::size_t> read = ReadData(places[i].record, *places[i].frame, places[i].out); !read) {
                    return read.failure();
                }
            }
        }
        first = end;
    }
    return {};
}

Status FrameRun::Read(const BlockReader& reader, std::uint64_t record, std::uint64_t runEnd)
{
    if (record >= reader.m_end.frames) {
        return reader.PastTheEnd(record);
    }
    m_count = std::min({std::max(runEnd, record + 1) - record, kMaxFrames, reader.m_end.frames - record});
    m_first = record;
    m_bytes.resize(m_count * kFrameBytes);
    Status read = reader.m_headers.ReadExact(FrameOffset(record), m_bytes);
    if (!read) {
        m_count = 0;
    }
    return read;
}

StoreCursor::StoreCursor(const BlockReader& reader, std::int32_t code, double from, std::uint64_t after)
    : m_reader(&reader),
      m_code(code),
      m_from(from),
      m_after(after),
      m_slot(reader.m_checkpoint.SlotOf(code)),
      m_indexedEnd(reader.m_indexed),
      m_walked(reader.m_index.Entries(code))
{
}

template <class Test>
Result<std::optional<StoreCursor::FoundChunk>> StoreCursor::FirstChunk(std::uint64_t chunk, Test test)
{
    // The tests are monotone over the chunks: false up to a chunk, true from
    // there on. The first chunk is tried alone first, as a walk through a
    // store that fills every chunk finds it there.
    std::uint64_t low = chunk;
    std::uint64_t high = m_indexedEnd / kChunkFrames;
    std::optional<FoundChunk> found;
    bool probedFirst = false;
    while (low < high) {
        const std::uint64_t middle = probedFirst ? low + (high - low) / 2 : low;
        probedFirst = true;
        Result<BlockReader::ChunkMark> mark = m_reader->MarkAt(middle, m_slot);
        if (!mark) {
            return mark.failure();
        }
        if (!mark->trusted) {
            m_reader->m_indexProblem = m_reader->m_dir.string() + "/" + kIndexFileName + ": checkpoint " +
                                       std::to_string(middle) + " disagrees with the frames";
            m_guided = false;
            return std::optional<FoundChunk>{};
        }
        if (mark->present && test(mark->mark)) {
            high = middle;
            found = FoundChunk{middle, mark->mark};
        } else {
            low = middle + 1;
        }
    }
    return found;
}

Status StoreCursor::Start()
{
    m_started = true;
    if (m_slot == m_reader->m_checkpoint.storeCount) {
        m_at = m_indexedEnd;  // not a store the index knows: none of its records lie there
        return {};
    }
    Result<std::optional<FoundChunk>> found = FirstChunk(
        std::min(m_after, m_indexedEnd) / kChunkFrames, [this](const StoreMark& mark) { return mark.lastTime >= m_from; });
    if (!found) {
        return found.failure();
    }
    if (!m_guided) {
        m_at = 0;
        return {};
    }
    if (!*found) {
        m_at = m_indexedEnd;
        return {};
    }
    // The store's indexed records are in time order, so those before
    // m_after are also before m_from or at its time and already read.
    m_at = std::max((*found)->chunk * kChunkFrames, std::min(m_after, m_indexedEnd));
    // The chunk's checkpoint names a record of the store at or after m_from,
    // and the one before it none: the first such record lies in this chunk,
    // at or before the named one.
    return SeekInChunk((*found)->mark.lastRecord);
}

Status StoreCursor::SeekInChunk(std::uint64_t bound)
{
    // Each probe looks at the store's next record from a frame on; `low`
    // only moves past a record of the store before m_from, so walking from
    // it skips nothing the read wants. The probes gallop from the start
    // first, since a continued read, or a store that fills its chunk, finds
    // its record within a few frames; then a binary search narrows the span
    // where a probe overshot. A probe that meets no earlier record narrows
    // the search without moving `low`. No frame is decoded twice by the
    // probes of one search.
    std::uint64_t low = m_at;
    std::uint64_t high = bound;
    bool galloping = true;
    for (std::uint64_t step = 0; low < high;) {
        const std::uint64_t probe = galloping ? low + std::min(step, high - 1 - low) : low + (high - low) / 2;
        Result<std::optional<IndexEntry>> next = FirstOfStore(probe, high);
        if (!next) {
            return next.failure();
        }
        if (*next && (*next)->time < m_from) {
            low = (*next)->record + 1;
            step = std::max<std::uint64_t>(1, 2 * step);
        } else {
            high = probe;
            galloping = false;
        }
    }
    m_at = low;
    return {};
}

Result<std::optional<IndexEntry>> StoreCursor::FirstOfStore(std::uint64_t record, std::uint64_t end)
{
    for (; record < end; ++record) {
        Result<Frame> frame = m_frames.Get(*m_reader, record, [end] { return end; });
        if (!frame) {
            return frame.failure();
        }
        if (frame->head.code == m_code) {
            m_current = *frame;
            return std::optional<IndexEntry>{IndexEntry{frame->head.timeStamp, record}};
        }
    }
    return std::optional<IndexEntry>{};
}

Status StoreCursor::SkipChunksWithout()
{
    const std::uint64_t from = m_at;
    Result<std::optional<FoundChunk>> found =
        FirstChunk(from / kChunkFrames, [from](const StoreMark& mark) { return mark.lastRecord >= from; });
    if (!found) {
        return found.failure();
    }
    if (m_guided) {
        m_at = *found ? std::max(from, (*found)->chunk * kChunkFrames) : m_indexedEnd;
    }
    return {};
}

Result<std::optional<IndexEntry>> StoreCursor::Next()
{
    if (!m_started) {
        if (Status started = Start(); !started) {
            return started.failure();
        }
    }
    while (m_at < m_indexedEnd) {
        if (m_guided && m_at % kChunkFrames == 0) {
            if (Status skipped = SkipChunksWithout(); !skipped) {
                return skipped.failure();
            }
            if (m_at == m_indexedEnd) {
                break;
            }
        }
        const std::uint64_t chunkEnd = std::min(m_indexedEnd, (m_at / kChunkFrames + 1) * kChunkFrames);
        Result<std::optional<IndexEntry>> next = FirstOfStore(m_at, chunkEnd);
        if (!next) {
            return next.failure();
        }
        m_at = *next ? (*next)->record + 1 : chunkEnd;
        // The store came in time order, so its records from the first at or
        // after m_from on are all in the window's order.
        if (*next && (*next)->time >= m_from) {
            m_currentRecord = (*next)->record;
            return next;
        }
    }
    m_current.reset();
    if (!m_walkStarted) {
        // The walked records of an indexed store all come at or after its
        // indexed ones.
        m_walkStarted = true;
        m_walkedAt = FirstAtOrAfter(m_walked, m_from);
    }
    if (m_walkedAt == m_walked.size()) {
        return std::optional<IndexEntry>{};
    }
    m_currentRecord = m_walked[m_walkedAt].record;
    return std::optional<IndexEntry>{m_walked[m_walkedAt++]};
}

Result<Frame> StoreCursor::CurrentFrame()
{
    if (m_current) {
        return *m_current;
    }
    const std::uint64_t record = m_currentRecord;
    return m_frames.Get(*m_reader, record, [record] { return record + FrameRun::kMaxFrames; });
}

TimeOrderedCursor::TimeOrderedCursor(const BlockReader& reader, double from) : m_reader(&reader)
{
    for (const StoreSummary& store : reader.Stores()) {
        m_stores.emplace_back(reader, store.code, from);
    }
}

bool TimeOrderedCursor::Later(const Head& a, const Head& b) { return ReadBefore(b.entry, a.entry); }

Status TimeOrderedCursor::Push(std::size_t store)
{
    Result<std::optional<IndexEntry>> next = m_stores[store].Next();
    if (!next) {
        return next.failure();
    }
    if (*next) {
        m_heap.push_back({**next, store, m_stores[store].m_current});
        std::push_heap(m_heap.begin(), m_heap.end(), Later);
    }
    return {};
}

Result<std::optional<IndexEntry>> TimeOrderedCursor::Next()
{
    if (!m_started) {
        m_started = true;
        for (std::size_t store = 0; store < m_stores.size(); ++store) {
            if (Status pushed = Push(store); !pushed) {
                return pushed.failure();
            }
        }
    }
    m_current.reset();
    if (m_heap.empty()) {
        return std::optional<IndexEntry>{};
    }
    std::pop_heap(m_heap.begin(), m_heap.end(), Later);
    const Head head = m_heap.back();
    m_heap.pop_back();
    m_currentRecord = head.entry.record;
    m_current = head.frame;
    if (Status pushed = Push(head.store); !pushed) {
        return pushed.failure();
    }
    return std::optional<IndexEntry>{head.entry};
}

Result<Frame> TimeOrderedCursor::CurrentFrame()
{
    if (m_current) {
        return *m_current;
    }
    // All stores in time order are near the order of the file.
    const std::uint64_t record = m_currentRecord;
    return m_frames.Get(*m_reader, record, [record] { return record + FrameRun::kMaxFrames; });
}

}  // namespace orvo::tank
