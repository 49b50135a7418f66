// Message texts for error codes, in the manner of FormatMessage.
#pragma once

#include <cstdarg>

#include <orvo/platform/types.h>

constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0xFF;
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;
constexpr WORD SUBLANG_ENGLISH_US = 0x01;
constexpr WORD MAKELANGID(WORD primary, WORD sub) { return static_cast<WORD>((sub << 10) | primary); }

using HLOCAL = void*;

// Frees a buffer that FORMAT_MESSAGE_ALLOCATE_BUFFER returned. Returns null.
HLOCAL LocalFree(HLOCAL memory);

// Writes the text of messageId and returns its length in characters, without
// the NUL; 0 on failure, with the reason in GetLastError.
//
// Texts come from the system table (FORMAT_MESSAGE_FROM_SYSTEM), in English:
// languageId 0, the user or system default language or
// MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US); any other language fails with
// ERROR_RESOURCE_LANG_NOT_FOUND. An HRESULT_FROM_WIN32 code has the text of
// its Win32 code. Our modules carry no message tables, so
// FORMAT_MESSAGE_FROM_HMODULE alone fails with ERROR_RESOURCE_TYPE_NOT_FOUND
// and with FROM_SYSTEM falls through to the system table.
// FORMAT_MESSAGE_FROM_STRING is not supported (ERROR_INVALID_PARAMETER).
//
// Without FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer holds size characters; a
// text that does not fit with its NUL fails with ERROR_INSUFFICIENT_BUFFER
// and nothing is written. With it, buffer is really an LPSTR* that receives a
// buffer of at least size characters, to be freed with LocalFree.
//
// Without FORMAT_MESSAGE_IGNORE_INSERTS, %1 to %99 are replaced by string
// arguments (the only insert format supported: "%1" or "%1!s!") taken from
// args, a va_list, or with FORMAT_MESSAGE_ARGUMENT_ARRAY an array of
// const char*; %n is a line break, %0 ends the text without its final line
// break, and % before any other character stands for that character.
// The low byte of flags: 0 keeps the text's line breaks,
// FORMAT_MESSAGE_MAX_WIDTH_MASK turns each into a space; other widths are
// not wrapped, the text keeps its own breaks.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* args);
