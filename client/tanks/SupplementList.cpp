#include "client/tanks/SupplementList.h"

#include <memory>
#include <new>

namespace orvo {

namespace {
constexpr char kUserNoteDelimiter[] = "[USERNOTEDELIMITER]";
constexpr char kItemEnd[] = "[STOREHDRITEM]";
constexpr int kItemEndLength = static_cast<int>(sizeof(kItemEnd) - 1);
}  // namespace

int AppendSupplementsFromNotes(const CString& notes, CSimpleArray<CStoreSupplement*>& supplements)
{
    const int delimiter = notes.Find(kUserNoteDelimiter);
    if (delimiter < 0) {
        return 0;
    }
    // Everything before the first delimiter is the user's; further delimiters
    // are dropped from the item texts.
    CString items = notes.Mid(delimiter + static_cast<int>(sizeof(kUserNoteDelimiter) - 1));
    items.Replace(kUserNoteDelimiter, "");

    // Counted before any is made, so that too many cost no memory.
    int count = 0;
    for (int at = 0; (at = items.Find(kItemEnd, at)) >= 0; at += kItemEndLength) {
        if (++count > kMaxBlockSupplements) {
            return -1;
        }
    }
    int added = 0;
    int end = 0;
    for (int start = 0; (end = items.Find(kItemEnd, start)) >= 0; start = end + kItemEndLength) {
        auto supplement = std::make_unique<CStoreSupplement>();
        supplement->FromString(items.Mid(start, end - start));
        if (!supplements.Add(supplement.get())) {
            throw std::bad_alloc();
        }
        static_cast<void>(supplement.release());  // the array's entry owns it now
        ++added;
    }
    return added;
}

}  // namespace orvo
