// Reads a block, also while it is being recorded by another process.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/block_index.h"
#include "tankengine/storage/frame.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"
#include "tankengine/storage/store_index.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvo::tank {

// A frame that fails its checks with valid frames past it. A writer appends
// frame after frame, so this is never a frame still being written: the
// records from it on are lost to readers, those before it stay readable.
struct BlockDamage {
    std::uint64_t record;     // the first damaged record
    std::uint64_t validPast;  // valid records found past it
};

// Where the data of one record go, for a read of many records' data.
struct DataPlace {
    std::uint64_t record;
    const Frame* frame;  // as ReadFrame answered it
    std::span<std::int32_t> out;
};

// Opening walks only the frames past the last checkpoint of the block's index
// that agrees with the frames (all of them without one), so it costs the
// same for a block of a minute as for one of a day; the records before come
// from the index when a cursor asks for them. Damage is found where the walk
// goes: in the records walked on opening and refreshing, and by the reads
// that meet it elsewhere.
class BlockReader {
public:
    // A damaged block opens too: its records are those before the damage.
    static Result<BlockReader> Open(const std::filesystem::path& blockDir);

    // Takes in the records appended since; answers how many. Nothing past a
    // damage is ever taken in.
    Result<std::uint64_t> Refresh();

    // The stores in the order they first appeared, each with its first header.
    const std::vector<StoreSummary>& Stores() const { return m_stores; }
    // The store's record latest in time order, if it has any.
    std::optional<std::uint64_t> LatestRecord(std::int32_t code) const;
    // Records below this many are found through the index file.
    std::uint64_t IndexedRecords() const { return m_indexed; }
    // Why the block's index file, or a part of it a read met, disagrees with
    // the frames and is not used; none while it agrees or there is none.
    const std::optional<std::string>& IndexProblem() const { return m_indexProblem; }

    const std::filesystem::path& Dir() const { return m_dir; }
    std::uint64_t RecordCount() const { return m_end.frames; }

    const std::optional<BlockDamage>& Damage() const { return m_damage; }
    // Success for a block without damage; else the damage as a failure
    // naming the record, the file and what lies past it.
    Status Whole() const;

    Result<SQHead> Header(std::uint64_t record) const;
    // Copies the record's size - 10 data words into the front of out, after
    // checking them against their checksum; answers how many.
    Result<std::size_t> ReadData(std::uint64_t record, std::span<std::int32_t> out) const;
    // The same in two steps, for a reader that looks at a record's header
    // before it wants the data: the frame is then read once.
    Result<Frame> ReadFrame(std::uint64_t record) const;
    Result<std::size_t> ReadData(std::uint64_t record, const Frame& frame, std::span<std::int32_t> out) const;
    // ReadData for each place, with one read for the records whose data lie
    // back to back in the file, and the checksums taken while the data are
    // still in the cache. Fails as the first failing ReadData would.
    Status ReadData(std::span<const DataPlace> places) const;

private:
    friend class FrameRun;
    friend class StoreCursor;

    // A store's mark in one checkpoint of the index, checked against the
    // frame it names.
    struct ChunkMark {
        bool trusted = false;  // the checkpoint agrees with the frames
        bool present = false;  // the store had appeared by its end
        StoreMark mark;
    };

    BlockReader() = default;

    // Takes up the index file's latest checkpoint that agrees with the
    // frames, if there is one; the walk then starts where it ends.
    Status AdoptIndex();
    // The index file's checkpoint of a chunk, when it is whole and names that
    // chunk; it is yet to be checked against the frames.
    Result<std::optional<Checkpoint>> ReadCheckpoint(std::uint64_t chunk) const;
    Result<std::optional<Checkpoint>> AgreeingCheckpoint(std::uint64_t chunk) const;
    Result<bool> FrameIs(std::uint64_t record, std::int32_t code, std::optional<double> time) const;
    Result<ChunkMark> MarkAt(std::uint64_t chunk, std::size_t slot) const;
    Result<ChunkMark> ReadMark(std::uint64_t chunk, std::size_t slot) const;
    void TakeIn(std::uint64_t record, const SQHead& head);
    // Forgets the index and what it found: the next Refresh walks from the start.
    void DropIndex();
    // Takes up a later checkpoint the writer added, forgetting the walked
    // records it covers, so a reader that follows a recording stays small.
    Status CatchUpIndex();

    Failure PastTheEnd(std::uint64_t record) const;
    Result<Frame> Decoded(std::uint64_t record, std::span<const std::byte, kFrameBytes> bytes) const;

    // Failures of one record name it and the block.
    Failure RecordFailure(std::uint64_t record, const Failure& failure) const;

