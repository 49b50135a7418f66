// The arrays the engine hands its callers in their VARIANTs.
#pragma once

#include <orvo/platform/variant.h>
#include "tankengine/storage/result.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvo::engine {

// A list of store codes: a one-dimensional array of 32-bit codes. The answer
// is the count; an empty list answers 0 and leaves out untouched.
tank::Result<LONG> DeliverCodes(VARIANT* out, const std::vector<std::int32_t>& codes);

// An epoc or range table: rows of `width` doubles, created with the bounds
// (width, rows) so that the descriptor holds the rows first. The answer is
// the row count; no rows answer 0 and leave out untouched.
tank::Result<LONG> DeliverTable(VARIANT* out, const std::vector<double>& cells, std::size_t width);

}  // namespace orvo::engine
