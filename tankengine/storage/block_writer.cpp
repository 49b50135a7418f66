#include "tankengine/storage/block_writer.h"

#include "tankengine/storage/block_files.h"
#include "tankengine/storage/file_system.h"
#include "tankengine/storage/tank_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <fcntl.h>

namespace orvo::tank {
namespace {

constexpr int kMaxNameSuffix = 1000;
// The most data a batch gathers for one write; the buffer stays this small.
constexpr std::size_t kBatchDataBytes = std::size_t{8} << 20;

Status WriteNewFile(const std::filesystem::path& path, std::span<const std::byte> bytes)
{
    Result<File> file = File::Open(path, O_WRONLY | O_CREAT | O_EXCL);
    if (!file) {
        return file.failure();
    }
    Status written = file->WriteAll(0, bytes);
    return written ? file->FullSync() : written;
}

// The name of a new block at the given attempt: baseName, then baseName-1,
// baseName-2, ...; without a base name the default, Block-<sequence>, counting
// on from the block's sequence so that names follow the recordings.
std::string CandidateName(std::string_view baseName, std::uint64_t sequence, int attempt)
{
    if (baseName.empty()) {
        return "Block-" + std::to_string(sequence + static_cast<std::uint64_t>(attempt));
    }
    std::string name(baseName);
    if (attempt > 0) {
        name.append(1, '-').append(std::to_string(attempt));
    }
    return name;
}

// Moves the finished folder to name without replacing what is there; answers
// as the system call does. Where the file system refuses the flag that asks
// for that, a plain rename does the same for a folder: it replaces only a
// missing name or an empty folder, and a built block is never empty. Which
// one is used is decided on each call by the error, not by the file system's
// name, so a tank that moves between disks needs no setting.
int RenameWithoutReplacing(const std::filesystem::path& built, const std::filesystem::path& target)
{
    const int renamed = CurrentFileSystem().Rename(built.c_str(), target.c_str(), RENAME_NOREPLACE);
    if (renamed == 0 || !Unsupported(errno)) {
        return renamed;
    }
    return CurrentFileSystem().Rename(built.c_str(), target.c_str(), 0);
}

// Moves the finished block folder to the first free name; the rename never
// replaces a block, so concurrent creators can never share a name.
Result<std::filesystem::path> PublishBlock(const std::filesystem::path& built,
                                           const std::filesystem::path& tankDir,
                                           std::string_view baseName, std::uint64_t sequence)
{
    for (int attempt = 0; attempt <= kMaxNameSuffix; ++attempt) {
        const std::string name = CandidateName(baseName, sequence, attempt);
        if (const char* problem = BlockNameProblem(name)) {
            return Fail(ErrorKind::kInvalidArgument, "cannot name block \"" + name + "\": " + problem);
        }
        std::filesystem::path target = tankDir / name;
        if (RenameWithoutReplacing(built, target) == 0) {
            return target;
        }
        // A folder that holds anything answers EEXIST or ENOTEMPTY; a plain
        // rename meeting a file or a link answers ENOTDIR.
        if (errno != EEXIST && errno != ENOTEMPTY && errno != ENOTDIR) {
            return SystemFailure("cannot rename " + built.string() + " to " + target.string(), errno);
        }
    }
    return Fail(ErrorKind::kBusy, "no free block name for \"" + CandidateName(baseName, sequence, 0) + "\" in " +
                                      tankDir.string());
}

}  // namespace

Result<BlockWriter> BlockWriter::Lock(const std::filesystem::path& dir)
{
    BlockWriter writer;
    writer.m_dir = dir;
    Result<FileLock> lock = FileLock::Take(dir / kLockFileName);
    if (!lock) {
        if (lock.kind() != ErrorKind::kBusy) {
            return lock.failure();
        }
        return Fail(ErrorKind::kBusy,
                    "block " + dir.string() + " is being recorded by another writer (" + lock.error() + ")");
    }
    writer.m_lock = std::move(*lock);
    return writer;
}

Status BlockWriter::OpenEventFiles()
{
    Result<File> headers = File::Open(m_dir / kHeadersFileName, O_RDWR);
    if (!headers) {
        return headers.failure();
    }
    Result<File> data = File::Open(m_dir / kDataFileName, O_RDWR);
    if (!data) {
        return data.failure();
    }
    Status checked = CheckFileHeader(*headers, FileKind::Headers);
    if (checked) {
        checked = CheckFileHeader(*data, FileKind::Data);
    }
    if (checked) {
        m_headers = std::move(*headers);
        m_data = std::move(*data);
    }
    return checked;
}

Result<BlockWriter> BlockWriter::Create(const std::filesystem::path& tankDir, std::string_view baseName,
                                        std::string_view notes, double startTime)
{
    if (const char* problem = baseName.empty() ? nullptr : BlockNameProblem(baseName)) {
        return Fail(ErrorKind::kInvalidArgument, "cannot name block \"" + std::string(baseName) + "\": " + problem);
    }
    Result<std::vector<BlockEntry>> blocks = ListBlocks(tankDir);
    if (!blocks) {
        return blocks.failure();
    }
    std::uint64_t sequence = 1;
    for (const BlockEntry& block : *blocks) {
        sequence = std::max(sequence, block.info.sequence + 1);
    }
    if (sequence == kSequenceLimit) {
        return Fail(ErrorKind::kInvalidArgument,
                    "no block sequence is left in " + tankDir.string() + ": its last block has the highest one");
    }

    Result<std::filesystem::path> folder = MakeFreshFolder(tankDir, ".new-");
    if (!folder) {
        return folder.failure();
    }
    // Where the block being made is: a failed creation removes it from there,
    // published or not, so that it leaves the tank as it found it.
    std::filesystem::path made = *folder;
    Result<BlockWriter> writer = Lock(made);
    Status built = [&]() -> Status {
        if (!writer) {
            return writer.failure();
        }
        Status s = WriteNewFile(made / kHeadersFileName, EncodeFileHeader(FileKind::Headers));
        if (s) {
            s = WriteNewFile(made / kDataFileName, EncodeFileHeader(FileKind::Data));
        }
        if (s) {
            s = WriteBlockInfo(made, BlockInfo{sequence, startTime, std::nullopt});
        }
        if (s) {
            s = ReplaceBlockNotes(made, notes);
        }
        if (!s) {
            return s;
        }
        Result<std::filesystem::path> published = PublishBlock(made, tankDir, baseName, sequence);
        if (!published) {
            return published.failure();
        }
        made = *published;
        // Opened only now so that their errors name the published block.
        writer->m_dir = made;
        writer->m_sequence = sequence;
        writer->m_startTime = startTime;
        s = writer->OpenEventFiles();
        if (s) {
            s = writer->StartIndex();
        }
        if (s) {
            s = writer->m_index.Publish();
        }
        return s ? SyncDirectory(tankDir) : s;
    }();
    if (!built) {
        // Still locked: nobody can have taken the block up meanwhile.
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
        return built.failure();
    }
    return writer;
}

Result<BlockWriter> BlockWriter::OpenForAppend(const std::filesystem::path& blockDir)
{
    Result<BlockInfo> info = ReadBlockInfo(blockDir);
    if (!info) {
        return info.failure();
    }
    Result<BlockWriter> writer = Lock(blockDir);
    if (!writer) {
        return writer;
    }
    writer->m_sequence = info->sequence;
    writer->m_startTime = info->startTime;
    Status s = writer->OpenEventFiles();
    if (s) {
        // Built anew from the frames that recovery keeps, so that no index
        // of what came before (or none, for a block recorded without one)
        // outlives the reopen.
        s = writer->StartIndex();
    }
    if (s) {
        s = writer->Recover();
    }
    if (s) {
        s = writer->m_index.Publish();
    }
    if (s) {
        // Recorded again: no stop time until the next Close.
        s = WriteBlockInfo(blockDir, BlockInfo{info->sequence, info->startTime, std::nullopt});
    }
    if (!s) {
        return s.failure();
    }
    return writer;
}

Status BlockWriter::Recover()
{
    // Data are checked too: after a machine crash a frame can outlive the
    // data it points at.
    Status scanned = ScanFrames(m_headers, m_data, m_end, ScanOptions{.verifyData = true},
                                [this](std::uint64_t record, const Frame& frame) { m_index.Add(record, frame.head); });
    if (!scanned) {
        return scanned;
    }
    Result<std::uint64_t> headersSize = m_headers.Size();
    Result<std::uint64_t> dataSize = m_data.Size();
    if (!headersSize || !dataSize) {
        return (!headersSize ? headersSize : dataSize).failure();
    }
    std::uint64_t validEnd = FrameOffset(m_end.frames);
    if (*headersSize > validEnd) {
        Result<bool> damagedInside = AnyValidFrameFrom(m_headers, m_data, m_end.frames + 1);
        if (!damagedInside) {
            return damagedInside.failure();
        }
        if (*damagedInside) {
            return Fail(ErrorKind::kCorruption, "block " + m_dir.string() + " is damaged at record " +
                                                    std::to_string(m_end.frames) +
                                                    " with valid records behind it; not cutting anything");
        }
        Status cut = m_headers.Truncate(validEnd);
        if (cut) {
            cut = m_headers.DataSync();
        }
        if (!cut) {
            return cut;
        }
    }
    if (*dataSize > m_end.dataEnd) {
        Status cut = m_data.Truncate(m_end.dataEnd);
        if (cut) {
            cut = m_data.DataSync();
        }
        if (!cut) {
            return cut;
        }
    }
    return {};
}

BlockWriter::~BlockWriter()
{
    StopBackgroundSync();
    if (m_headers.is_open() && !m_broken) {
        (void)Sync();
    }
}

void BlockWriter::StopBackgroundSync()
{
    if (m_background) {
        m_background->Stop();
        (void)Usable();  // keeps the thread's failure, if any, as the writer's
        m_background.reset();
    }
}

Status BlockWriter::Usable()
{
    if (!m_broken && m_background) {
        if (Status synced = m_background->Problem(); !synced) {
            m_broken = Fail(synced.kind(), "a background sync failed: " + synced.error() +
                                               "; reopen the block to repair it");
        }
    }
    if (m_broken) {
        return *m_broken;
    }
    if (!m_headers.is_open()) {
        return Fail(ErrorKind::kInvalidArgument, "the writer holds no block");
    }
    return {};
}

Status BlockWriter::Append(std::span<const Record> records)
{
    if (Status usable = Usable(); !usable) {
        return usable;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const SQHead& head = records[i].head;
        const char* problem = RecordHeaderProblem(head);
        if (problem == nullptr && records[i].data.size() != static_cast<std::size_t>(head.size - kHeaderWords)) {
            problem = "the number of data words given differs from size - 10";
        }
        if (problem != nullptr) {
            return Fail(ErrorKind::kInvalidArgument, "record " + std::to_string(i) + " of the batch (size " +
                                                         std::to_string(head.size) + "): " + problem +
                                                         "; nothing stored");
        }
    }
    ScanPosition before = m_end;
    IndexWriter::Mark indexBefore = m_index.Here();
    Status stored = WriteBatch(records);
    if (stored) {
        stored = IndexBatch(records, before.frames);
    }
    if (stored) {
        stored = SyncAppended();
    }
    if (stored) {
        return {};
    }
    m_end = before;
    Status cut = m_headers.Truncate(FrameOffset(before.frames));
    if (cut) {
        cut = m_data.Truncate(before.dataEnd);
    }
    if (cut) {
        cut = m_index.Undo(std::move(indexBefore));
    }
    if (!cut) {
        m_broken = Fail(cut.kind(),
                        "a failed append could not be undone (" + cut.error() + "); reopen the block to repair it");
        return Fail(stored.kind(), stored.error() + "; " + m_broken->text);
    }
    return Fail(stored.kind(), stored.error() + "; nothing stored");
}

Status BlockWriter::WriteBatch(std::span<const Record> records)
{
    // Data first: a frame must never be visible before the data it names.
    // They are gathered into one write, in pieces of kBatchDataBytes at most;
    // a record larger than that goes from the caller's memory.
    m_frames.resize(records.size() * kFrameBytes);
    m_gathered.clear();
    std::uint64_t dataEnd = m_end.dataEnd;
    std::uint64_t gatheredAt = dataEnd;  // where m_gathered goes: dataEnd less its size
    const auto flush = [&]() -> Status {
        Status written = m_data.WriteAll(gatheredAt, m_gathered);
        gatheredAt += m_gathered.size();
        m_gathered.clear();
        return written;
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::span<const std::byte> data = std::as_bytes(records[i].data);
        if (m_gathered.size() + data.size() > kBatchDataBytes) {
            if (Status s = flush(); !s) {
                return s;
            }
        }
        if (data.size() > kBatchDataBytes) {
            if (Status s = m_data.WriteAll(gatheredAt, data); !s) {
                return s;
            }
            gatheredAt += data.size();
        } else {
            m_gathered.insert(m_gathered.end(), data.begin(), data.end());
        }
        Frame frame{records[i].head, dataEnd, DataBytes(records[i].head), DataCrc(data)};
        LayOutFrame(frame, std::span(m_frames).subspan(i * kFrameBytes).first<kFrameBytes>());
        dataEnd += frame.dataBytes;
    }
    SealFrames(m_frames);
    if (Status s = flush(); !s) {
        return s;
    }
    if (Status s = m_headers.WriteAll(FrameOffset(m_end.frames), m_frames); !s) {
        return s;
    }
    m_end.dataEnd = dataEnd;
    m_end.frames += records.size();
    return {};
}

Status BlockWriter::SyncAppended()
{
    // A batch whose own sync fails is refused like one whose write fails:
    // the caller learns of it now, and reopening must not bring back a
    // batch that was reported lost.
    if (m_syncInterval.count() == 0) {
        return Sync();
    }
    if (!m_background) {
        Result<std::unique_ptr<BackgroundSync>> started = BackgroundSync::Start(m_data, m_headers);
        if (!started) {
            return started.failure();
        }
        m_background = std::move(*started);
    }
    m_background->Appended(m_syncInterval);
    return {};
}

Status BlockWriter::StartIndex()
{
    Result<IndexWriter> index = IndexWriter::Begin(m_dir);
    if (!index) {
        return index.failure();
    }
    m_index = std::move(*index);
    return {};
}

Status BlockWriter::IndexBatch(std::span<const Record> records, std::uint64_t first)
{
    for (const Record& record : records) {
        m_index.Add(first++, record.head);
    }
    return m_index.Flush();
}

Status BlockWriter::Sync()
{
    if (Status usable = Usable(); !usable) {
        return usable;
    }
    Status synced = SyncEventFiles(m_data, m_headers);
    if (!synced) {
        // What the kernel failed to write is gone from its cache; only a
        // reopen, which checks every record, can tell what survived.
        m_broken = Fail(synced.kind(), synced.error() + "; reopen the block to repair it");
        return synced;
    }
    return {};
}

Status BlockWriter::Close(double stopTime)
{
    StopBackgroundSync();
    if (Status synced = Sync(); !synced) {
        return synced;
    }
    Status written = WriteBlockInfo(m_dir, BlockInfo{m_sequence, m_startTime, stopTime});
    m_headers = File();
    m_data = File();
    m_lock.reset();
    return written;
}

Result<bool> IsBeingRecorded(const std::filesystem::path& blockDir)
{
    if (Status folder = CheckBlockFolder(blockDir); !folder) {
        return folder.failure();
    }
    // A block whose lock file is gone has no writer: every writer creates
    // the file before it locks it.
    return FileLock::IsHeld(blockDir / kLockFileName);
}

}  // namespace orvo::tank
