// SAFEARRAYs: multi-dimensional arrays that describe themselves.
//
// The bounds are stored in the reverse of the order given to
// SafeArrayCreate: rgsabound[0] describes the last dimension passed. The
// functions that take a dimension number count from 1 in the order passed,
// so dimension n is rgsabound[cDims - n].
//
// Elements are laid out with the first dimension passed varying fastest.
#pragma once

#include <utility>

#include <orvo/platform/types.h>
#include <orvo/platform/variant.h>

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

// Allocated with room for cDims bounds.
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;

// A zero-filled array of VT_I1, VT_I2, VT_I4, VT_R4, VT_R8 or VT_BSTR.
// Null for any other type, for no dimensions or bounds, for more dimensions
// than cDims can hold, for more than 0xFFFFFFFF bytes of data, for an upper
// bound past the range of LONG, and when memory runs out. With no elements
// pvData is null.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds);

// Null is S_OK. A locked array is refused with DISP_E_ARRAYISLOCKED and left
// whole; otherwise the array is freed, with the strings of a BSTR array.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);

// A deep copy, unlocked; the BSTRs are copied with their byte lengths. A
// null psa gives a null copy.
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** copy);

// Each lock must be undone; unlocking an unlocked array is E_UNEXPECTED.
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
// Lock and hand out pvData; Unaccess unlocks.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);

// 0 for a null array.
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);

// nDim counts from 1 in the order the bounds were passed; outside 1..cDims
// the result is DISP_E_BADINDEX. An empty dimension's upper bound is one
// below its lower bound.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* lowerBound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* upperBound);

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);

// Owns one SAFEARRAY (or none), destroyed when the object ends or takes
// another. The array must be unlocked by then; a locked one is a fault of the
// caller, handled as Variant handles a value it cannot clear: debug builds
// stop, and otherwise the array is kept, not freed under its reader.
//
// Threads: const calls may share an object; reset, release and assignment
// need it to itself.
class SafeArrayPtr {
public:
    SafeArrayPtr() noexcept = default;
    // Takes array over.
    explicit SafeArrayPtr(SAFEARRAY* array) noexcept : m_array(array) {}
    ~SafeArrayPtr() { reset(); }

    SafeArrayPtr(SafeArrayPtr&& other) noexcept : m_array(other.release()) {}
    SafeArrayPtr& operator=(SafeArrayPtr&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    SafeArrayPtr(const SafeArrayPtr&) = delete;
    SafeArrayPtr& operator=(const SafeArrayPtr&) = delete;

    SAFEARRAY* get() const noexcept { return m_array; }
    SAFEARRAY* operator->() const noexcept { return m_array; }
    explicit operator bool() const noexcept { return m_array != nullptr; }

    // Hands the array over to the caller, who must destroy it.
    [[nodiscard]] SAFEARRAY* release() noexcept { return std::exchange(m_array, nullptr); }
    // Destroys what is held and takes array over.
    void reset(SAFEARRAY* array = nullptr) noexcept;

private:
    SAFEARRAY* m_array = nullptr;
};

// An array's data for the length of a scope: accessed when made, unaccessed
// when it ends, so that the array is unlocked again before its owner ends
// however the scope is left. Neither copied nor moved: the lock belongs to
// the scope.
//
// Threads: an array's lock count is not atomic, so its data is accessed from
// one thread at a time.
class SafeArrayData {
public:
    explicit SafeArrayData(SAFEARRAY* array) noexcept;
    ~SafeArrayData();
    SafeArrayData(const SafeArrayData&) = delete;
    SafeArrayData& operator=(const SafeArrayData&) = delete;

    // Null when the array could not be accessed, and for an array without
    // elements.
    void* get() const noexcept { return m_data; }

private:
    SAFEARRAY* m_array = nullptr;  // null unless accessed
    void* m_data = nullptr;
};
