// Sort names, sort codes, conditions, channel maps and eigenvectors kept by
// the engine. These calls need the engine but no client: they pass the
// current client id whatever it is, 0 included. The engine's sort operations
// answer 0 for success.
//
// Every count, length and size here comes from a caller or the engine and
// is checked before it sizes a buffer or a read.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include <orvo/OrvoCI.h>
#include <orvo/platform/bstr.h>
#include <orvo/platform/com_error.h>
#include <orvo/platform/safearray.h>
#include "protocol/StoreCode.h"

namespace {

constexpr LONG kKindSortCodes = 0;
constexpr LONG kKindEigenVector = 1;
constexpr char kMemoMarker[] = "NOTSORTER";
constexpr std::size_t kMemoMarkerLength = sizeof kMemoMarker - 1;

constexpr std::size_t kRowBytes = sizeof(SQHead);
constexpr std::size_t kIndexOffset = 36;
constexpr std::size_t kSortCodeOffset = offsetof(SQHead, sortCode);

enum class Empty { Null, String };

// A byte string of length bytes. Refused (false) for a negative length, for
// missing bytes, and when it cannot be made.
bool MakeByteString(const BYTE* data, std::int64_t length, Empty empty, BSTR* text)
{
    *text = nullptr;
    if (length < 0 || length > std::numeric_limits<UINT>::max() ||
        (data == nullptr && length > 0)) {
        return false;
    }
    if (length == 0 && empty == Empty::Null) {
        return true;
    }
    *text = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(data), static_cast<UINT>(length));
    return *text != nullptr;
}

// (index word, sort code) of each event row into a VT_I4 array of 2*count.
bool MakePairArray(const LONG* events, LONG count, VARIANT* pairs)
{
    if (count < 0 || count > std::numeric_limits<LONG>::max() / 2 ||
        (events == nullptr && count > 0)) {
        return false;
    }
    SAFEARRAYBOUND bound{static_cast<ULONG>(count) * 2u, 0};
    SafeArrayPtr array(SafeArrayCreate(VT_I4, 1, &bound));
    if (!array) {
        return false;
    }
    if (count > 0) {
        const SafeArrayData data(array.get());
        if (data.get() == nullptr) {
            return false;
        }
        auto* out = static_cast<LONG*>(data.get());
        const auto* rows = reinterpret_cast<const BYTE*>(events);
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            const BYTE* row = rows + i * kRowBytes;
            LONG index = 0;
            std::int16_t sortCode = 0;
            std::memcpy(&index, row + kIndexOffset, sizeof index);
            std::memcpy(&sortCode, row + kSortCodeOffset, sizeof sortCode);
            out[2 * i] = index;
            out[2 * i + 1] = sortCode;
        }
    }
    pairs->vt = VT_ARRAY | VT_I4;
    pairs->parray = array.release();
    return true;
}

}  // namespace

void OrvoCI::SetUseSortName(CString sortName)
{
    if (m_engine) {
        m_engine->SetUseSortName(m_clientId, BStr(sortName).get(), 0);
    }
}

LONG OrvoCI::GetSortNameList(CString code, CStringArray* names)
{
    if (!m_engine) {
        return 0;
    }
    Variant list;
    m_engine->GetSortNameList(m_clientId, orvo::PackStoreCode(code), 0, 0, list.out());
    SAFEARRAY* array = list->parray;
    // Anything but a readable array of strings counts as no array at all.
    if (list->vt != (VT_ARRAY | VT_BSTR) || array == nullptr || array->cDims == 0 ||
        (array->fFeatures & FADF_BSTR) == 0 || array->cbElements != sizeof(BSTR)) {
        return -1;
    }
    // Elements of the first dimension come first, so they are all within the
    // data whenever no dimension is empty.
    const ULONG count = array->rgsabound[array->cDims - 1].cElements;
    for (USHORT d = 0; d < array->cDims; ++d) {
        if (count > 0 && array->rgsabound[d].cElements == 0) {
            return -1;
        }
    }
    if (count > static_cast<ULONG>(std::numeric_limits<LONG>::max())) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    const SafeArrayData data(array);
    if (data.get() == nullptr) {
        return -1;
    }
    const auto* strings = static_cast<const BSTR*>(data.get());
    if (names != nullptr) {
        for (ULONG i = 0; i < count; ++i) {
            names->Add(CString(BstrToAnsi(strings[i])));
        }
    }
    return static_cast<LONG>(count);
}

bool OrvoCI::GetEigenVector(LONG code, LONG channel, LONG& size, double** matrix)
{
    // Whatever fails, the caller is left with nothing to release.
    size = 0;
    if (matrix == nullptr) {
        return false;
    }
    *matrix = nullptr;
    if (!m_engine) {
        return false;
    }
    BStr text;
    if (m_engine->GetSortCondition(m_clientId, code, channel, BStr("").get(), kKindEigenVector,
                                   text.out()) != 0) {
        return false;
    }
    const UINT bytes = SysStringByteLen(text.get());
    LONG n = 0;
    if (bytes < sizeof n) {
        return false;
    }
    const auto* raw = reinterpret_cast<const BYTE*>(text.get());
    std::memcpy(&n, raw, sizeof n);
    if (n <= 0) {
        return false;
    }
    // n*n fits 64 bits for any LONG; the bytes bound it before it sizes
    // anything.
    const std::uint64_t values = static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n);
    if (values > (bytes - sizeof n) / sizeof(double)) {
        return false;
    }
    auto* result = new double[static_cast<std::size_t>(values)];
    std::memcpy(result, raw + sizeof n, static_cast<std::size_t>(values) * sizeof(double));
    size = n;
    *matrix = result;
    return true;
}

