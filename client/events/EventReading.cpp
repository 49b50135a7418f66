#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>
#include "client/events/EventArrays.h"
#include "protocol/Names.h"
#include "protocol/StoreCode.h"
#include "toolbox/CUDPSocket.h"

namespace {

constexpr VARTYPE kLongArray = VT_ARRAY | VT_I4;
constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

bool IsVideoStore(LONG code)
{
    const CString name = orvo::StoreCodeText(code);
    const char* text = name.GetString();
    if (name.GetLength() < 4 || text[3] < '0' || text[3] > '9') {
        return false;
    }
    static constexpr char kPrefix[] = "vid";
    for (int i = 0; i < 3; ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != kPrefix[i]) {
            return false;
        }
    }
    return true;
}

// A name the notice can carry: ';' ends a field, so a name holding one
// could add fields of its own; control characters would reach whatever
// prints the notice.
bool FitsNotice(const CString& name)
{
    const std::string_view text(name.GetString(), static_cast<std::size_t>(name.GetLength()));
    return text.find(';') == std::string_view::npos && !orvo::HoldsControl(text);
}

}  // namespace

LONG OrvoCI::GetEvents(LONG** ppData, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                       double startTime, double endTime, LONG options)
{
    m_events.reset();
    if (!m_engine) {
        return 0;
    }
    const LONG result = m_engine->ReadEvents(m_clientId, m_events.out(), maxEvents, code, channel,
                                             sortCode, startTime, endTime, options);
    if (result < 1) {
        return result;
    }
    // Callers walk as many rows as the count says, so it may not exceed the
    // rows actually there.
    const orvo::EventRows rows = orvo::EventRowsOf(*m_events);
    if (rows.rows == 0) {
        return 0;
    }
    const LONG count = result < rows.rows ? result : rows.rows;
    if (ppData == nullptr) {
        return count;
    }
    *ppData = rows.data;
    if (IsVideoStore(code)) {
        const double value = ReadHeader(rows.data).value;
        // A value with no 64-bit integer form has no number to announce.
        if (std::isfinite(value) && std::fabs(value) < 9.2e18 && FitsNotice(m_blockName) && FitsNotice(m_tankName)) {
            char notice[2000];
            const int length = std::snprintf(notice, sizeof notice,
                                             "OrvoCI:%" PRId64 ";BLOCKNAME:%s;TANKNAME:%s",
                                             static_cast<std::int64_t>(value),
                                             m_blockName.GetString(), m_tankName.GetString());
            // A cut notice would name a different block or tank: skip it.
            if (length > 0 && static_cast<std::size_t>(length) < sizeof notice) {
                m_notifier->send(notice, -1);
            }
        }
    }
    return count;
}

LONG OrvoCI::GetEventCodes(LONG** ppCodes, LONG evType)
{
    m_events.reset();
    LONG count = 0;
    const int supplements = m_supplements.GetSize();
    if (supplements == 0) {
        if (!m_engine) {
            return 0;
        }
        count = m_engine->GetEventCodes(m_clientId, m_events.out(), evType);
        if (count >= 1) {
            const LONG held = orvo::StoreCodesOf(*m_events).count;
            if (held == 0) {
                return 0;
            }
            count = count < held ? count : held;
        }
    } else {
        if (supplements > m_codeBufferSize) {
            m_codeBuffer.reset();
            m_codeBufferSize = 0;
            const std::int64_t capacity = std::int64_t{supplements} + 128;
            if (capacity > kLongMax) {
                return 0;
            }
            m_codeBuffer.reset(new (std::nothrow) LONG[static_cast<std::size_t>(capacity)]);
            if (!m_codeBuffer) {
                return 0;
            }
            m_codeBufferSize = static_cast<LONG>(capacity);
        }
        for (int i = 0; i < supplements; ++i) {
            const CStoreSupplement* store = m_supplements[i];
            if (store != nullptr && store->Enabled == 1 &&
                (evType == 0 || evType == store->TankEvType)) {
                m_codeBuffer[static_cast<std::size_t>(count++)] =
                    orvo::PackStoreCode(store->StoreName.GetString());
            }
        }
        if (count == 0) {
            return 0;
        }
        SAFEARRAYBOUND bound{static_cast<ULONG>(count), 0};
        SAFEARRAY* array = SafeArrayCreate(VT_I4, 1, &bound);
        if (array == nullptr) {
            return -1;
        }
        std::memcpy(array->pvData, m_codeBuffer.get(), static_cast<std::size_t>(count) * sizeof(LONG));
        m_events->vt = kLongArray;
        m_events->parray = array;
    }
    if (count >= 1 && ppCodes != nullptr) {
        *ppCodes = static_cast<LONG*>(m_events->parray->pvData);
    }
    return count;
}

