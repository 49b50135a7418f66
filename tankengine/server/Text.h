// Texts across the engine interface: BSTRs in, our 8-bit (UTF-8) strings
// inside, new BSTRs out.
#pragma once

#include <orvo/platform/types.h>
#include "tankengine/storage/result.h"

#include <string>
#include <string_view>

namespace orvo::engine {

// The caller's BSTR as 8-bit text; a null BSTR is empty.
std::string FromBstr(BSTR text);

// Hands a new BSTR to the caller through out, which may be null (the text is
// then not wanted). False when memory runs out.
bool Deliver(BSTR* out, std::string_view text);
// The same as an operation's answer: 1, or the failure when memory runs out.
tank::Result<LONG> DeliverAnswer(BSTR* out, std::string_view text);

}  // namespace orvo::engine
