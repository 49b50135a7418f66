// The checksum of the block files: CRC-32 of the zlib and gzip kind, so
// blocks written by any version of the engine check the same way.
#pragma once

#include <cstdint>
#include <span>

namespace orvo::tank {

// Continues crc (0 to start) over bytes; the same value as zlib's crc32.
// Reads check every record, so where the processor can multiply without
// carries the bytes are folded 64 at a time rather than looked up byte by
// byte.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::byte> bytes);

}  // namespace orvo::tank
