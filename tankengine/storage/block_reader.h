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

namespace orvo::tank {

// A frame that fails its checks with valid frames past it. A writer appends
// frame after frame, so this is never a frame still being written: the
// records from it on are lost to readers, those before it stay readable.
struct BlockDamage {
    std::uint64_t record;     // the first damaged record
    std::uint64_t validPast;  // valid records found past it
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

    const StoreIndex& Index() const { return m_index; }

private:
    BlockReader() = default;

    // Failures of one record name it and the block.
    Failure RecordFailure(std::uint64_t record, const Failure& failure) const;

    std::filesystem::path m_dir;
    File m_headers;
    File m_data;
    ScanPosition m_end;
    StoreIndex m_index;
    std::optional<BlockDamage> m_damage;
};

}  // namespace orvo::tank
