#include <array>

#include <orvo/OrvoCI.h>

namespace {

// Indexed from 1 as the settings are; element 0 is unused.
constexpr std::array<double, 14> kDefaults = {
    0.0,
    100000.0,    // MaxReturn
    0.0,         // Channel: every channel
    0.0,         // SortCode
    0.0,         // T1: from the start
    0.0,         // T2: to the end
    0.0,         // Options
    0.0,         // FillItem: the events' own samples
    1.0,         // FillValue
    1.0,         // RespectOffsetEpoc
    1.0,         // AutoRefEpoc
    0.0,         // WaveSFEvent: no reference store
    0.0,         // WaveSF: no fixed rate
    33554432.0,  // WavesMemLimit: 32 MiB
};

}  // namespace

LONG OrvoCI::SetGlobal(LONG index, double value) { return m_globals.SetPropA(index, value) ? 1 : 0; }

double OrvoCI::GetGlobal(LONG index) { return m_globals.GetPropA(index); }

void OrvoCI::ResetGlobals()
{
    for (LONG index = 1; index < static_cast<LONG>(kDefaults.size()); ++index) {
        m_globals.SetPropA(index, kDefaults[static_cast<std::size_t>(index)]);
    }
}
