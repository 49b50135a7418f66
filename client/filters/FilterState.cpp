// The engine's filter, tolerance, cache-delay and epoc-indexing state for the
// current client. The state lives in the engine; the client only forwards,
// except that it splits filter texts and stands in the global setting for an
// offset-epoc flag of -1.
#include <orvo/OrvoCI.h>
#include <orvo/platform/com_error.h>
#include "protocol/FilterGrammar.h"

namespace {

constexpr LONG kRespectOffsetEpoc = 9;  // global setting number
constexpr LONG kUseSetting = -1;

}  // namespace

void OrvoCI::ResetFilters()
{
    if (HasClient()) {
        m_engine->ResetFilters(m_clientId, 0, 0, 0.0, 0.0);
    }
}

LONG OrvoCI::SetFilterEx(LONG code, LONG op, double value1, double value2, LONG extra1,
                         LONG extra2)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetFilterEx(m_clientId, code, op, value1, value2, extra1, extra2);
}

LONG OrvoCI::SetFilter(LONG code, LONG op, double value1, double value2)
{
    return SetFilterEx(code, op, value1, value2, 0, 0);
}

LONG OrvoCI::SetFilterWithDesc(CString desc)
{
    if (!HasClient()) {
        return 0;
    }
    // Summed so the caller can compare the result with the filters it wrote;
    // a text that does not parse adds nothing and is not reported.
    LONG sum = 0;
    for (const CString& token : orvo::FilterPieces(desc)) {
        LONG code = 0;
        LONG op = 0;
        double value1 = 0.0;
        double value2 = 0.0;
        LONG extra1 = 0;
        LONG extra2 = 0;
        if (ParseFilterDescEx(token, &code, &op, &value1, &value2, &extra1, &extra2) != 0) {
            // Wraps rather than overflowing: only a misbehaving engine gets there.
            sum = static_cast<LONG>(static_cast<ULONG>(sum) +
                                    static_cast<ULONG>(m_engine->SetFilterEx(
                                        m_clientId, code, op, value1, value2, extra1, extra2)));
        }
    }
    return sum;
}

int OrvoCI::SetFilterWithDescEx(CString desc, LONG respectOffset)
{
    if (!HasClient()) {
        return 0;
    }
    if (respectOffset == kUseSetting) {
        respectOffset = m_globals.GetPropLong(kRespectOffsetEpoc);
    }
    return m_engine->SetFilterWithDescEx(m_clientId, BStr(desc).get(), respectOffset);
}

int OrvoCI::SetFilterWithDimension(LONG dim1, LONG dim2, CString desc, bool flag,
                                   LONG respectOffset)
{
    if (!HasClient()) {
        return 0;
    }
    if (respectOffset == kUseSetting) {
        respectOffset = m_globals.GetPropLong(kRespectOffsetEpoc);
    }
    return m_engine->SetFilterWithDimension(m_clientId, dim1, dim2, BStr(desc).get(),
                                            flag ? 1 : 0, respectOffset);
}

int OrvoCI::SetEpocTimeFilter(LONG code, double startTime, double endTime, int respectOffset)
{
    if (!HasClient()) {
        return 0;
    }
    LONG flag = respectOffset;
    if (flag == kUseSetting) {
        flag = m_globals.GetPropLong(kRespectOffsetEpoc);
    }
    // The engine asks the opposite question: whether to ignore the offset.
    return m_engine->SetEpocTimeFilter(m_clientId, code, startTime, endTime, flag == 0 ? 1 : 0);
}

int OrvoCI::SetTimeRefEpoc(LONG code)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetTimeRefEpoc(m_clientId, code, 1);
}

int OrvoCI::SetFilterTolerance(double tolerance)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetFilterTolerance(m_clientId, tolerance) > 0 ? 1 : 0;
}

double OrvoCI::GetFilterTolerance()
{
    if (!HasClient()) {
        return -1.0;
    }
    double tolerance = -1.0;
    return m_engine->GetFilterTolerance(m_clientId, &tolerance) > 0 ? tolerance : -1.0;
}

int OrvoCI::SetCacheDelay(double delay)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetCacheDelay(m_clientId, delay);
}

double OrvoCI::GetCacheDelay()
{
    if (!HasClient()) {
        return 0.0;
    }
    // The engine's answer is not trusted to say whether it wrote the delay:
    // the preset is what the caller gets when it did not.
    double delay = 0.0;
    m_engine->GetCacheDelay(m_clientId, &delay);
    return delay;
}

int OrvoCI::CreateEpocIndexing()
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->CreateEpocIndexing(m_clientId);
}

void OrvoCI::ClearEpocIndexing()
{
    if (HasClient()) {
        m_engine->ClearEpocIndexing(m_clientId);
    }
}

int OrvoCI::IndexEvent(LONG arg1, LONG arg2, LONG arg3)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->IndexEvent(m_clientId, arg1, arg2, arg3);
}