LONG* OrvoCI::GetEvPtr(LONG index, LONG* pDataWords)
{
    const orvo::EventRows rows = orvo::EventRowsOf(*m_events);
    if (index < 0 || index >= rows.rows) {
        return nullptr;
    }
    if (pDataWords != nullptr) {
        *pDataWords = rows.width - kHeaderWords;
    }
    return rows.data + static_cast<std::size_t>(index) * static_cast<std::size_t>(rows.width);
}

double OrvoCI::ParseEvHeaderInfo(LONG* record, LONG item)
{
    if (record == nullptr) {
        return 0.0;
    }
    const SQHead head = ReadHeader(record);
    switch (item) {
    case 1:
        // 32-bit wrap-around, as the engine counts, without signed overflow.
        return static_cast<LONG>(static_cast<std::uint32_t>(head.size) * 4u - 40u);
    case 2: return head.type & 0xFF0F;
    case 3: return head.code;
    case 4: return head.channel;
    case 5: return head.sortCode;
    case 6: return head.timeStamp;
    case 7: return head.value;
    case 8: return head.dataFormat;
    case 9: return head.sampleFreq;
    case 11: return head.byte35;
    case 12: return head.byte34;
    case 13: return head.byte33;
    default: return 0.0;
    }
}

double OrvoCI::ParseEvHeaderInfo(LONG index, LONG item)
{
    return ParseEvHeaderInfo(GetEvPtr(index, nullptr), item);
}

LONG OrvoCI::GetNPer(LONG dataFormat)
{
    return dataFormat == 2 ? 2 : dataFormat == 3 ? 4 : 1;
}

LONG OrvoCI::GetNpts(LONG* record)
{
    if (record == nullptr) {
        return 0;
    }
    const SQHead head = ReadHeader(record);
    if ((head.type & kArrayEventFlag) == 0) {
        return 1;
    }
    // A size below the header's carries no points; a huge one saturates.
    const std::int64_t words = std::int64_t{head.size} - kHeaderWords;
    const std::int64_t n = words < 0 ? 0 : words;
    std::int64_t points = n;
    switch (head.dataFormat) {
    case 2: points = 2 * n; break;
    case 3: points = 4 * n; break;
    case 4:
    case 5: points = n >> 1; break;
    default: break;
    }
    return points > kLongMax ? kLongMax : static_cast<LONG>(points);
}

int OrvoCI::GetCodeSpecs(LONG code, LONG* pType, LONG* pNpts, double* pTime, LONG* pDataFormat,
                         float* pSampleFreq)
{
    LONG* record = nullptr;
    if (GetEvents(&record, 1, code, 0, 0, 0.0, 0.0, 0) < 1) {
        return 0;
    }
    const SQHead head = ReadHeader(record);
    const bool isArray = (head.type & kArrayEventFlag) != 0;
    if (pType != nullptr) *pType = head.type;
    if (pNpts != nullptr) *pNpts = GetNpts(record);
    if (pTime != nullptr) *pTime = head.timeStamp;
    if (pDataFormat != nullptr) *pDataFormat = isArray ? head.dataFormat : 4;
    if (pSampleFreq != nullptr) *pSampleFreq = isArray ? head.sampleFreq : 0.0f;
    return 1;
}

