#include "tankengine/storage/block_index.h"

#include "tankengine/storage/crc32.h"
#include "tankengine/storage/file_system.h"

#include <cerrno>
#include <cmath>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace orvo::tank {
namespace {

constexpr std::array<char, 4> kCheckpointMarker = {'O', 'C', 'K', 'P'};
constexpr std::uint32_t kOrderedFlag = 1;
constexpr std::size_t kAtStoreCount = 4;
constexpr std::size_t kAtChunk = 8;
constexpr std::size_t kAtSlots = 16;
constexpr std::size_t kAtReserved = kAtSlots + kCheckpointSlots * kSlotBytes;
constexpr std::size_t kAtCrc = kAtReserved + 4;
static_assert(kAtCrc + 4 == kCheckpointBytes);
// The checkpoints a writer gathers before it writes them.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
// The last chunk whose covered frames still count in 64 bits.
constexpr std::uint64_t kLastChunk = std::numeric_limits<std::uint64_t>::max() / kChunkFrames - 1;

}  // namespace

std::size_t Checkpoint::SlotOf(std::int32_t code) const
{
    for (std::size_t slot = 0; slot < storeCount; ++slot) {
        if (stores[slot].code == code) {
            return slot;
        }
    }
    return storeCount;
}

CheckpointBytes EncodeCheckpoint(const Checkpoint& checkpoint)
{
    CheckpointBytes bytes{};
    Put(bytes.data(), kCheckpointMarker);
    Put(bytes.data() + kAtStoreCount, static_cast<std::uint32_t>(checkpoint.storeCount));
    Put(bytes.data() + kAtChunk, checkpoint.chunk);
    for (std::size_t slot = 0; slot < checkpoint.storeCount; ++slot) {
        const StoreMark& mark = checkpoint.stores[slot];
        std::byte* at = bytes.data() + kAtSlots + slot * kSlotBytes;
        Put(at, mark.code);
        Put(at + 4, mark.ordered ? kOrderedFlag : 0u);
        Put(at + 8, mark.firstRecord);
        Put(at + 16, mark.lastRecord);
        Put(at + 24, mark.lastTime);
    }
    Put(bytes.data() + kAtCrc, Crc32(0, std::span(bytes).first(kAtCrc)));
    return bytes;
}

std::optional<Checkpoint> DecodeCheckpoint(std::span<const std::byte, kCheckpointBytes> bytes)
{
    if (Get<std::array<char, 4>>(bytes.data()) != kCheckpointMarker ||
        Get<std::uint32_t>(bytes.data() + kAtCrc) != Crc32(0, bytes.first(kAtCrc)) ||
        Get<std::uint32_t>(bytes.data() + kAtReserved) != 0) {
        return std::nullopt;
    }
    Checkpoint checkpoint;
    const auto storeCount = Get<std::uint32_t>(bytes.data() + kAtStoreCount);
    checkpoint.chunk = Get<std::uint64_t>(bytes.data() + kAtChunk);
    if (storeCount == 0 || storeCount > kCheckpointSlots || checkpoint.chunk > kLastChunk) {
        return std::nullopt;
    }
    checkpoint.storeCount = storeCount;
    for (std::size_t slot = 0; slot < kCheckpointSlots; ++slot) {
        const std::byte* at = bytes.data() + kAtSlots + slot * kSlotBytes;
        if (slot >= storeCount) {
            for (std::size_t i = 0; i < kSlotBytes; ++i) {
                if (at[i] != std::byte{0}) {
                    return std::nullopt;
                }
            }
            continue;
        }
        StoreMark& mark = checkpoint.stores[slot];
        mark.code = Get<std::int32_t>(at);
        const auto flags = Get<std::uint32_t>(at + 4);
        mark.ordered = (flags & kOrderedFlag) != 0;
        mark.firstRecord = Get<std::uint64_t>(at + 8);
        mark.lastRecord = Get<std::uint64_t>(at + 16);
        mark.lastTime = Get<double>(at + 24);
        if ((flags & ~kOrderedFlag) != 0 || mark.firstRecord > mark.lastRecord ||
            mark.lastRecord >= checkpoint.FramesCovered() || std::isnan(mark.lastTime) ||
            checkpoint.SlotOf(mark.code) != slot) {
            return std::nullopt;
        }
    }
    return checkpoint;
}

void IndexBuilder::Add(std::uint64_t record, const SQHead& head)
{
    if (m_overflowed) {
        return;
    }
    const std::size_t slot = m_state.SlotOf(head.code);
    if (slot == kCheckpointSlots) {
        m_overflowed = true;
        return;
    }
    StoreMark& mark = m_state.stores[slot];
    if (slot == m_state.storeCount) {
        mark = StoreMark{head.code, true, record, record, head.timeStamp};
        ++m_state.storeCount;
    } else {
        mark.ordered = mark.ordered && head.timeStamp >= mark.lastTime;
        mark.lastRecord = record;
        mark.lastTime = head.timeStamp;
    }
    if ((record + 1) % kChunkFrames == 0) {
        m_state.chunk = record / kChunkFrames;
        const CheckpointBytes bytes = EncodeCheckpoint(m_state);
        m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    }
}

Result<IndexWriter> IndexWriter::Begin(const std::filesystem::path& blockDir)
{
    IndexWriter writer;
    writer.m_blockDir = blockDir;
    Result<File> file = File::CreateFresh(blockDir, std::string(".") + kIndexFileName + ".", ".tmp");
    if (!file) {
        return file.failure();
    }
    writer.m_file = std::move(*file);
    if (Status written = writer.m_file.WriteAll(0, EncodeFileHeader(FileKind::Index)); !written) {
        return written.failure();
    }
    return writer;
}

IndexWriter& IndexWriter::operator=(IndexWriter&& other) noexcept
{
    if (this != &other) {
        Abandon();
        m_blockDir = std::move(other.m_blockDir);
        m_file = std::move(other.m_file);
        m_published = other.m_published;
        m_end = other.m_end;
        m_builder = std::move(other.m_builder);
        m_failed = std::move(other.m_failed);
    }
    return *this;
}

IndexWriter::~IndexWriter() { Abandon(); }

void IndexWriter::Add(std::uint64_t record, const SQHead& head)
{
    m_builder.Add(record, head);
    if (m_builder.Pending().size() >= kFlushBytes) {
        (void)Flush();
    }
}

Status IndexWriter::Flush()
{
    if (m_failed) {
        return *m_failed;
    }
    if (m_builder.Pending().empty()) {
        return {};
    }
    if (Status written = m_file.WriteAll(m_end, m_builder.Pending()); !written) {
        m_failed = written.failure();
        return written;
    }
    m_end += m_builder.Pending().size();
    m_builder.ClearPending();
    return {};
}

Status IndexWriter::Publish()
{
    Status s = Flush();
    if (s) {
        s = m_file.FullSync();
    }
    const std::filesystem::path target = m_blockDir / kIndexFileName;
    if (s && CurrentFileSystem().Rename(m_file.path().c_str(), target.c_str(), 0) != 0) {
        s = SystemFailure("cannot rename " + m_file.path() + " over " + target.string(), errno);
    }
    m_published = static_cast<bool>(s);
    return s;
}

Status IndexWriter::Undo(Mark mark)
{
    m_builder = std::move(mark.builder);
    m_failed.reset();
    if (mark.end == m_end) {
        return {};
    }
    m_end = mark.end;
    return m_file.Truncate(m_end);
}

void IndexWriter::Abandon()
{
    if (m_file.is_open() && !m_published) {
        ::unlink(m_file.path().c_str());
    }
    m_file = File();
}

}  // namespace orvo::tank
