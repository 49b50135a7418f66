#include "client/events/EventArrays.h"

#include <limits>

#include <orvo/platform/safearray.h>
#include <orvo/protocol/SQHead.h>

namespace orvo {
namespace {

constexpr ULONG kLongMax = static_cast<ULONG>(std::numeric_limits<LONG>::max());

// The array of a VARIANT holding elements of vt, with a data block.
const SAFEARRAY* ArrayOf(const VARIANT& value, VARTYPE vt, ULONG elementSize)
{
    const SAFEARRAY* array = value.vt == (VT_ARRAY | vt) ? value.parray : nullptr;
    if (array == nullptr || array->cbElements != elementSize || array->pvData == nullptr) {
        return nullptr;
    }
    return array;
}

// True when rows of width elements of elementSize bytes fit in memory.
bool Addressable(ULONG rows, ULONG width, std::size_t elementSize)
{
    return width != 0 && rows <= std::numeric_limits<std::size_t>::max() / elementSize / width;
}

}  // namespace

EventRows EventRowsOf(const VARIANT& events)
{
    // Rows that a waveform cache wrote back are declared floats, but they are
    // whole records, headers included, like the engine's.
    const SAFEARRAY* array = ArrayOf(events, events.vt == (VT_ARRAY | VT_R4) ? VT_R4 : VT_I4, sizeof(LONG));
    if (array == nullptr || array->cDims != 2) {
        return {};
    }
    const ULONG width = array->rgsabound[0].cElements;
    const ULONG rows = array->rgsabound[1].cElements;
    if (width < static_cast<ULONG>(kHeaderWords) || width > kLongMax || rows == 0 ||
        rows > kLongMax || !Addressable(rows, width, sizeof(LONG))) {
        return {};
    }
    return {static_cast<LONG*>(array->pvData), static_cast<LONG>(rows), static_cast<LONG>(width)};
}

StoreCodes StoreCodesOf(const VARIANT& codes)
{
    const SAFEARRAY* array = ArrayOf(codes, VT_I4, sizeof(LONG));
    if (array == nullptr || array->cDims != 1 || array->rgsabound[0].cElements > kLongMax) {
        return {};
    }
    return {static_cast<LONG*>(array->pvData), static_cast<LONG>(array->rgsabound[0].cElements)};
}

DoubleTable DoubleTableOf(const VARIANT& table, std::size_t minWidth)
{
    const SAFEARRAY* array = ArrayOf(table, VT_R8, sizeof(double));
    if (array == nullptr || array->cDims != 2) {
        return {};
    }
    const ULONG rows = array->rgsabound[0].cElements;
    const ULONG width = array->rgsabound[1].cElements;
    if (width < minWidth || rows == 0 || rows > kLongMax || !Addressable(rows, width, sizeof(double))) {
        return {};
    }
    return {static_cast<double*>(array->pvData), static_cast<LONG>(rows), width};
}

Doubles DoublesOf(const VARIANT& values)
{
    const SAFEARRAY* array = ArrayOf(values, VT_R8, sizeof(double));
    if (array == nullptr || array->cDims == 0) {
        return {};
    }
    std::size_t count = 1;
    for (USHORT i = 0; i < array->cDims; ++i) {
        const std::size_t elements = array->rgsabound[i].cElements;
        if (elements != 0 && count > std::numeric_limits<std::size_t>::max() / elements) {
            return {};
        }
        count *= elements;
    }
    return {static_cast<double*>(array->pvData), count};
}

}  // namespace orvo
