#include <orvo/platform/safearray.h>

#include <limits>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <orvo/platform/bstr.h>
#include <orvo/platform/errors.h>
#include "platform/arrays.h"
#include "platform/large_blocks.h"

namespace {

// The descriptor is preceded by a header holding the element type, in the
// four bytes just before it. Sixteen bytes keep the descriptor as aligned as
// the block the allocator returns.
constexpr std::size_t kHeader = 16;
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFu;

ULONG ElementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
        return sizeof(CHAR);
    case VT_I2:
        return sizeof(SHORT);
    case VT_I4:
        return sizeof(LONG);
    case VT_R4:
        return sizeof(FLOAT);
    case VT_R8:
        return sizeof(DOUBLE);
    case VT_BSTR:
        return sizeof(BSTR);
    default:
        return 0;
    }
}

// Bounds beyond the first are past the declared one-element array, so they
// are reached through a pointer to it.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) { return psa->rgsabound; }

unsigned char* BlockOf(SAFEARRAY* psa) { return reinterpret_cast<unsigned char*>(psa) - kHeader; }

VARTYPE StoredVartype(SAFEARRAY* psa)
{
    DWORD vt = 0;
    std::memcpy(&vt, BlockOf(psa) + kHeader - sizeof vt, sizeof vt);
    return static_cast<VARTYPE>(vt);
}

SAFEARRAY* AllocateDescriptor(USHORT cDims, VARTYPE vt)
{
    const std::size_t size =
        kHeader + offsetof(SAFEARRAY, rgsabound) + std::size_t{cDims} * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<unsigned char*>(std::calloc(1, size));
    if (block == nullptr) {
        return nullptr;
    }
    const DWORD stored = vt;
    std::memcpy(block + kHeader - sizeof stored, &stored, sizeof stored);
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHeader);
    psa->cDims = cDims;
    return psa;
}

// The number of elements of the bounds, false when the data would exceed
// what a ULONG byte count can describe or an upper bound would not be a
// LONG. Every product is checked before it is formed, so nothing wraps.
bool CountElements(const SAFEARRAYBOUND* bounds, UINT cDims, ULONG cbElements,
                   std::size_t* count)
{
    if (cDims == 0 || cbElements == 0) {
        return false;
    }
    bool empty = false;
    for (UINT i = 0; i < cDims; ++i) {
        const std::int64_t upper =
            std::int64_t{bounds[i].lLbound} + std::int64_t{bounds[i].cElements} - 1;
        if (upper > std::numeric_limits<LONG>::max() || upper < std::numeric_limits<LONG>::min()) {
            return false;
        }
        empty = empty || bounds[i].cElements == 0;
    }
    // Any empty dimension leaves nothing to allocate, however large the rest.
    if (empty) {
        *count = 0;
        return true;
    }
    std::uint64_t elements = 1;
    for (UINT i = 0; i < cDims; ++i) {
        if (elements > kMaxDataBytes / bounds[i].cElements) {
            return false;
        }
        elements *= bounds[i].cElements;
    }
    if (elements > kMaxDataBytes / cbElements) {
        return false;
    }
    *count = static_cast<std::size_t>(elements);
    return true;
}

std::size_t ElementCount(SAFEARRAY* psa)
{
    std::size_t count = 0;
    return CountElements(Bounds(psa), psa->cDims, psa->cbElements, &count) ? count : 0;
}

void FreeArray(SAFEARRAY* psa)
{
    const std::size_t count = ElementCount(psa);
    if (psa->pvData != nullptr && (psa->fFeatures & FADF_BSTR) != 0) {
        auto* strings = static_cast<BSTR*>(psa->pvData);
        for (std::size_t i = 0; i < count; ++i) {
            SysFreeString(strings[i]);
        }
    }
    orvo::GiveBackBlock(psa->pvData, count * psa->cbElements);
    std::free(BlockOf(psa));
}

