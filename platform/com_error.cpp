#include <orvo/platform/com_error.h>

#include <climits>
#include <cstdio>
#include <utility>

#include <orvo/platform/bstr.h>
#include <orvo/platform/errors.h>
#include "platform/ansi.h"

ComError::ComError(HRESULT hr) noexcept : m_hr(hr)
{
    std::snprintf(m_text, sizeof m_text, "COM error 0x%08X", static_cast<unsigned>(hr));
}

namespace {

[[noreturn]] void ThrowLastError()
{
    const DWORD error = GetLastError();
    // A failure must never turn into a success code.
    throw ComError(error == 0 ? E_FAIL : HRESULT_FROM_WIN32(static_cast<LONG>(error)));
}

BSTR ToBstr(std::string_view text)
{
    if (text.empty()) {
        BSTR empty = SysAllocStringLen(nullptr, 0);
        if (empty == nullptr) {
            throw ComError(E_OUTOFMEMORY);
        }
        return empty;
    }
    // The conversion counts in int. Checked before anything is read, so the
    // length is never cut down to a smaller one.
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw ComError(E_OUTOFMEMORY);
    }
    const int bytes = static_cast<int>(text.size());
    const int chars = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
    if (chars == 0) {
        ThrowLastError();
    }
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
    if (result == nullptr) {
        throw ComError(E_OUTOFMEMORY);
    }
    if (MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, result, chars) != chars) {
        SysFreeString(result);
        ThrowLastError();
    }
    return result;
}

}  // namespace

BStr::BStr(const char* text) : m_text(text == nullptr ? nullptr : ToBstr(text)) {}

BStr::BStr(std::string_view text) : m_text(ToBstr(text)) {}

BStr::~BStr() { SysFreeString(m_text); }

BStr::BStr(BStr&& other) noexcept : m_text(other.release()) {}

BStr& BStr::operator=(BStr&& other) noexcept
{
    if (this != &other) {
        SysFreeString(m_text);
        m_text = other.release();
    }
    return *this;
}

BSTR BStr::release() noexcept { return std::exchange(m_text, nullptr); }

BSTR* BStr::out() noexcept
{
    SysFreeString(m_text);
    m_text = nullptr;
    return &m_text;
}

std::string BstrToAnsi(BSTR text)
{
    return WideToAnsi(std::u16string_view(text, SysStringLen(text)));
}
