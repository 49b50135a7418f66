// Block notes are whatever bytes notes.txt holds (a recording's, a hand
// edit's, a damaged disk's); SelectBlock reads the store supplements out of
// them as the engine hands them over.
#include "fuzz/fuzz_support.h"
#include "client/tanks/SupplementList.h"

#include <algorithm>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const CString notes(std::string(orvo::fuzz::Bytes(data, size)));
    CStoreSupplement existing;
    CSimpleArray<CStoreSupplement*> supplements;
    supplements.Add(&existing);
    const int added = orvo::AppendSupplementsFromNotes(notes, supplements);
    FUZZ_CHECK(added >= -1 && supplements.GetSize() == 1 + std::max(added, 0) && supplements[0] == &existing);

    for (int i = 1; i < supplements.GetSize(); ++i) {
        const std::unique_ptr<CStoreSupplement> read(supplements[i]);
        // A value read from notes holds no ';' and no line end, so it must
        // survive being written back into notes; the rate is written rounded.
        CString text;
        read->ToString(&text);
        CStoreSupplement back;
        back.FromString(text);
        FUZZ_CHECK(back.StoreName == read->StoreName && back.HeadName == read->HeadName &&
                   back.StrobeBuddy == read->StrobeBuddy && back.SecTag == read->SecTag);
        FUZZ_CHECK(back.CircType == read->CircType && back.NumChan == read->NumChan &&
                   back.StrobeMode == read->StrobeMode && back.TankEvType == read->TankEvType &&
                   back.NumPoints == read->NumPoints && back.DataFormat == read->DataFormat &&
                   back.Enabled == read->Enabled);
    }
    return 0;
}
