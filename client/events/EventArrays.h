// Views of the arrays the engine hands back into the event buffer, checked
// against the shape each reader expects. A view of an array in any other
// shape is empty, so nothing outside an array is ever addressed, whatever
// count the engine answered.
#pragma once

#include <cstddef>

#include <orvo/platform/types.h>
#include <orvo/platform/variant.h>

namespace orvo {

// Event rows: records padded to a common width of at least a header, in 32-bit
// integer or float elements. The engine declares (rows, words), so the
// descriptor holds the words first.
struct EventRows {
    LONG* data = nullptr;
    LONG rows = 0;
    LONG width = 0;  // words
};
EventRows EventRowsOf(const VARIANT& events);

// A one-dimensional list of 32-bit store codes.
struct StoreCodes {
    LONG* data = nullptr;
    LONG count = 0;
};
StoreCodes StoreCodesOf(const VARIANT& codes);

// Tables of doubles (epocs, valid time ranges): rows of at least minWidth
// doubles. The engine declares (doubles, rows), so the descriptor holds the
// rows first.
struct DoubleTable {
    double* data = nullptr;
    LONG rows = 0;
    std::size_t width = 0;  // doubles
    const double* Row(LONG row) const { return data + static_cast<std::size_t>(row) * width; }
};
DoubleTable DoubleTableOf(const VARIANT& table, std::size_t minWidth);

// The doubles of an array of doubles of any shape.
struct Doubles {
    double* data = nullptr;
    std::size_t count = 0;
};
Doubles DoublesOf(const VARIANT& values);

}  // namespace orvo
