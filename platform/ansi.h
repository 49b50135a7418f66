// Conversion between 8-bit text and UTF-16. The process ANSI code page is
// UTF-8, so CP_ACP and CP_UTF8 mean the same thing here; every other code
// page is refused with ERROR_INVALID_PARAMETER.
//
// Malformed input is never refused by default; it is replaced:
//  - in UTF-8, each maximal invalid subpart becomes one U+FFFD: a stray
//    continuation byte, a byte that can never begin a sequence (C0, C1,
//    F5..FF), a lead byte with too few continuation bytes (cut short by a
//    bad byte or by the end of the input), and the first bytes of an
//    overlong form, of an encoded surrogate or of a value past U+10FFFF
//    (each of those bytes then becomes its own U+FFFD);
//  - in UTF-16, an unpaired surrogate becomes U+FFFD (EF BF BD).
// MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS make such input fail with
// ERROR_NO_UNICODE_TRANSLATION instead. Other flags are accepted and ignored.
#pragma once

#include <string>
#include <string_view>

#include <orvo/platform/types.h>

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// srcBytes -1 takes src as NUL-terminated, and the NUL is converted and
// counted too. dstChars 0 asks for the number of characters needed (dst is
// not used). Returns the number of characters written, or 0 with the last
// error set: ERROR_INVALID_PARAMETER (unknown code page, null src, srcBytes 0
// or below -1, negative dstChars, null dst with room given, dst == src),
// ERROR_INSUFFICIENT_BUFFER (nothing past dstChars is ever written) or
// ERROR_NO_UNICODE_TRANSLATION.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcBytes, LPWSTR dst,
                        int dstChars);

// The same contract in the other direction, counting bytes. Every character
// has a UTF-8 form, so defaultChar is never used. With CP_UTF8, defaultChar
// and usedDefault must be null; with CP_ACP they are accepted and
// *usedDefault tells whether an unpaired surrogate was replaced.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcChars, LPSTR dst,
                        int dstBytes, LPCSTR defaultChar, BOOL* usedDefault);

// Whole-string forms with the replacements above. They take text of any
// length and never fail short of running out of memory.
std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);
