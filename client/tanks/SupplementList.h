// Reading the store supplements that a block's notes carry: the user's own
// text, then "[USERNOTEDELIMITER]", then one item text per store, each ended
// by "[STOREHDRITEM]".
#pragma once

#include <orvo/CStoreSupplement.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/simple_array.h>

namespace orvo {

// A block has one supplement per store; notes with more items are damaged or
// made to exhaust memory, and give none.
constexpr int kMaxBlockSupplements = 4096;

// Appends one new heap supplement per item of the notes, in order, and
// returns how many were appended; -1, appending none, for notes with more
// than kMaxBlockSupplements items. The array's existing entries stay. The
// caller owns the new pointers, also when this throws (std::bad_alloc) part
// way: those appended until then are in the array.
int AppendSupplementsFromNotes(const CString& notes, CSimpleArray<CStoreSupplement*>& supplements);

}  // namespace orvo