    std::filesystem::path m_dir;
    File m_headers;
    File m_data;
    ScanPosition m_end;
    File m_indexFile;
    std::uint64_t m_indexed = 0;
    Checkpoint m_checkpoint;       // the latest adopted; covers m_indexed frames
    bool m_outOfOrder = false;     // a walked record came before an indexed one of its store
    StoreIndex m_index;            // the records walked, from m_indexed on
    std::vector<StoreSummary> m_stores;
    std::optional<BlockDamage> m_damage;
    // Found by cursors too, which only read.
    mutable std::optional<std::string> m_indexProblem;
    // The marks cursors looked up, by chunk and slot: every read's search
    // through the index starts with the same few checkpoints.
    static constexpr std::size_t kMaxKnownMarks = 4096;
    mutable std::unordered_map<std::uint64_t, ChunkMark> m_marks;
};

// Frames read ahead for a walk that meets records mostly in the order of the
// file: a run of them comes with one read rather than one read each.
class FrameRun {
public:
    static constexpr std::uint64_t kMaxFrames = 256;

    // The frame of record, as ReadFrame answers. One not at hand is read
    // with those after it up to runEnd(), asked only then (at most
    // kMaxFrames in all).
    template <class RunEnd>
    Result<Frame> Get(const BlockReader& reader, std::uint64_t record, RunEnd runEnd)
    {
        if (record < m_first || record - m_first >= m_count) {
            if (Status read = Read(reader, record, runEnd()); !read) {
                return read.failure();
            }
        }
        const auto at = static_cast<std::size_t>(record - m_first) * kFrameBytes;
        return reader.Decoded(record, std::span(m_bytes).subspan(at).template first<kFrameBytes>());
    }

private:
    Status Read(const BlockReader& reader, std::uint64_t record, std::uint64_t runEnd);

    std::vector<std::byte> m_bytes;
    std::uint64_t m_first = 0;
    std::uint64_t m_count = 0;
};

// One store's records in time order, equal times by arrival, from a time
// on: those the index covers by walking the frames it points to, skipping
// chunks without the store, then those walked on opening and refreshing.
// It reads the block as it stood when it was made: make a new one after a
// Refresh. It must not outlive its reader.
class StoreCursor {
public:
    // A read that goes on after record `after` of the store wants none of
    // the records before it; where the index guides, they are not walked.
    StoreCursor(const BlockReader& reader, std::int32_t code, double from, std::uint64_t after = 0);

    Result<std::optional<IndexEntry>> Next();
    // The frame of the entry Next gave last: the one Next read to find it,
    // in the part the index covers, else read now with those after it.
    Result<Frame> CurrentFrame();

private:
    friend class TimeOrderedCursor;

    struct FoundChunk {
        std::uint64_t chunk;
        StoreMark mark;  // where the store stands at its end
    };
    // The first chunk from `chunk` on whose checkpoint passes `test`, or
    // none; a checkpoint that disagrees with the frames ends the guidance.
    template <class Test>
    Result<std::optional<FoundChunk>> FirstChunk(std::uint64_t chunk, Test test);
    Status Start();
    // Moves the walk's start from m_at towards the store's first record at
    // or after m_from, which lies at or before `bound`.
    Status SeekInChunk(std::uint64_t bound);
    // The store's first record from `record` up to `end`, if any; its
    // frame becomes m_current.
    Result<std::optional<IndexEntry>> FirstOfStore(std::uint64_t record, std::uint64_t end);
    Status SkipChunksWithout();

    const BlockReader* m_reader;
    std::int32_t m_code;
    double m_from;
    std::uint64_t m_after;
    std::size_t m_slot;
    bool m_started = false;
    bool m_guided = true;  // the index is followed; else every indexed frame is walked
    std::uint64_t m_at = 0;
    std::uint64_t m_indexedEnd;
    FrameRun m_frames;
    std::uint64_t m_currentRecord = 0;  // of the entry Next gave last
    std::optional<Frame> m_current;     // its frame, when Next read it
    std::span<const IndexEntry> m_walked;
    std::size_t m_walkedAt = 0;
    bool m_walkStarted = false;
};

// The records of all stores in time order (equal times by arrival) from a
// time on; as StoreCursor, made anew after a Refresh.
class TimeOrderedCursor {
public:
    TimeOrderedCursor(const BlockReader& reader, double from);

    Result<std::optional<IndexEntry>> Next();
    // As StoreCursor::CurrentFrame, for the entry Next gave last.
    Result<Frame> CurrentFrame();

private:
    struct Head {
        IndexEntry entry;
        std::size_t store;
        std::optional<Frame> frame;
    };
    static bool Later(const Head& a, const Head& b);
    Status Push(std::size_t store);

    const BlockReader* m_reader;
    std::vector<StoreCursor> m_stores;
    std::vector<Head> m_heap;
    FrameRun m_frames;
    std::uint64_t m_currentRecord = 0;
    std::optional<Frame> m_current;
    bool m_started = false;
};

}  // namespace orvo::tank
