// The byte layout of the header and data files of a block (see
// docs/tank-storage.md) and the walk over a block's frames.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/result.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <cstring>
#include <span>

namespace orvo::tank {

// Fields are copied in host order, which is the files' little-endian order.
static_assert(std::endian::native == std::endian::little);

template <class T>
void Put(std::byte* at, const T& value)
{
    std::memcpy(at, &value, sizeof value);
}

template <class T>
T Get(const std::byte* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline constexpr std::uint64_t kFileHeaderBytes = 16;
inline constexpr std::uint64_t kFrameBytes = 72;
// The largest data part of one record, so its byte length fits 32 bits.
inline constexpr std::int64_t kMaxDataWords = std::int64_t{1} << 28;

enum class FileKind { Headers, Data, Index };

std::array<std::byte, kFileHeaderBytes> EncodeFileHeader(FileKind kind);
Status CheckFileHeader(const File& file, FileKind kind);

// Why a record header cannot be stored, or nullptr when it can.
const char* RecordHeaderProblem(const SQHead& head);

// Data bytes of a header that passed RecordHeaderProblem.
inline std::uint32_t DataBytes(const SQHead& head)
{
    return static_cast<std::uint32_t>(head.size - kHeaderWords) * 4u;
}

std::uint32_t DataCrc(std::span<const std::byte> data);

struct Frame {
    SQHead head;
    std::uint64_t dataOffset;
    std::uint32_t dataBytes;
    std::uint32_t dataCrc;
};

using FrameBytes = std::array<std::byte, kFrameBytes>;

// Lays a frame out but for its checksum, which SealFrames then adds to
// frames laid out back to back. Taking the checksums in a pass of their own
// reads the frames once their bytes are stored, rather than each one while
// its stores are still in flight, which costs a batch of small records much.
void LayOutFrame(const Frame& frame, std::span<std::byte, kFrameBytes> out);
void SealFrames(std::span<std::byte> frames);
// A frame whose marker, checksum and record header are right; nullopt for
// anything else, including the zeros of a hole.
std::optional<Frame> DecodeFrame(std::span<const std::byte, kFrameBytes> bytes);

inline std::uint64_t FrameOffset(std::uint64_t record) { return kFileHeaderBytes + record * kFrameBytes; }

// Reads a frame's data and checks them against its data checksum.
Status ReadFrameData(const File& data, const Frame& frame, std::span<std::byte> out);

// The validated prefix of a block: its frames and where its data end.
struct ScanPosition {
    std::uint64_t frames = 0;
    std::uint64_t dataEnd = kFileHeaderBytes;
};

struct ScanOptions {
    bool verifyData = false;  // also read the data and check their checksums
};

// Walks the frames after `at`, handing each valid one to onFrame and moving
// `at` past it, and stops at the first frame that is incomplete or invalid.
Status ScanFrames(const File& headers, const File& data, ScanPosition& at, ScanOptions options,
                  const std::function<void(std::uint64_t record, const Frame&)>& onFrame);

// How many frame slots from `first` on hold a valid frame whose data are
// intact, counting up to atMost. A writer appends frame after frame, so any
// such frame past one that is not valid tells corruption inside a block from
// a torn tail.
Result<std::uint64_t> CountValidFramesFrom(const File& headers, const File& data, std::uint64_t first,
                                           std::uint64_t atMost);

inline Result<bool> AnyValidFrameFrom(const File& headers, const File& data, std::uint64_t first)
{
    Result<std::uint64_t> found = CountValidFramesFrom(headers, data, first, 1);
    if (!found) {
        return found.failure();
    }
    return *found > 0;
}

}  // namespace orvo::tank
