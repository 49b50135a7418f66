// Records are built in the client object's word buffer and handed to the
// engine in one call. Every position and size a caller gives is checked in
// 64-bit arithmetic before the buffer grows or a word is written, so a build
// either lands wholly inside the buffer or fails with -1.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>
#include "protocol/StoreCode.h"

namespace {

constexpr LONG kLongMax = std::numeric_limits<LONG>::max();
constexpr LONG kMinimumBuffer = 32768;
// Room a snippet build makes whatever its template says; a template wider
// than this makes room for its own width instead.
constexpr std::int64_t kSnipRoom = 65000;

constexpr std::uint8_t kDoubleFormat = 4;

constexpr LONG kOptionStreamVariant = 2;  // type 0x8111 in place of 0x8101
constexpr LONG kOptionNoData = 4;         // header only: the data area is left as it is
constexpr std::int32_t kNoDataTypeBit = 0x0020;

// A position after pos + words, or -1 when it has no 32-bit form.
std::int64_t End(LONG pos, std::int64_t words)
{
    const std::int64_t end = std::int64_t{pos} + words;
    return pos < 0 || words < 0 || end > kLongMax ? -1 : end;
}

std::int32_t StreamType(LONG options)
{
    std::int32_t type = (options & kOptionStreamVariant) != 0 ? 0x8111 : kStreamType;
    if ((options & kOptionNoData) != 0) {
        type |= kNoDataTypeBit;
    }
    return type;
}

void SetCodeWord(SQHead& head, LONG word)
{
    head.channel = static_cast<std::uint16_t>(word & 0xFFFF);
    head.sortCode = static_cast<std::int16_t>(static_cast<std::uint32_t>(word) >> 16);
}

SQHead PointEvent(std::int32_t type, const char* code, LONG codeWord, double time, double value)
{
    SQHead head{};
    head.size = kHeaderWords;
    head.type = type;
    head.code = orvo::PackStoreCode(code);
    SetCodeWord(head, codeWord);
    head.timeStamp = time;
    head.value = value;
    head.dataFormat = kDoubleFormat;
    return head;
}

}  // namespace

void OrvoCI::SetBuildHead(const char* code, LONG dataFormat, float sampleFreq, LONG nWords)
{
    m_buildHead = SQHead{};
    // A width with no 32-bit form leaves a template without data words,
    // which every snippet and stream build refuses.
    m_buildHead.size = nWords <= kLongMax - kHeaderWords ? nWords + kHeaderWords : 0;
    m_buildHead.code = orvo::PackStoreCode(code);
    const auto formatWord = static_cast<std::uint32_t>(dataFormat);
    m_buildHead.dataFormat = static_cast<std::uint8_t>(formatWord);
    m_buildHead.byte33 = static_cast<std::uint8_t>(formatWord >> 8);
    m_buildHead.byte34 = static_cast<std::uint8_t>(formatWord >> 16);
    m_buildHead.byte35 = static_cast<std::uint8_t>(formatWord >> 24);
    m_buildHead.sampleFreq = sampleFreq;
}

int OrvoCI::CheckBEV(LONG needed)
{
    if (needed < m_buildBufferSize) {
        return 1;
    }
    if (needed == kLongMax) {
        return 0;
    }
    const LONG capacity =
        static_cast<LONG>(std::clamp<std::int64_t>(2 * std::int64_t{needed}, kMinimumBuffer, kLongMax));
    // Zeroed, so a header-only build never sends what the heap held before.
    std::unique_ptr<LONG[]> grown(new (std::nothrow) LONG[static_cast<std::size_t>(capacity)]());
    if (!grown) {
        return 0;
    }
    if (m_buildBuffer) {
        std::memcpy(grown.get(), m_buildBuffer.get(), static_cast<std::size_t>(m_buildBufferSize) * sizeof(LONG));
    }
    m_buildBuffer = std::move(grown);
    m_buildBufferSize = capacity;
    return 1;
}

LONG OrvoCI::BuildScalarEv(LONG pos, const char* code, LONG channel, double time, double value)
{
    const std::int64_t end = End(pos, kHeaderWords);
    if (end < 0 || CheckBEV(static_cast<LONG>(end)) == 0) {
        return -1;
    }
    WriteHeader(&m_buildBuffer[static_cast<std::size_t>(pos)],
                PointEvent(kScalarType, code, channel, time, value));
    return static_cast<LONG>(end);
}