bool OrvoCI::GetSortCondition(CString code, LONG channel, CString sortName, LONG kind,
                              BSTR* condition)
{
    if (!m_engine || condition == nullptr) {
        return false;
    }
    return m_engine->GetSortCondition(m_clientId, orvo::PackStoreCode(code), channel,
                                      BStr(sortName).get(), kind, condition) == 0;
}

bool OrvoCI::DeleteSortCode(CString code, LONG channel, CString sortName)
{
    if (!m_engine) {
        return false;
    }
    return m_engine->DeleteSortCode(m_clientId, orvo::PackStoreCode(code), channel,
                                    BStr(sortName).get(), 0) == 0;
}

bool OrvoCI::SaveEigenVector(LONG code, LONG channel, LONG size, const double* matrix)
{
    if (!m_engine || size < 0) {
        return false;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) *
                                static_cast<std::uint64_t>(size) * sizeof(double);
    if (bytes > std::numeric_limits<UINT>::max()) {
        return false;
    }
    BStr values;
    if (!MakeByteString(reinterpret_cast<const BYTE*>(matrix), static_cast<std::int64_t>(bytes),
                        Empty::String, values.out())) {
        return false;
    }
    Variant noPairs;
    return m_engine->SaveSortCode(m_clientId, code, channel, nullptr, noPairs.get(), values.get(),
                                  kKindEigenVector) == 0;
}

bool OrvoCI::SaveSortCode(LONG code, LONG channel, CString sortName, const LONG* events,
                          LONG count, const BYTE* memo, LONG memoLength)
{
    if (!m_engine) {
        return false;
    }
    BStr memoText;
    if (!MakeByteString(memo, memoLength, Empty::String, memoText.out())) {
        return false;
    }
    Variant pairs;
    if (!MakePairArray(events, count, pairs.out())) {
        return false;
    }
    return m_engine->SaveSortCode(m_clientId, code, channel, BStr(sortName).get(), pairs.get(),
                                  memoText.get(), kKindSortCodes) == 0;
}

bool OrvoCI::GetSortChanMap(CString code, CString sortName, LONG option, BSTR* map)
{
    if (!m_engine || map == nullptr) {
        return false;
    }
    return m_engine->GetSortChanMap(m_clientId, orvo::PackStoreCode(code), BStr(sortName).get(),
                                    option, map) == 0;
}

bool OrvoCI::SetRecordOption(double value, LONG option, const BYTE* data, LONG length)
{
    if (!m_engine) {
        return false;
    }
    BStr bytes;
    if (!MakeByteString(data, length, Empty::Null, bytes.out())) {
        return false;
    }
    return m_engine->SetRecordOption(m_clientId, value, option, bytes.get()) == 0;
}

void OrvoCI::GetSortMapInVariant(CString sortName, CString code, VARIANT* result)
{
    if (result == nullptr || !m_engine) {
        return;
    }
    BStr map;
    if (!GetSortChanMap(code, sortName, 0, map.out())) {
        return;
    }
    const UINT length = SysStringByteLen(map.get());
    // The caller's VARIANT is taken as fresh storage, as an out argument is.
    VariantInit(result);
    SAFEARRAYBOUND bounds[2] = {{1, 0}, {length, 0}};
    SafeArrayPtr array(SafeArrayCreate(VT_I1, length > 0 ? 2 : 1, bounds));
    if (!array) {
        return;
    }
    if (length > 0) {
        const SafeArrayData data(array.get());
        if (data.get() == nullptr) {
            return;
        }
        std::memcpy(data.get(), map.get(), length);
    }
    result->vt = VT_ARRAY | VT_I1;
    result->parray = array.release();
}

CString OrvoCI::GetSortMemo(const char* sortName, const char* code, LONG channel)
{
    BStr condition;
    if (!GetSortCondition(code, channel, sortName, kKindSortCodes, condition.out()) ||
        SysStringByteLen(condition.get()) < 1) {
        return CString();
    }
    // Only memos written with the marker are ours to hand out.
    const std::string text = BstrToAnsi(condition.get());
    if (text.size() < kMemoMarkerLength || text.compare(0, kMemoMarkerLength, kMemoMarker) != 0) {
        return CString();
    }
    return CString(text.substr(kMemoMarkerLength));
}

bool OrvoCI::SaveSortCodeInVariant(CString sortName, CString code, LONG channel, CString memo,
                                   const VARIANT& data)
{
    if (!m_engine) {
        return false;
    }
    const BStr memoText(std::string_view(std::string(kMemoMarker) + std::string(memo)));
    // A shallow copy: the engine only reads it and the caller keeps ownership,
    // whatever the type.
    VARIANT pairs = data;
    return m_engine->SaveSortCode(m_clientId, orvo::PackStoreCode(code), channel,
                                  BStr(sortName).get(), &pairs, memoText.get(),
                                  kKindSortCodes) == 0;
}
