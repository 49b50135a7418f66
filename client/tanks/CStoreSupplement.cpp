#include <orvo/CStoreSupplement.h>

#include <algorithm>
#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

using TextMember = CString CStoreSupplement::*;
using LongMember = LONG CStoreSupplement::*;

constexpr std::pair<const char*, TextMember> kTextItems[] = {
    {"StoreName", &CStoreSupplement::StoreName},
    {"HeadName", &CStoreSupplement::HeadName},
    {"StrobeBuddy", &CStoreSupplement::StrobeBuddy},
    {"SecTag", &CStoreSupplement::SecTag},
};

constexpr std::pair<const char*, LongMember> kLongItems[] = {
    {"Enabled", &CStoreSupplement::Enabled},
    {"CircType", &CStoreSupplement::CircType},
    {"NumChan", &CStoreSupplement::NumChan},
    {"StrobeMode", &CStoreSupplement::StrobeMode},
    {"TankEvType", &CStoreSupplement::TankEvType},
    {"NumPoints", &CStoreSupplement::NumPoints},
    {"DataFormat", &CStoreSupplement::DataFormat},
};

void AppendText(CString& out, const char* name, const CString& value)
{
    out += "NAME=";
    out += name;
    out += ";TYPE=T;VALUE=";
    out += value;
    out += ";\r\n";
}

void AppendLong(CString& out, const char* name, LONG value)
{
    out.AppendFormat("NAME=%s;TYPE=L;VALUE=%d;\r\n", name, static_cast<int>(value));
}

// Like atoi, except that atoi's result is undefined for numbers outside int:
// those saturate here.
LONG ToLong(const CString& value)
{
    const long long number = std::strtoll(value, nullptr, 10);
    return static_cast<LONG>(std::clamp<long long>(number, std::numeric_limits<LONG>::min(),
                                                   std::numeric_limits<LONG>::max()));
}

// Narrowing a double beyond float's range is undefined, so such values
// saturate to infinity.
float ToFloat(const CString& value)
{
    const double number = std::atof(value);
    if (number > FLT_MAX) {
        return std::numeric_limits<float>::infinity();
    }
    if (number < -FLT_MAX) {
        return -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(number);
}

bool StartsWith(const CString& text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void Apply(CStoreSupplement& target, const CString& name, const CString& value)
{
    for (const auto& [itemName, member] : kTextItems) {
        if (name == itemName) {
            target.*member = value;
            return;
        }
    }
    for (const auto& [itemName, member] : kLongItems) {
        if (name == itemName) {
            target.*member = ToLong(value);
            return;
        }
    }
    if (name == "SampleFreq") {
        target.SampleFreq = ToFloat(value);
    }
}

}  // namespace

void CStoreSupplement::ToString(CString* out) const
{
    if (out == nullptr) {
        return;
    }
    // Built aside, so that out may be one of our own members.
    CString text;
    AppendText(text, "StoreName", StoreName);
    AppendText(text, "HeadName", HeadName);
    AppendLong(text, "Enabled", Enabled);
    AppendLong(text, "CircType", CircType);
    AppendLong(text, "NumChan", NumChan);
    AppendLong(text, "StrobeMode", StrobeMode);
    AppendText(text, "StrobeBuddy", StrobeBuddy);
    AppendText(text, "SecTag", SecTag);
    AppendLong(text, "TankEvType", TankEvType);
    AppendLong(text, "NumPoints", NumPoints);
    AppendLong(text, "DataFormat", DataFormat);
    // Stays an "L" item despite its decimals, as in the notes of blocks
    // already recorded; readers ignore the letter.
    text.AppendFormat("NAME=SampleFreq;TYPE=L;VALUE=%f;\r\n", static_cast<double>(SampleFreq));
    *out = std::move(text);
}

void CStoreSupplement::FromString(CString text)
{
    // Applying each line as it is read gives the same result as collecting
    // all lines first: the last line that names a member decides it.
    int end = 0;
    for (int start = 0; (end = text.Find("\r\n", start)) >= 0; start = end + 2) {
        const CString line = text.Mid(start, end - start);
        CString name;
        CString value;
        int semi = 0;
        for (int from = 0; (semi = line.Find(';', from)) >= 0; from = semi + 1) {
            const CString item = line.Mid(from, semi - from);
            if (StartsWith(item, "NAME=")) {
                name = item.Mid(5);
            } else if (StartsWith(item, "VALUE=")) {
                value = item.Mid(6);
            }
        }
        Apply(*this, name, value);
    }
}