LONG OrvoCI::BuildStrobeEv(LONG pos, const char* code, double time, double value, const char* code2)
{
    const std::int64_t end = End(pos, kHeaderWords);
    if (end < 0 || CheckBEV(static_cast<LONG>(end)) == 0) {
        return -1;
    }
    const bool hasOffCode = code2 != nullptr && code2[0] != '\0';
    WriteHeader(&m_buildBuffer[static_cast<std::size_t>(pos)],
                PointEvent(hasOffCode ? kStrobeOffType : kStrobeOnType, code,
                           hasOffCode ? orvo::PackStoreCode(code2) : 0, time, value));
    return static_cast<LONG>(end);
}

LONG OrvoCI::BuildSnipEv(LONG pos, LONG channel, double time, const LONG* pData, int withSort)
{
    const std::int64_t end = End(pos, std::max<std::int64_t>(kSnipRoom, m_buildHead.size));
    if (pData == nullptr || end < 0 || CheckBEV(static_cast<LONG>(end)) == 0) {
        return -1;
    }
    LONG* record = &m_buildBuffer[static_cast<std::size_t>(pos)];
    SQHead head = m_buildHead;
    head.type = kSnipType;
    SetCodeWord(head, withSort != 0 ? channel & 0xFFFF : channel);
    if (time < 0.0) {
        float packedTime;
        std::memcpy(&packedTime, &pData[0], sizeof packedTime);
        time = packedTime;
    }
    head.timeStamp = time;
    WriteHeader(record, head);
    const std::int64_t n = std::int64_t{head.size} - kHeaderWords;
    if (n < 1) {
        return -1;
    }
    if (withSort != 0) {
        SetCodeWord(head, static_cast<LONG>((static_cast<std::uint32_t>(pData[n + 1]) << 16) |
                                            (static_cast<std::uint32_t>(channel) & 0xFFFF)));
        WriteHeader(record, head);
    }
    std::memcpy(record + kHeaderWords, pData + 1, static_cast<std::size_t>(n) * sizeof(LONG));
    return pos + head.size;
}

LONG OrvoCI::BuildStreamEv(LONG pos, LONG channel, double time, const LONG* pData, LONG options)
{
    return BuildStreamEvMC(pos, channel, 1, time, pData, options);
}

LONG OrvoCI::BuildStreamEvMC(LONG pos, LONG firstChannel, LONG nChannels, double time,
                             const LONG* pData, LONG options)
{
    const std::int64_t n = std::int64_t{m_buildHead.size} - kHeaderWords;
    const bool withData = (options & kOptionNoData) == 0;
    if (n < 1) {
        return -1;
    }
    if (nChannels < 1) {
        return pos;
    }
    if (withData && pData == nullptr) {
        return -1;
    }
    const std::int64_t end = End(pos, std::int64_t{m_buildHead.size} * nChannels);
    if (end < 0 || CheckBEV(static_cast<LONG>(end)) == 0) {
        return -1;
    }
    SQHead head = m_buildHead;
    head.type = StreamType(options);
    head.timeStamp = time;
    for (LONG c = 0; c < nChannels; ++c) {
        LONG* record = &m_buildBuffer[static_cast<std::size_t>(pos) +
                                      static_cast<std::size_t>(c) * static_cast<std::size_t>(head.size)];
        SetCodeWord(head, static_cast<LONG>(static_cast<std::uint32_t>(firstChannel) + static_cast<std::uint32_t>(c)));
        WriteHeader(record, head);
        if (withData) {
            // Channel c's samples are every nChannels-th word from word c.
            for (std::int64_t j = 0; j < n; ++j) {
                record[kHeaderWords + j] = pData[j * nChannels + c];
            }
        }
    }
    return static_cast<LONG>(end);
}

LONG OrvoCI::SaveEvents(const LONG* pRecords, LONG nRecords)
{
    if (!HasClient()) {
        return 0;
    }
    const LONG* source = pRecords != nullptr ? pRecords : m_buildBuffer.get();
    if (source == nullptr || nRecords < 1) {
        RCE("SaveEvents", "No records to save", std::to_string(nRecords));
        return -1;
    }
    const LONG width = ReadHeader(source).size;
    const std::int64_t words = std::int64_t{width} * nRecords;
    // Rows are taken at the first record's width; the build buffer is known
    // to hold only so many words.
    if (width < kHeaderWords || (pRecords == nullptr && words > m_buildBufferSize)) {
        RCE("SaveEvents", "Records do not fit the build buffer", std::to_string(nRecords));
        return -1;
    }
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(width), 0}, {static_cast<ULONG>(nRecords), 0}};
    Variant records;
    records->vt = VT_ARRAY | VT_I4;
    records->parray = SafeArrayCreate(VT_I4, 2, bounds);
    if (records->parray == nullptr) {
        return -1;
    }
    std::memcpy(records->parray->pvData, source, static_cast<std::size_t>(words) * sizeof(LONG));
    return m_engine->SaveEvents(m_clientId, records.get());
}
