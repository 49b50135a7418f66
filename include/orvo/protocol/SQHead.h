// The event record: a header of ten little-endian 32-bit words, followed by
// the data words of array events. The layout is shared with the engine and
// with stored data, so every offset is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct SQHead {
    std::int32_t size;        // whole record in 32-bit words, header included
    std::int32_t type;        // event type; bit 0x8000 = data words follow
    std::int32_t code;        // store code: four characters, first in the lowest byte
    std::uint16_t channel;
    std::int16_t sortCode;
    double timeStamp;         // seconds
    double value;             // scalar and strobe events; the engine's in array events
    std::uint8_t dataFormat;
    std::uint8_t byte33;
    std::uint8_t byte34;
    std::uint8_t byte35;
    float sampleFreq;         // Hz, array events
};

static_assert(offsetof(SQHead, size) == 0);
static_assert(offsetof(SQHead, type) == 4);
static_assert(offsetof(SQHead, code) == 8);
static_assert(offsetof(SQHead, channel) == 12);
static_assert(offsetof(SQHead, sortCode) == 14);
static_assert(offsetof(SQHead, timeStamp) == 16);
static_assert(offsetof(SQHead, value) == 24);
static_assert(offsetof(SQHead, dataFormat) == 32);
static_assert(offsetof(SQHead, byte33) == 33);
static_assert(offsetof(SQHead, byte34) == 34);
static_assert(offsetof(SQHead, byte35) == 35);
static_assert(offsetof(SQHead, sampleFreq) == 36);
static_assert(sizeof(SQHead) == 40);

// Words in a record without data.
constexpr std::int32_t kHeaderWords = 10;
// Type bit of records whose data words follow the header.
constexpr std::int32_t kArrayEventFlag = 0x8000;

// Event types.
constexpr std::int32_t kStrobeOnType = 0x0101;
constexpr std::int32_t kStrobeOffType = 0x0102;
constexpr std::int32_t kScalarType = 0x0201;
constexpr std::int32_t kStreamType = 0x8101;
constexpr std::int32_t kSnipType = 0x8201;

// Records sit at any word boundary, so headers are copied in and out rather
// than addressed in place.
inline SQHead ReadHeader(const void* record)
{
    SQHead head;
    std::memcpy(&head, record, sizeof head);
    return head;
}

inline void WriteHeader(void* record, const SQHead& head)
{
    std::memcpy(record, &head, sizeof head);
}
