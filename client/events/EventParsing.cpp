#include <cstdint>
#include <cstring>
#include <limits>

#include <orvo/OrvoCI.h>
#include "client/support/Log.h"

namespace {

// Values per data word by format; 0 for the formats ParseEv cannot convert.
int ValuesPerWord(int dataFormat)
{
    switch (dataFormat) {
    case 0:
    case 1: return 1;
    case 2: return 2;
    case 3: return 4;
    default: return 0;
    }
}

template <typename Source>
void ConvertToFloats(const LONG* words, std::size_t count, float* out)
{
    for (std::size_t i = 0; i < count; ++i) {
        Source value;
        std::memcpy(&value, reinterpret_cast<const unsigned char*>(words) + i * sizeof value,
                    sizeof value);
        out[i] = static_cast<float>(value);
    }
}

}  // namespace

LONG OrvoCI::ParseEv(LONG index, double* pTime, LONG* pChannel, LONG* pSortCode, float* pData,
                     LONG* pNpts)
{
    LONG dataWords = 0;
    const LONG* record = GetEvPtr(index, &dataWords);
    if (record == nullptr) {
        return 0;
    }
    const SQHead head = ReadHeader(record);
    // The header outputs are set even when the data cannot be taken.
    if (pTime != nullptr) *pTime = head.timeStamp;
    if (pChannel != nullptr) *pChannel = head.channel;
    if (pSortCode != nullptr) *pSortCode = head.sortCode;

    LONG count = 1;
    if ((head.type & kArrayEventFlag) == 0) {
        if (pData != nullptr) {
            pData[0] = static_cast<float>(head.value);
        }
    } else {
        const int perWord = ValuesPerWord(head.dataFormat);
        const std::int64_t values = std::int64_t{dataWords} * (perWord != 0 ? perWord : 1);
        // A row too wide for a 32-bit count cannot be described to the caller.
        if (values > std::numeric_limits<LONG>::max()) {
            return -1;
        }
        count = static_cast<LONG>(values);
        if (pData != nullptr) {
            if (pNpts == nullptr) {
                LogMessage("OrvoCI", __LINE__, "OrvoCI::ParseEv", kLogWarning,
                           "NULL npts passed... how big is the pData buffer?\n");
                return -1;
            }
            if (*pNpts < count) {
                LogMessage("OrvoCI", __LINE__, "OrvoCI::ParseEv", kLogWarning,
                           "Not enough space allocated.\n");
                return -1;
            }
        }
        if (perWord == 0) {
            return -1;
        }
        if (pData != nullptr) {
            const LONG* data = record + kHeaderWords;
            const auto n = static_cast<std::size_t>(count);
            switch (head.dataFormat) {
            case 0: std::memcpy(pData, data, n * sizeof(float)); break;
            case 1: ConvertToFloats<std::int32_t>(data, n, pData); break;
            case 2: ConvertToFloats<std::int16_t>(data, n, pData); break;
            default: ConvertToFloats<std::int8_t>(data, n, pData); break;
            }
        }
    }
    if (pNpts != nullptr) {
        *pNpts = count;
    }
    return index + 1;
}

LONG OrvoCI::ParseEpocs(double* pTimes, double* pValues, LONG /*ignored*/, LONG code, LONG* pCodes)
{
    LONG taken = 0;
    for (LONG row = 0;; ++row) {
        const LONG* record = GetEvPtr(row, nullptr);
        if (record == nullptr) {
            break;
        }
        const SQHead head = ReadHeader(record);
        // Channel and sort code together, or a strobe's second store code.
        const LONG codeWord = record[3];
        if (code != 0 && code != codeWord) {
            continue;
        }
        if (pTimes != nullptr) pTimes[taken] = head.timeStamp;
        if (pCodes != nullptr) pCodes[taken] = codeWord;
        if (pValues != nullptr) pValues[taken] = (head.type & kArrayEventFlag) != 0 ? 0.0 : head.value;
        ++taken;
    }
    return taken;
}
