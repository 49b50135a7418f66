#include "tankengine/storage/block_reader.h"

#include "tankengine/storage/block_files.h"

#include <algorithm>
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
                                    [this](std::uint64_t record, const Frame& frame) { m_index.Add(record, frame.head); });
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
    return m_end.frames - before;
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

std::uint64_t FrameRun::EndAmong(std::span<const IndexEntry> entries, std::size_t next, std::uint64_t record)
{
    const std::uint64_t reach = record + kMaxFrames;
    std::uint64_t end = record + 1;
    const std::size_t last = std::min(entries.size(), next + kMaxFrames);
    for (std::size_t i = next; i < last && entries[i].record < reach; ++i) {
        end = std::max(end, entries[i].record + 1);
    }
    return end;
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

}  // namespace orvo::tank
