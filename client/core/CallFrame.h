// Pieces of the call frame that the client object's methods share.
#pragma once

#include <orvo/platform/com_error.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>

namespace orvo {

// A text the engine handed back: the text when the engine's result is
// nonzero, else "". The BSTR is freed by its owner either way.
inline CString TextResult(LONG result, const BStr& text)
{
    return result != 0 ? CString(BstrToAnsi(text.get())) : CString();
}

}  // namespace orvo
