// VARIANTs: a value tagged with its VARTYPE, owning the BSTR or SAFEARRAY it
// may hold. Only the types below are supported; VariantClear and VariantCopy
// refuse every other tag with DISP_E_BADVARTYPE.
#pragma once

#include <orvo/platform/types.h>

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R4 = 4;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_I1 = 16;
// Combined with an element type: a SAFEARRAY of it, in parray.
constexpr VARTYPE VT_ARRAY = 0x2000;

struct SAFEARRAY;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        SHORT iVal;
        LONG lVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        BSTR bstrVal;
        SAFEARRAY* parray;
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// Marks the variant empty without freeing anything: for fresh storage.
void VariantInit(VARIANTARG* var);

// Frees what the variant owns and leaves it VT_EMPTY. An array that is locked
// is not freed: the result is DISP_E_ARRAYISLOCKED and the variant keeps it.
HRESULT VariantClear(VARIANTARG* var);

// Clears dest, then makes it a deep copy of src (new BSTR, new array with
// new strings). On failure dest is left VT_EMPTY; when src has a bad type or
// dest cannot be cleared, dest is left as it was.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);

// Owns one VARIANT: made empty, cleared when the object ends or takes a new
// value. What it holds must be clearable by then: of a supported type, and
// no array still locked (SafeArrayData unlocks on its way out). A value that
// cannot be cleared is a fault of the caller; debug builds stop there, and
// otherwise it is kept, for the leak checker to report, rather than freed
// under whoever still reads it.
//
// Threads: const calls may share an object; any other call needs it to
// itself.
class Variant {
public:
    Variant() noexcept { VariantInit(&m_value); }
    ~Variant();

    Variant(Variant&& other) noexcept;
    Variant& operator=(Variant&& other) noexcept;
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    // The value, still owned here: to read, fill or pass as an in argument.
    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }
    VARIANT& operator*() noexcept { return m_value; }
    const VARIANT& operator*() const noexcept { return m_value; }
    VARIANT* operator->() noexcept { return &m_value; }
    const VARIANT* operator->() const noexcept { return &m_value; }

    // Clears what is held.
    void reset() noexcept;
    // For an out argument: clears what is held and returns where the callee
    // stores its value, which this object then owns.
    VARIANT* out() noexcept;
    // Hands the value over to the caller, who must clear it, and stays empty.
    [[nodiscard]] VARIANT release() noexcept;

private:
    VARIANT m_value;
};
