// The index file of a block, events.idx: after every chunk of frames, where
// each store stands. It lets a reader find a store's records around a time
// with a binary search instead of walking every frame of the block. The
// frames stay the truth: the index only says where to look, and a reader
// checks every checkpoint it uses against the frames it names.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/frame.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace orvo::tank {

inline constexpr const char* kIndexFileName = "events.idx";
// Frames per chunk: a reader walks at most this many frames past the last
// checkpoint, or within a chunk to find where a window starts.
inline constexpr std::uint64_t kChunkFrames = 4096;
// Stores a checkpoint has room for; a block with more is indexed up to the
// chunk before the store past this many appears, and read by walking from
// there.
inline constexpr std::size_t kCheckpointSlots = 64;
inline constexpr std::size_t kSlotBytes = 32;
inline constexpr std::size_t kCheckpointBytes = 16 + kCheckpointSlots * kSlotBytes + 8;

// Where one store stands after the frames a checkpoint covers.
struct StoreMark {
    std::int32_t code = 0;
    bool ordered = true;             // its records so far came in time order
    std::uint64_t firstRecord = 0;   // its first record
    std::uint64_t lastRecord = 0;    // its latest record so far
    double lastTime = 0;             // that record's time stamp
};

// The state of the stores after frames 0 to (chunk + 1) * kChunkFrames - 1,
// in order of first appearance.
struct Checkpoint {
    std::uint64_t chunk = 0;
    std::size_t storeCount = 0;
    std::array<StoreMark, kCheckpointSlots> stores{};

    std::uint64_t FramesCovered() const { return (chunk + 1) * kChunkFrames; }
    // The store's slot, or storeCount when the store had not appeared.
    std::size_t SlotOf(std::int32_t code) const;
};

using CheckpointBytes = std::array<std::byte, kCheckpointBytes>;

CheckpointBytes EncodeCheckpoint(const Checkpoint& checkpoint);
// A checkpoint whose marker, checksum and fields are consistent in
// themselves; nullopt for anything else. It still has to agree with the
// frames it names before it is used.
std::optional<Checkpoint> DecodeCheckpoint(std::span<const std::byte, kCheckpointBytes> bytes);

inline std::uint64_t CheckpointOffset(std::uint64_t chunk) { return kFileHeaderBytes + chunk * kCheckpointBytes; }

// Builds the checkpoints of a block from its frames, in record order: the
// writer as it appends, a reopen and a check as they walk the block.
class IndexBuilder {
public:
    // Takes in the next record; when it completes a chunk, the chunk's
    // checkpoint goes to the pending bytes.
    void Add(std::uint64_t record, const SQHead& head);
    // False once more stores appeared than a checkpoint holds: no further
    // checkpoint is made.
    bool Indexing() const { return !m_overflowed; }

    std::span<const std::byte> Pending() const { return m_pending; }
    void ClearPending() { m_pending.clear(); }

private:
    Checkpoint m_state;
    bool m_overflowed = false;
    std::vector<std::byte> m_pending;
};

// The writer's side: the index file, appended to with each batch, whose
// checkpoints are stored with the batch or not at all.
class IndexWriter {
public:
    // Starts an index under a fresh temporary name in the block folder; the
    // records of the block, if any, are then added in order, and Publish
    // puts it in place whole. The block must be locked.
    static Result<IndexWriter> Begin(const std::filesystem::path& blockDir);

    IndexWriter() = default;
    IndexWriter(IndexWriter&&) noexcept = default;
    IndexWriter& operator=(IndexWriter&& other) noexcept;
    // An index never put in place goes with the writer.
    ~IndexWriter();

    // Takes in the next record; the checkpoints it completes are written
    // by the next Flush (or by this call, once many are pending).
    void Add(std::uint64_t record, const SQHead& head);
    // Appends the checkpoints completed since the last call; the first
    // failure of an Add or a Flush is answered from then on.
    Status Flush();
    // Flushes, syncs the index and renames it over the block's index file.
    Status Publish();

    // Where the index stands, to go back to when a batch is refused.
    struct Mark {
        std::uint64_t end;
        IndexBuilder builder;
    };
    Mark Here() const { return {m_end, m_builder}; }
    Status Undo(Mark mark);

private:
    void Abandon();

    std::filesystem::path m_blockDir;
    File m_file;
    bool m_published = false;
    std::uint64_t m_end = kFileHeaderBytes;
    IndexBuilder m_builder;
    std::optional<Failure> m_failed;
};

}  // namespace orvo::tank
