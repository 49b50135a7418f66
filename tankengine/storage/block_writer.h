// The one writer of a block: creates or reopens it, appends records, makes
// them durable.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/background_sync.h"
#include "tankengine/storage/block_index.h"
#include "tankengine/storage/frame.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::tank {

// One record to store: its header and the size - 10 data words that follow it.
struct Record {
    SQHead head;
    std::span<const std::int32_t> data;
};

class BlockWriter {
public:
    // By default what the writer appends is made durable this long after at
    // most, by a thread of the writer's own.
    static constexpr std::chrono::milliseconds kSyncInterval{1000};

    // Makes a new block in a tank, named baseName or, when that is taken,
    // baseName-1, baseName-2, ...; an empty baseName gives the next name of
    // the tank's sequence, Block-<n>. Name() tells which.
    static Result<BlockWriter> Create(const std::filesystem::path& tankDir, std::string_view baseName,
                                      std::string_view notes, double startTime);
    // Reopens a block to record more, cutting a torn tail left by a crash.
    static Result<BlockWriter> OpenForAppend(const std::filesystem::path& blockDir);

    BlockWriter(BlockWriter&&) noexcept = default;
    BlockWriter& operator=(BlockWriter&&) noexcept = default;
    // A writer not closed syncs what it holds; the block keeps no stop time.
    ~BlockWriter();

    const std::filesystem::path& Dir() const { return m_dir; }
    std::string Name() const { return m_dir.filename().string(); }
    std::uint64_t RecordCount() const { return m_end.frames; }

    // Stores the whole batch or, when any record is bad or a write fails,
    // none of it. It waits for the disk only with a sync interval of 0; a
    // failed background sync makes it refuse, with the sync's reason.
    Status Append(std::span<const Record> records);
    Status Sync();
    // How much a crash of the machine may lose: 0 syncs after every append.
    void SetSyncInterval(std::chrono::milliseconds interval) { m_syncInterval = interval; }
    // Waits for a background sync that is running, syncs, records the stop
    // time and releases the block.
    Status Close(double stopTime);

private:
    BlockWriter() = default;
    // Takes the writer's lock of the block in dir.
    static Result<BlockWriter> Lock(const std::filesystem::path& dir);
    Status OpenEventFiles();
    Status Recover();
    Status WriteBatch(std::span<const Record> records);
    // Makes the batch just written durable now or, with an interval, soon.
    Status SyncAppended();
    Status Usable();
    void StopBackgroundSync();
    // Starts building the block's index anew (Create, OpenForAppend).
    Status StartIndex();
    // Appends the checkpoints a batch, whose first record has number
    // `first`, completes; part of storing it.
    Status IndexBatch(std::span<const Record> records, std::uint64_t first);

    std::filesystem::path m_dir;
    std::optional<FileLock> m_lock;
    File m_headers;
    File m_data;
    ScanPosition m_end;
    IndexWriter m_index;
    std::uint64_t m_sequence = 0;
    double m_startTime = 0;
    std::chrono::milliseconds m_syncInterval = kSyncInterval;
    std::unique_ptr<BackgroundSync> m_background;  // from the first append with an interval
    std::optional<Failure> m_broken;  // why the writer refuses further calls
    // A batch's frames and gathered data, kept from batch to batch.
    std::vector<std::byte> m_frames;
    std::vector<std::byte> m_gathered;
};

// Whether a writer, in any process, holds the block now. Probes the writer's
// lock without waiting; the probe holds it shared for an instant, so a writer
// reopening the block at that very instant is refused and may try again.
Result<bool> IsBeingRecorded(const std::filesystem::path& blockDir);

}  // namespace orvo::tank
