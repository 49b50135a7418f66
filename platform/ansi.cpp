#include "platform/ansi.h"

#include <climits>
#include <cstring>

#include <orvo/platform/errors.h>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

void EmitUtf16(char32_t cp, auto& emit)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        emit(static_cast<char16_t>(0xD800 + (cp >> 10)));
        emit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        emit(static_cast<char16_t>(cp));
    }
}

// Calls emit for each UTF-16 unit; false when anything had to be replaced.
// The allowed range of the first continuation byte depends on the lead byte:
// narrowing it is what keeps out overlong forms, surrogates and values past
// U+10FFFF, and a byte outside it ends the invalid subpart without being
// consumed, so it gets looked at again as a possible lead byte.
template <class Emit>
bool DecodeUtf8(const unsigned char* s, std::size_t n, Emit emit)
{
    bool clean = true;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i++];
        if (lead < 0x80) {
            emit(static_cast<char16_t>(lead));
            continue;
        }
        int need = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
            cp = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            cp = lead & 0x0Fu;
            if (lead == 0xE0) {
                low = 0xA0;
            } else if (lead == 0xED) {
                high = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            cp = lead & 0x07u;
            if (lead == 0xF0) {
                low = 0x90;
            } else if (lead == 0xF4) {
                high = 0x8F;
            }
        }
        int got = 0;
        while (got < need && i < n && s[i] >= low && s[i] <= high) {
            cp = (cp << 6) | (s[i] & 0x3Fu);
            low = 0x80;
            high = 0xBF;
            ++i;
            ++got;
        }
        if (need == 0 || got < need) {
            emit(static_cast<char16_t>(kReplacement));
            clean = false;
        } else {
            EmitUtf16(cp, emit);
        }
    }
    return clean;
}

// Calls emit for each UTF-8 byte; false when an unpaired surrogate was
// replaced.
template <class Emit>
bool EncodeUtf8(const char16_t* s, std::size_t n, Emit emit)
{
    bool clean = true;
    for (std::size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
                ++i;
            } else {
                cp = kReplacement;
                clean = false;
            }
        }
        if (cp < 0x80) {
            emit(static_cast<char>(cp));
        } else if (cp < 0x800) {
            emit(static_cast<char>(0xC0 | (cp >> 6)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            emit(static_cast<char>(0xE0 | (cp >> 12)));
            emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            emit(static_cast<char>(0xF0 | (cp >> 18)));
            emit(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            emit(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return clean;
}

// The shared tail of both API functions once the arguments are known good.
// The output is measured before anything is written, so a buffer that is
// too small is left alone rather than filled with a cut-off prefix.
template <class In, class Out, class Convert>
int ConvertInto(const In* src, std::size_t srcLen, Out* dst, int dstLen, bool strict,
                bool* replaced, Convert convert)
{
    std::size_t needed = 0;
    const bool clean = convert(src, srcLen, [&needed](Out) { ++needed; });
    if (!clean && strict) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    // The count is returned as an int; no int-sized buffer could take more.
    if (needed > static_cast<std::size_t>(INT_MAX) ||
        (dstLen != 0 && needed > static_cast<std::size_t>(dstLen))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (dstLen != 0) {
        std::size_t at = 0;
        convert(src, srcLen, [dst, &at](Out unit) { dst[at++] = unit; });
    }
    *replaced = !clean;
    return static_cast<int>(needed);
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcBytes, LPWSTR dst,
                        int dstChars)
{
    if (!IsUtf8CodePage(codePage) || src == nullptr || srcBytes == 0 || srcBytes < -1 ||
        dstChars < 0 || (dstChars > 0 && dst == nullptr) ||
        static_cast<const void*>(src) == static_cast<const void*>(dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t length =
        srcBytes == -1 ? std::strlen(src) + 1 : static_cast<std::size_t>(srcBytes);
    bool replaced = false;
    return ConvertInto(reinterpret_cast<const unsigned char*>(src), length, dst, dstChars,
                       (flags & MB_ERR_INVALID_CHARS) != 0, &replaced,
                       [](auto... args) { return DecodeUtf8(args...); });
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcChars, LPSTR dst,
                        int dstBytes, LPCSTR defaultChar, BOOL* usedDefault)
{
    if (!IsUtf8CodePage(codePage) || src == nullptr || srcChars == 0 || srcChars < -1 ||
        dstBytes < 0 || (dstBytes > 0 && dst == nullptr) ||
        static_cast<const void*>(src) == static_cast<const void*>(dst) ||
        (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefault != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t length = srcChars == -1 ? std::char_traits<char16_t>::length(src) + 1
                                              : static_cast<std::size_t>(srcChars);
    bool replaced = false;
    const int result = ConvertInto(src, length, dst, dstBytes,
                                   (flags & WC_ERR_INVALID_CHARS) != 0, &replaced,
                                   [](auto... args) { return EncodeUtf8(args...); });
    if (result != 0 && usedDefault != nullptr) {
        *usedDefault = replaced ? TRUE : FALSE;
    }
    return result;
}

std::u16string AnsiToWide(std::string_view text)
{
    std::u16string wide;
    wide.reserve(text.size());
    DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
               [&wide](char16_t unit) { wide.push_back(unit); });
    return wide;
}

std::string WideToAnsi(std::u16string_view text)
{
    std::string narrow;
    narrow.reserve(text.size());
    EncodeUtf8(text.data(), text.size(), [&narrow](char unit) { narrow.push_back(unit); });
    return narrow;
}
