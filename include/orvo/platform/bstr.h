// BSTRs: UTF-16 text that carries its length. Four bytes before the first
// character hold the length in bytes, and a NUL character follows the text,
// so a BSTR may also be read as a C string (up to its first NUL).
//
// A null BSTR is a valid empty string to every function here.
#pragma once

#include <orvo/platform/types.h>

// A copy of a NUL-terminated string; null for a null text.
BSTR SysAllocString(const OLECHAR* text);

// A string of chars characters copied from text, which may hold NULs; with a
// null text the characters are zero.
BSTR SysAllocStringLen(const OLECHAR* text, UINT chars);

// A string of byteLen bytes copied from bytes, which need not be text; with
// null bytes they are zero. An odd byteLen is kept: SysStringByteLen gives it
// back, SysStringLen rounds it down. Two zero bytes follow the data.
BSTR SysAllocStringByteLen(LPCSTR bytes, UINT byteLen);

// The allocation functions return null when memory runs out and when the
// whole block (length, data and terminator) would not fit in 32 bits.

UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

void SysFreeString(BSTR text);
