// Store codes: up to four 8-bit characters packed little-endian into a
// 32-bit integer, first character in the lowest byte, NUL-padded.
#pragma once

#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>

namespace orvo {

// The first four characters of text (fewer when it is shorter).
LONG PackStoreCode(const char* text);

// The characters of a code up to its first NUL; "" for 0.
CString StoreCodeText(LONG code);

}  // namespace orvo