HRESULT FindBound(SAFEARRAY* psa, UINT nDim, const void* out, SAFEARRAYBOUND* bound)
{
    if (psa == nullptr || out == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    *bound = Bounds(psa)[psa->cDims - nDim];
    return S_OK;
}

SAFEARRAY* CreateArray(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds, bool zeroed)
{
    const ULONG cbElements = ElementSize(vt);
    std::size_t count = 0;
    if (bounds == nullptr || cDims > std::numeric_limits<USHORT>::max() ||
        !CountElements(bounds, cDims, cbElements, &count)) {
        return nullptr;
    }
    SAFEARRAY* psa = AllocateDescriptor(static_cast<USHORT>(cDims), vt);
    if (psa == nullptr) {
        return nullptr;
    }
    psa->fFeatures = vt == VT_BSTR ? FADF_HAVEVARTYPE | FADF_BSTR : FADF_HAVEVARTYPE;
    psa->cbElements = cbElements;
    for (UINT i = 0; i < cDims; ++i) {
        Bounds(psa)[i] = bounds[cDims - 1 - i];
    }
    if (count != 0) {
        psa->pvData = orvo::TakeBlock(count * cbElements, zeroed || vt == VT_BSTR);
        if (psa->pvData == nullptr) {
            FreeArray(psa);
            return nullptr;
        }
    }
    return psa;
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds)
{
    return CreateArray(vt, cDims, bounds, true);
}

SAFEARRAY* orvo::SafeArrayCreateUnfilled(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds)
{
    return CreateArray(vt, cDims, bounds, false);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (psa == nullptr) {
        return S_OK;
    }
    if (psa->cLocks != 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    FreeArray(psa);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** copy)
{
    if (copy == nullptr) {
        return E_INVALIDARG;
    }
    *copy = nullptr;
    if (psa == nullptr) {
        return S_OK;
    }
    std::size_t count = 0;
    if (!CountElements(Bounds(psa), psa->cDims, psa->cbElements, &count)) {
        return E_INVALIDARG;
    }
    SAFEARRAY* result = AllocateDescriptor(psa->cDims, StoredVartype(psa));
    if (result == nullptr) {
        return E_OUTOFMEMORY;
    }
    result->fFeatures = psa->fFeatures;
    result->cbElements = psa->cbElements;
    std::memcpy(Bounds(result), Bounds(psa), std::size_t{psa->cDims} * sizeof(SAFEARRAYBOUND));
    if (count != 0) {
        result->pvData = orvo::TakeBlock(count * psa->cbElements, true);
        if (result->pvData == nullptr) {
            FreeArray(result);
            return E_OUTOFMEMORY;
        }
        if ((psa->fFeatures & FADF_BSTR) != 0) {
            const auto* from = static_cast<const BSTR*>(psa->pvData);
            auto* to = static_cast<BSTR*>(result->pvData);
            for (std::size_t i = 0; i < count; ++i) {
                if (from[i] == nullptr) {
                    continue;
                }
                to[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from[i]),
                                              SysStringByteLen(from[i]));
                if (to[i] == nullptr) {
                    FreeArray(result);
                    return E_OUTOFMEMORY;
                }
            }
        } else {
            std::memcpy(result->pvData, psa->pvData, count * psa->cbElements);
        }
    }
    *copy = result;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == std::numeric_limits<ULONG>::max()) {
        return E_UNEXPECTED;
    }
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data)
{
    if (psa == nullptr || data == nullptr) {
        return E_INVALIDARG;
    }
    const HRESULT hr = SafeArrayLock(psa);
    if (SUCCEEDED(hr)) {
        *data = psa->pvData;
    }
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* lowerBound)
{
    SAFEARRAYBOUND bound{};
    const HRESULT hr = FindBound(psa, nDim, lowerBound, &bound);
    if (SUCCEEDED(hr)) {
        *lowerBound = bound.lLbound;
    }
    return hr;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* upperBound)
{
    SAFEARRAYBOUND bound{};
    const HRESULT hr = FindBound(psa, nDim, upperBound, &bound);
    if (SUCCEEDED(hr)) {
        // SafeArrayCreate made sure that this is a LONG.
        *upperBound = static_cast<LONG>(std::int64_t{bound.lLbound} + bound.cElements - 1);
    }
    return hr;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt)
{
    if (psa == nullptr || vt == nullptr || (psa->fFeatures & FADF_HAVEVARTYPE) == 0) {
        return E_INVALIDARG;
    }
    *vt = StoredVartype(psa);
    return S_OK;
}

void SafeArrayPtr::reset(SAFEARRAY* array) noexcept
{
    [[maybe_unused]] const HRESULT hr = SafeArrayDestroy(std::exchange(m_array, array));
    assert(SUCCEEDED(hr) && "a SafeArrayPtr cannot destroy a locked array");
}

SafeArrayData::SafeArrayData(SAFEARRAY* array) noexcept
{
    if (SUCCEEDED(SafeArrayAccessData(array, &m_data))) {
        m_array = array;
    }
}

SafeArrayData::~SafeArrayData()
{
    if (m_array != nullptr) {
        SafeArrayUnaccessData(m_array);
    }
}
