#include "protocol/FilterGrammar.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "protocol/StoreCode.h"

namespace orvo {
namespace {

// The readers below behave like the scanf directives "%g" and "%d", but stay
// defined when a typed number is out of range, where scanf's behaviour is
// undefined. Each moves text past what it consumed and reports whether a
// number converted.

bool ReadFloat(const char*& text, float& value)
{
    char* end = nullptr;
    const float read = std::strtof(text, &end);
    if (end == text) {
        return false;
    }
    value = read;
    text = end;
    return true;
}

bool ReadLong(const char*& text, LONG& value)
{
    char* end = nullptr;
    const long read = std::strtol(text, &end, 10);
    if (end == text) {
        return false;
    }
    value = static_cast<LONG>(std::clamp<long>(read, INT32_MIN, INT32_MAX));
    text = end;
    return true;
}

// Literal characters of a format match exactly, with no skipping of blanks.
bool Expect(const char*& text, char ch)
{
    if (*text != ch) {
        return false;
    }
    ++text;
    return true;
}

// Like "%g:%g" when the part holds a ':' after its first character, else like
// "%g"; every number of the chosen form must convert. Whatever follows the
// numbers is ignored.
bool ReadValues(const CString& part, float& value1, float& value2)
{
    const char* text = part.GetString();
    if (part.Find(':', 1) < 0) {
        value2 = 0.0f;
        return ReadFloat(text, value1);
    }
    return ReadFloat(text, value1) && Expect(text, ':') && ReadFloat(text, value2);
}

// Like "{%d,%d}": each integer is stored as soon as it converts, so a text
// that breaks off after the first keeps the second as it was.
void ReadExtras(const CString& part, LONG& extra1, LONG& extra2)
{
    const char* text = part.GetString();
    if (Expect(text, '{') && ReadLong(text, extra1) && Expect(text, ',')) {
        ReadLong(text, extra2);
    }
}

}  // namespace

int ParseFilterText(CString desc, LONG* pCode, LONG* pOperator, double* pValue1, double* pValue2, LONG* pExtra1,
                    LONG* pExtra2)
{
    // Without one of these four there is nowhere to put the result, so
    // refusing before anything is written is the only safe answer.
    if (pCode == nullptr || pOperator == nullptr || pValue1 == nullptr || pValue2 == nullptr) {
        return 0;
    }
    if (pExtra1 != nullptr) {
        *pExtra1 = 0;
    }
    if (pExtra2 != nullptr) {
        *pExtra2 = 0;
    }

    desc.Remove(' ');
    if (desc.GetLength() < 6) {
        return 0;
    }
    *pCode = PackStoreCode(desc.Left(4));
    CString rest = desc.Mid(4);

    // A ':' anywhere after the operator's first character, braces included,
    // makes "=" and "<>" ranges.
    const bool range = rest.Find(':', 1) >= 0;
    const CString two = rest.Left(2);
    const char one = rest[0];
    int length = 2;
    if (two == "<=" || two == "=<") {
        *pOperator = kFilterAtMost;
    } else if (two == ">=" || two == "=>") {
        *pOperator = kFilterAtLeast;
    } else if (two == "<>") {
        *pOperator = range ? kFilterOutside : kFilterNotEqual;
    } else {
        length = 1;
        if (one == '=') {
            *pOperator = range ? kFilterInside : kFilterEqual;
        } else if (one == '>') {
            *pOperator = kFilterAbove;
        } else if (one == '<') {
            *pOperator = kFilterBelow;
        } else {
            return 0;
        }
    }
    rest = rest.Mid(length);

    const int brace = rest.Find('{');
    const CString valuePart = brace < 0 ? rest : rest.Left(brace);
    float value1 = 0.0f;
    float value2 = 0.0f;
    if (!ReadValues(valuePart, value1, value2)) {
        return 0;
    }
    *pValue1 = value1;
    *pValue2 = value2;

    if (brace >= 0 && pExtra1 != nullptr && pExtra2 != nullptr) {
        ReadExtras(rest.Mid(brace), *pExtra1, *pExtra2);
    }
    return 1;
}

std::vector<CString> FilterPieces(const CString& text)
{
    std::vector<CString> pieces;
    int position = 0;
    for (CString token = text.Tokenize(";", position); position >= 0; token = text.Tokenize(";", position)) {
        pieces.push_back(token);
    }
    return pieces;
}

std::vector<LONG> FilterStoreCodes(const CString& text, CString* unreadable)
{
    std::vector<LONG> codes;
    for (const CString& piece : FilterPieces(text)) {
        if (CString(piece).Trim(' ').IsEmpty()) {
            continue;
        }
        LONG code = 0;
        LONG op = 0;
        double value1 = 0.0;
        double value2 = 0.0;
        if (ParseFilterText(piece, &code, &op, &value1, &value2, nullptr, nullptr) == 0) {
            *unreadable = piece;
            break;
        }
        codes.push_back(code);
    }
    return codes;
}

}  // namespace orvo