int OrvoCI::GetCodeSpecsLazy(LONG code, LONG* pType, LONG* pNpts, double* pTime,
                             LONG* pDataFormat, float* pSampleFreq)
{
    if (m_supplements.GetSize() == 0) {
        return GetCodeSpecs(code, pType, pNpts, pTime, pDataFormat, pSampleFreq);
    }
    for (int i = 0; i < m_supplements.GetSize(); ++i) {
        const CStoreSupplement* store = m_supplements[i];
        if (store == nullptr || orvo::PackStoreCode(store->StoreName.GetString()) != code) {
            continue;
        }
        if (pType != nullptr) *pType = store->TankEvType;
        if (pNpts != nullptr) *pNpts = store->NumPoints;
        if (pTime != nullptr) *pTime = 0.0;
        if (pDataFormat != nullptr) *pDataFormat = store->DataFormat;
        if (pSampleFreq != nullptr) *pSampleFreq = store->SampleFreq;
        return 1;
    }
    return 0;
}

CString OrvoCI::CodeToString(LONG code)
{
    return orvo::StoreCodeText(code);
}

CString OrvoCI::EvTypeToString(LONG type)
{
    switch (type) {
    case kStrobeOnType: return "Strobe+";
    case kStrobeOffType: return "Strobe-";
    case kScalarType: return "Scalar";
    case kStreamType: return "Stream";
    case kSnipType: return "Snip";
    default: return "Unknown";
    }
}

CString OrvoCI::DFormToString(LONG dataFormat)
{
    static constexpr const char* kNames[] = {"Float", "Long", "Short", "Byte", "Double", "QWord"};
    return dataFormat >= 0 && dataFormat < 6 ? kNames[dataFormat] : "Error";
}

int OrvoCI::MakeVariant(VARIANT* pVariant, LONG vt, LONG count1, LONG count2)
{
    // A negative count would become an enormous unsigned one.
    if (pVariant == nullptr || vt == 0 || vt < 0 || vt > 0xFFFF || count1 < 0 || count2 < 0) {
        return 0;
    }
    VariantInit(pVariant);
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(count1 >= 1 ? count1 : count2), 0},
                                {static_cast<ULONG>(count2), 0}};
    const UINT dims = count1 > 0 && count2 > 0 ? 2 : 1;
    SAFEARRAY* array = SafeArrayCreate(static_cast<VARTYPE>(vt), dims, bounds);
    if (array == nullptr) {
        return 0;
    }
    pVariant->vt = static_cast<VARTYPE>(vt | VT_ARRAY);
    pVariant->parray = array;
    return 1;
}

int OrvoCI::MakeVariantWithDFrom(VARIANT* pVariant, LONG dataFormat, LONG count1, LONG count2)
{
    static constexpr struct {
        VARTYPE vt;
        LONG perWord;
    } kFormats[] = {{VT_R4, 1}, {VT_I4, 1}, {VT_I2, 2}, {VT_I1, 4}, {VT_R8, 1}};
    if (dataFormat < 0 || dataFormat > 4) {
        return 0;
    }
    const std::int64_t elements = std::int64_t{count1} * kFormats[dataFormat].perWord;
    if (elements > kLongMax || elements < std::numeric_limits<LONG>::min()) {
        return 0;
    }
    return MakeVariant(pVariant, kFormats[dataFormat].vt, static_cast<LONG>(elements), count2);
}

void OrvoCI::FillEvNqaIdx(VARIANT* pVariant)
{
    const orvo::EventRows rows = orvo::EventRowsOf(*m_events);
    if (pVariant == nullptr || rows.rows == 0) {
        return;
    }
    VariantInit(pVariant);
    SAFEARRAYBOUND bounds[2] = {{1, 0}, {static_cast<ULONG>(rows.rows), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
    if (array == nullptr) {
        return;
    }
    pVariant->vt = kLongArray;
    pVariant->parray = array;
    auto* out = static_cast<LONG*>(array->pvData);
    for (LONG i = 0; i < rows.rows; ++i) {
        out[i] = rows.data[static_cast<std::size_t>(i) * static_cast<std::size_t>(rows.width) + 9];
    }
}
