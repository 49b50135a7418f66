// A table of numbered numeric settings, each with a fixed name. The client
// object keeps one as its global settings: the defaults that the simple and
// waveform reads take in place of arguments.
//
// Threads: the getters may share a table between threads; setting or
// clearing needs it to itself.
#pragma once

#include <map>

#include <orvo/Export.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>

class ORVO_API CPropertyCache {
public:
    // Starts empty: every index reads 0.0 until set.
    CPropertyCache() = default;

    // Sets every "name=value" pair of a ';'-separated text. True when every
    // pair named a setting; the valid pairs are stored either way.
    bool SetProps(CString text);
    // False, storing nothing, for a name or index that is not one of the 13.
    bool SetPropA(CString name, double value);
    bool SetPropA(LONG index, double value);
    // 0.0 for an unknown name or index, or one without a value.
    double GetPropA(CString name) const;
    double GetPropA(LONG index) const;
    // The setting truncated toward zero, as the integer settings are used;
    // saturated outside the range of LONG, and 0 for NaN.
    LONG GetPropLong(CString name) const;
    LONG GetPropLong(LONG index) const;
    void Clear();

private:
    std::map<LONG, double> m_props;
};
