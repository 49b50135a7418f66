#include <orvo/CPropertyCache.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace {

constexpr LONG kFirstIndex = 1;
constexpr LONG kLastIndex = 13;

// Position in this table is the setting's index; slot 0 stands for "no such
// setting", which never has an entry.
constexpr std::array<std::string_view, kLastIndex + 1> kNames = {
    "",
    "MaxReturn",
    "Channel",
    "SortCode",
    "T1",
    "T2",
    "Options",
    "FillItem",
    "FillValue",
    "RespectOffsetEpoc",
    "AutoRefEpoc",
    "WaveSFEvent",
    "WaveSF",
    "WavesMemLimit",
};

bool InRange(LONG index) { return index >= kFirstIndex && index <= kLastIndex; }

LONG IndexOf(const CString& name)
{
    // The full length takes part, so a name with an embedded NUL cannot pass
    // for the setting named by its first part.
    const std::string_view text(name.GetString(), static_cast<std::size_t>(name.GetLength()));
    for (LONG index = kFirstIndex; index <= kLastIndex; ++index) {
        if (kNames[static_cast<std::size_t>(index)] == text) {
            return index;
        }
    }
    return 0;
}

}  // namespace

bool CPropertyCache::SetProps(CString text)
{
    bool allStored = true;
    int position = 0;
    for (;;) {
        const CString pair = text.Tokenize(";", position);
        if (position < 0) {
            break;
        }
        const int equals = pair.Find('=');
        if (equals <= 0) {
            allStored = false;
            continue;
        }
        const double value = std::atof(pair.Mid(equals + 1).GetString());
        // Stored before the result is combined, so a bad pair earlier in the
        // text does not keep the later good ones out.
        const bool stored = SetPropA(pair.Left(equals), value);
        allStored = allStored && stored;
    }
    return allStored;
}

bool CPropertyCache::SetPropA(CString name, double value) { return SetPropA(IndexOf(name), value); }

bool CPropertyCache::SetPropA(LONG index, double value)
{
    if (!InRange(index)) {
        return false;
    }
    m_props[index] = value;
    return true;
}

double CPropertyCache::GetPropA(CString name) const { return GetPropA(IndexOf(name)); }

double CPropertyCache::GetPropA(LONG index) const
{
    const auto found = m_props.find(index);
    return found == m_props.end() ? 0.0 : found->second;
}

LONG CPropertyCache::GetPropLong(CString name) const { return GetPropLong(IndexOf(name)); }

LONG CPropertyCache::GetPropLong(LONG index) const
{
    const double value = GetPropA(index);
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(std::numeric_limits<LONG>::min())) {
        return std::numeric_limits<LONG>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<LONG>::max())) {
        return std::numeric_limits<LONG>::max();
    }
    return static_cast<LONG>(value);
}

void CPropertyCache::Clear() { m_props.clear(); }
