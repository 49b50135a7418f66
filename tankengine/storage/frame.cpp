#include "tankengine/storage/frame.h"

#include "tankengine/storage/crc32.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvo::tank {
namespace {

constexpr std::array<char, 8> kHeadersMagic = {'O', 'r', 'v', 'o', 'H', 'd', 'r', '\0'};
constexpr std::array<char, 8> kDataMagic = {'O', 'r', 'v', 'o', 'D', 'a', 't', '\0'};
constexpr std::array<char, 8> kIndexMagic = {'O', 'r', 'v', 'o', 'I', 'd', 'x', '\0'};
constexpr std::uint32_t kVersion = 1;
constexpr std::array<char, 4> kFrameMarker = {'O', 'F', 'R', 'M'};

// Frame field offsets.
constexpr std::size_t kAtLength = 4;
constexpr std::size_t kAtDataOffset = 8;
constexpr std::size_t kAtDataBytes = 16;
constexpr std::size_t kAtDataCrc = 20;
constexpr std::size_t kAtHead = 24;
constexpr std::size_t kAtReserved = 64;
constexpr std::size_t kAtFrameCrc = 68;

// Frames read per system call while walking the header file.
constexpr std::size_t kScanChunkFrames = 4096;
constexpr std::size_t kCrcChunkBytes = std::size_t{1} << 20;

std::uint32_t FrameCrc(std::span<const std::byte, kFrameBytes> bytes)
{
    return Crc32(0, bytes.first(kAtFrameCrc));
}

bool InsideFile(std::uint64_t offset, std::uint64_t length, std::uint64_t fileSize)
{
    return offset <= fileSize && length <= fileSize - offset;
}

Result<bool> DataCrcMatches(const File& data, const Frame& frame)
{
    std::vector<std::byte> buffer(std::min<std::size_t>(frame.dataBytes, kCrcChunkBytes));
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < frame.dataBytes;) {
        std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer.size(), frame.dataBytes - done));
        Status read = data.ReadExact(frame.dataOffset + done, std::span(buffer).first(n));
        if (!read) {
            return read.failure();
        }
        crc = Crc32(crc, std::span(buffer).first(n));
        done += n;
    }
    return crc == frame.dataCrc;
}

// The size of the data file as last seen; looked up again only when a frame
// reaches past it, and only after that frame was read, so data the writer
// put in before the frame are always counted.
class DataSize {
public:
    explicit DataSize(const File& data) : m_data(data) {}

    Result<bool> Covers(const Frame& frame)
    {
        if (!InsideFile(frame.dataOffset, frame.dataBytes, m_known)) {
            Result<std::uint64_t> size = m_data.Size();
            if (!size) {
                return size.failure();
            }
            m_known = *size;
        }
        return InsideFile(frame.dataOffset, frame.dataBytes, m_known);
    }

private:
    const File& m_data;
    std::uint64_t m_known = 0;
};

}  // namespace

std::array<std::byte, kFileHeaderBytes> EncodeFileHeader(FileKind kind)
{
    std::array<std::byte, kFileHeaderBytes> bytes{};
    Put(bytes.data(), kind == FileKind::Headers ? kHeadersMagic : kind == FileKind::Data ? kDataMagic : kIndexMagic);
    Put(bytes.data() + 8, kVersion);
    return bytes;
}

Status CheckFileHeader(const File& file, FileKind kind)
{
    std::array<std::byte, kFileHeaderBytes> bytes{};
    Result<std::size_t> got = file.ReadUpTo(0, bytes);
    if (!got) {
        return got.failure();
    }
    const char* what = kind == FileKind::Headers ? "block header file"
                       : kind == FileKind::Data  ? "block data file"
                                                 : "block index file";
    if (*got != bytes.size() || bytes != EncodeFileHeader(kind)) {
        return Fail(ErrorKind::kCorruption,
                    file.path() + " is not a " + what + " of format version " + std::to_string(kVersion));
    }
    return {};
}

const char* RecordHeaderProblem(const SQHead& head)
{
    if (head.size < kHeaderWords) {
        return "size is below 10 words";
    }
    if (head.size - kHeaderWords > kMaxDataWords) {
        return "size is above the largest record";
    }
    if ((head.type & 0x8000) == 0 && head.size != kHeaderWords) {
        return "a record without the array bit 0x8000 in its type carries data words";
    }
    if (std::isnan(head.timeStamp)) {
        return "time stamp is not a number";
    }
    return nullptr;
}

std::uint32_t DataCrc(std::span<const std::byte> data) { return Crc32(0, data); }

void LayOutFrame(const Frame& frame, std::span<std::byte, kFrameBytes> out)
{
    Put(out.data(), kFrameMarker);
    Put(out.data() + kAtLength, static_cast<std::uint32_t>(kFrameBytes));
    Put(out.data() + kAtDataOffset, frame.dataOffset);
    Put(out.data() + kAtDataBytes, frame.dataBytes);
    Put(out.data() + kAtDataCrc, frame.dataCrc);
    Put(out.data() + kAtHead, frame.head);
    Put(out.data() + kAtReserved, std::uint32_t{0});
}

