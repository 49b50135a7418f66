#include "tankengine/storage/block_reader.h"

#include "tankengine/storage/block_files.h"

#include <fcntl.h>

namespace orvo::tank {

Result<BlockReader> BlockReader::Open(const std::filesystem::path& blockDir)
{
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
    std::uint64_t before = m_end.frames;
    // A frame that is short or fails its checksum at the end is one the
    // writer is still writing: the walk stops before it and the next Refresh
    // looks at it again.
    Status scanned = ScanFrames(m_headers, m_data, m_end, ScanOptions{},
                                [this](std::uint64_t record, const Frame& frame) { m_index.Add(record, frame.head); });
    if (!scanned) {
        return scanned.failure();
    }
    return m_end.frames - before;
}

Result<Frame> BlockReader::ReadFrame(std::uint64_t record) const
{
    if (record >= m_end.frames) {
        return Fail(ErrorKind::kInvalidArgument, "record " + std::to_string(record) + " is past the " +
                                                     std::to_string(m_end.frames) + " records of " + m_dir.string());
    }
    FrameBytes bytes{};
    if (Status read = m_headers.ReadExact(FrameOffset(record), bytes); !read) {
        return read.failure();
    }
    std::optional<Frame> frame = DecodeFrame(bytes);
    if (!frame) {
        return Fail(ErrorKind::kCorruption,
                    "record " + std::to_string(record) + " of " + m_dir.string() + " changed after it was read");
    }
    return *frame;
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
    return ReadData(*frame, out);
}

Result<std::size_t> BlockReader::ReadData(const Frame& frame, std::span<std::int32_t> out) const
{
    std::size_t words = frame.dataBytes / 4;
    if (words > out.size()) {
        return Fail(ErrorKind::kInvalidArgument, "a record has " + std::to_string(words) +
                                                     " data words, more than the " + std::to_string(out.size()) +
                                                     " the buffer holds");
    }
    Status read = ReadFrameData(m_data, frame, std::as_writable_bytes(out.first(words)));
    if (!read) {
        return read.failure();
    }
    return words;
}

}  // namespace orvo::tank
