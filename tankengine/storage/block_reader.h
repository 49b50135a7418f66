// Reads a block, also while it is being recorded by another process.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/frame.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"
#include "tankengine/storage/store_index.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
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

class BlockReader {
public:
    // A damaged block opens too: its records are those before the damage.
    static Result<BlockReader> Open(const std::filesystem::path& blockDir);

    // Takes in the records appended since; answers how many. Nothing past a
    // damage is ever taken in.
    Result<std::uint64_t> Refresh();

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

    const StoreIndex& Index() const { return m_index; }

private:
    friend class FrameRun;

    BlockReader() = default;

    Failure PastTheEnd(std::uint64_t record) const;
    Result<Frame> Decoded(std::uint64_t record, std::span<const std::byte, kFrameBytes> bytes) const;

    // Failures of one record name it and the block.
    Failure RecordFailure(std::uint64_t record, const Failure& failure) const;

    std::filesystem::path m_dir;
    File m_headers;
    File m_data;
    ScanPosition m_end;
    StoreIndex m_index;
    std::optional<BlockDamage> m_damage;
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

    // Where frames read ahead for `record` should end when the walk goes on
    // with entries[next...]: past the records of those entries while they lie
    // close by, so that the reads of a sparse store fetch few frames of others.
    static std::uint64_t EndAmong(std::span<const IndexEntry> entries, std::size_t next, std::uint64_t record);

private:
    Status Read(const BlockReader& reader, std::uint64_t record, std::uint64_t runEnd);

    std::vector<std::byte> m_bytes;
    std::uint64_t m_first = 0;
    std::uint64_t m_count = 0;
};

}  // namespace orvo::tank