void SealFrames(std::span<std::byte> frames)
{
    for (std::size_t at = 0; at + kFrameBytes <= frames.size(); at += kFrameBytes) {
        const std::span<std::byte, kFrameBytes> frame = frames.subspan(at).first<kFrameBytes>();
        Put(frame.data() + kAtFrameCrc, FrameCrc(frame));
    }
}

std::optional<Frame> DecodeFrame(std::span<const std::byte, kFrameBytes> bytes)
{
    if (Get<std::array<char, 4>>(bytes.data()) != kFrameMarker ||
        Get<std::uint32_t>(bytes.data() + kAtLength) != kFrameBytes ||
        Get<std::uint32_t>(bytes.data() + kAtReserved) != 0 ||
        Get<std::uint32_t>(bytes.data() + kAtFrameCrc) != FrameCrc(bytes)) {
        return std::nullopt;
    }
    Frame frame{Get<SQHead>(bytes.data() + kAtHead), Get<std::uint64_t>(bytes.data() + kAtDataOffset),
                Get<std::uint32_t>(bytes.data() + kAtDataBytes),
                Get<std::uint32_t>(bytes.data() + kAtDataCrc)};
    if (RecordHeaderProblem(frame.head) != nullptr || frame.dataBytes != DataBytes(frame.head) ||
        (frame.dataBytes == 0 && frame.dataCrc != 0)) {
        return std::nullopt;
    }
    return frame;
}

Status ReadFrameData(const File& data, const Frame& frame, std::span<std::byte> out)
{
    if (out.size() != frame.dataBytes) {
        return Fail(ErrorKind::kInvalidArgument, "data buffer of " + std::to_string(out.size()) +
                                                     " bytes for a record of " + std::to_string(frame.dataBytes));
    }
    Status read = data.ReadExact(frame.dataOffset, out);
    if (!read) {
        return read;
    }
    if (DataCrc(out) != frame.dataCrc) {
        return Fail(ErrorKind::kCorruption,
                    "data checksum mismatch at offset " + std::to_string(frame.dataOffset) + " of " + data.path());
    }
    return {};
}

Status ScanFrames(const File& headers, const File& data, ScanPosition& at, ScanOptions options,
                  const std::function<void(std::uint64_t record, const Frame&)>& onFrame)
{
    Result<std::uint64_t> size = headers.Size();
    if (!size) {
        return size.failure();
    }
    // Sized to what the file holds now: a live reader refreshes often and
    // mostly finds a few frames. Frames that arrive meanwhile are still read.
    std::uint64_t start = FrameOffset(at.frames);
    std::uint64_t available = *size > start ? (*size - start) / kFrameBytes : 0;
    std::size_t chunkFrames = static_cast<std::size_t>(std::min<std::uint64_t>(available, kScanChunkFrames));
    if (chunkFrames == 0) {
        return {};
    }
    DataSize dataSize(data);
    std::vector<std::byte> chunk(chunkFrames * kFrameBytes);
    for (;;) {
        Result<std::size_t> got = headers.ReadUpTo(FrameOffset(at.frames), chunk);
        if (!got) {
            return got.failure();
        }
        std::size_t complete = *got / kFrameBytes;
        for (std::size_t i = 0; i < complete; ++i) {
            auto bytes = std::span(chunk).subspan(i * kFrameBytes).first<kFrameBytes>();
            std::optional<Frame> frame = DecodeFrame(bytes);
            if (!frame || frame->dataOffset != at.dataEnd) {
                return {};
            }
            Result<bool> present = dataSize.Covers(*frame);
            if (!present) {
                return present.failure();
            }
            if (!*present) {
                return {};
            }
            if (options.verifyData && frame->dataBytes > 0) {
                Result<bool> intact = DataCrcMatches(data, *frame);
                if (!intact) {
                    return intact.failure();
                }
                if (!*intact) {
                    return {};
                }
            }
            onFrame(at.frames, *frame);
            at.frames += 1;
            at.dataEnd += frame->dataBytes;
        }
        if (complete < chunkFrames) {
            return {};
        }
    }
}

Result<std::uint64_t> CountValidFramesFrom(const File& headers, const File& data, std::uint64_t first,
                                           std::uint64_t atMost)
{
    DataSize dataSize(data);
    FrameBytes bytes{};
    std::uint64_t found = 0;
    for (std::uint64_t record = first; found < atMost; ++record) {
        Result<std::size_t> got = headers.ReadUpTo(FrameOffset(record), bytes);
        if (!got) {
            return got.failure();
        }
        if (*got < kFrameBytes) {
            break;
        }
        std::optional<Frame> frame = DecodeFrame(bytes);
        if (!frame) {
            continue;
        }
        Result<bool> present = dataSize.Covers(*frame);
        if (!present) {
            return present.failure();
        }
        if (!*present) {
            continue;
        }
        Result<bool> intact = DataCrcMatches(data, *frame);
        if (!intact) {
            return intact.failure();
        }
        found += *intact ? 1 : 0;
    }
    return found;
}

}  // namespace orvo::tank
