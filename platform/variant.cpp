#include <orvo/platform/variant.h>

#include <cassert>

#include <orvo/platform/bstr.h>
#include <orvo/platform/errors.h>
#include <orvo/platform/safearray.h>

namespace {

bool IsElementType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

bool IsSupported(VARTYPE vt)
{
    if ((vt & VT_ARRAY) != 0) {
        return IsElementType(static_cast<VARTYPE>(vt & ~VT_ARRAY));
    }
    return vt == VT_EMPTY || IsElementType(vt);
}

}  // namespace

void VariantInit(VARIANTARG* var)
{
    if (var != nullptr) {
        var->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANTARG* var)
{
    if (var == nullptr) {
        return E_INVALIDARG;
    }
    if (!IsSupported(var->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (var->vt == VT_BSTR) {
        SysFreeString(var->bstrVal);
    } else if ((var->vt & VT_ARRAY) != 0) {
        const HRESULT hr = SafeArrayDestroy(var->parray);
        if (FAILED(hr)) {
            return hr;
        }
    }
    var->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src)
{
    if (dest == nullptr || src == nullptr) {
        return E_INVALIDARG;
    }
    // Clearing dest first would free the very value to be copied.
    if (dest == src) {
        return S_OK;
    }
    if (!IsSupported(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *src;
    if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
        // By byte length, so that byte strings of odd length survive whole.
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src->bstrVal),
                                             SysStringByteLen(src->bstrVal));
        if (copy.bstrVal == nullptr) {
            return E_OUTOFMEMORY;
        }
    } else if ((src->vt & VT_ARRAY) != 0) {
        hr = SafeArrayCopy(src->parray, &copy.parray);
        if (FAILED(hr)) {
            return hr;
        }
    }
    *dest = copy;
    return S_OK;
}

Variant::~Variant() { reset(); }

Variant::Variant(Variant&& other) noexcept : m_value(other.release()) {}

Variant& Variant::operator=(Variant&& other) noexcept
{
    if (this != &other) {
        reset();
        m_value = other.release();
    }
    return *this;
}

void Variant::reset() noexcept
{
    [[maybe_unused]] const HRESULT hr = VariantClear(&m_value);
    assert(SUCCEEDED(hr) && "a Variant cannot clear its value: a locked array or an unsupported type");
}

VARIANT* Variant::out() noexcept
{
    reset();
    return &m_value;
}

VARIANT Variant::release() noexcept
{
    const VARIANT value = m_value;
    VariantInit(&m_value);
    return value;
}
