// The grammar of filter description texts such as "Freq = 1000:2000{0,0}".
// The client library and the tank engine both read descriptions through it,
// so a text means the same on either side of the engine interface.
#pragma once

#include <orvo/platform/cstring.h>
#include <orvo/platform/types.h>

#include <vector>

namespace orvo {

// Operator codes: the ASCII code of a capital letter.
enum FilterOperator : LONG {
    kFilterAbove = 65,     // 'A'  >
    kFilterBelow = 66,     // 'B'  <
    kFilterEqual = 69,     // 'E'  =
    kFilterAtLeast = 71,   // 'G'  >=
    kFilterInside = 73,    // 'I'  = v1:v2
    kFilterAtMost = 76,    // 'L'  <=
    kFilterNotEqual = 78,  // 'N'  <>
    kFilterOutside = 79,   // 'O'  <> v1:v2
};

// One description. 1 when it parses, else 0. pCode and pOperator are written
// as soon as they are known, so a text that fails later may have set them;
// the values only on success. The extras are read only when both are given,
// and keep 0 where the brace part does not convert. Every pointer but the
// extras must be given.
int ParseFilterText(CString desc, LONG* pCode, LONG* pOperator, double* pValue1, double* pValue2, LONG* pExtra1,
                    LONG* pExtra2);

// The descriptions of a text joined with ';', in order; empty pieces (";;",
// a leading or trailing ';') separate nothing.
std::vector<CString> FilterPieces(const CString& text);

// The store codes of a text's descriptions, in order; blank pieces hold none.
// At the first piece that does not parse it stops, names that piece in
// *unreadable and hands back what it read so far, so that a caller can
// report the typing slip in its own words.
std::vector<LONG> FilterStoreCodes(const CString& text, CString* unreadable);

}  // namespace orvo
