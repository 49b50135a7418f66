// One store of a block: the header items a recording declares for it and the
// block's notes carry back.
//
// Threads: plain data; readers may share it, a writer needs it to itself.
#pragma once

#include <orvo/Export.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>

class ORVO_API CStoreSupplement {
public:
    CStoreSupplement() = default;
    CStoreSupplement(const CStoreSupplement&) = default;
    CStoreSupplement& operator=(const CStoreSupplement&) = default;
    virtual ~CStoreSupplement() = default;

    // Twelve "NAME=...;TYPE=...;VALUE=...;" lines, each ended by "\r\n",
    // replacing *out; nothing happens when out is null. Texts are written as
    // they stand, so one holding ';' or "\r\n" does not read back whole.
    void ToString(CString* out) const;
    // Sets the members that text names, by exact name; the others keep their
    // values. Lines without a closing "\r\n" and items without a closing
    // ';' are ignored, and a later line for the same name wins.
    void FromString(CString text);

    CString StoreName;     // the store code's text
    CString HeadName;
    LONG CircType = -1;
    LONG NumChan = 1;
    LONG StrobeMode = 0;
    CString StrobeBuddy;
    CString SecTag;
    LONG TankEvType = 0;   // event type of the store's records
    LONG NumPoints = 0;    // points per record
    LONG DataFormat = 0;   // data format of the store's records
    float SampleFreq = 0.0f;
    LONG Enabled = 1;      // enabled only when exactly 1
};
