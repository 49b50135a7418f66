// Arrays for our own layers that write every element themselves.
#pragma once

#include <orvo/platform/safearray.h>

namespace orvo {

// SafeArrayCreate without zeroing the data first, for a maker that writes
// every element before the array leaves its hands: filling a large answer
// once instead of twice. A VT_BSTR array is zeroed all the same, as its
// destruction frees each element.
SAFEARRAY* SafeArrayCreateUnfilled(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* bounds);

}  // namespace orvo
