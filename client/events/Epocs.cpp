#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include <orvo/OrvoCI.h>
#include "client/events/EventArrays.h"

namespace {

// Room for a read's valid ranges, so that filling them cannot throw; false
// when the memory is not there.
bool Reserve(std::vector<TimeRange>& ranges, LONG rows)
{
    ranges.clear();
    try {
        ranges.reserve(static_cast<std::size_t>(rows));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace


LONG OrvoCI::GetEpocCodes(LONG** ppCodes)
{
    m_events.reset();
    if (!m_engine) {
        return 0;
    }
    const LONG result = m_engine->GetEpocCodes(m_clientId, m_events.out());
    if (result < 1) {
        return result;
    }
    // Callers walk as many codes as the count says.
    const orvo::StoreCodes codes = orvo::StoreCodesOf(*m_events);
    if (codes.count == 0) {
        return 0;
    }
    if (ppCodes != nullptr) {
        *ppCodes = codes.data;
    }
    return std::min(result, codes.count);
}

LONG OrvoCI::GetEpocs(double** ppData, LONG code, double startTime, double endTime, LONG arg5)
{
    if (!m_engine) {
        return 0;
    }
    const LONG result = m_engine->GetEpocs(m_clientId, m_events.out(), code, startTime, endTime, arg5);
    if (result < 1) {
        return result;
    }
    const orvo::DoubleTable table = orvo::DoubleTableOf(*m_events, 1);
    if (table.rows == 0) {
        return 0;
    }
    if (ppData != nullptr) {
        *ppData = table.data;
    }
    return std::min(result, table.rows);
}

LONG OrvoCI::GetEpocsEx(double** ppData, LONG code, LONG arg3, LONG arg4)
{
    m_events.reset();
    if (!m_engine) {
        return 0;
    }
    const LONG result = m_engine->GetEpocsEx(m_clientId, m_events.out(), code, m_globals.GetPropA("T1"),
                                             m_globals.GetPropA("T2"), arg3, arg4);
    if (result < 1) {
        return result;
    }
    // Onset and offset are doubles 1 and 2 of a row.
    const orvo::DoubleTable table = orvo::DoubleTableOf(*m_events, 3);
    if (table.rows == 0) {
        return 0;
    }
    if (!Reserve(m_validRanges, table.rows)) {
        RCE("GetEpocsEx", "Out of memory for the valid time ranges", std::to_string(table.rows));
        return ITankEngine::kCountFailed;
    }
    if (ppData != nullptr) {
        *ppData = table.data;
    }
    double carriedLength = 1.0;
    for (LONG i = 0; i < table.rows; ++i) {
        const double* row = table.Row(i);
        const double onset = row[1];
        double offset = row[2];
        // A missing offset: the epoc lasts until the next one begins, or, for
        // the last, as long as the one before it.
        if (offset == 0.0) {
            offset = i + 1 < table.rows ? table.Row(i + 1)[1] : onset + carriedLength;
        }
        m_validRanges.push_back({onset, offset});
        carriedLength = offset - onset;
    }
    return std::min(result, table.rows);
}

LONG OrvoCI::QryEpocAt(LONG code, double time, LONG item, double* pValue)
{
    if (pValue != nullptr) {
        *pValue = 0.0;
    }
    if (!HasClient()) {
        return 0;
    }
    Variant answer;
    const LONG respectOffset = m_globals.GetPropLong("RespectOffsetEpoc");
    LONG result = m_engine->QryEpocAtEx(m_clientId, answer.out(), code, time, respectOffset);
    if (result > 0) {
        const orvo::Doubles values = orvo::DoublesOf(*answer);
        if (values.count < 4) {
            result = 0;
        } else if (pValue != nullptr && item >= 0 && item <= 3) {
            *pValue = values.data[item];
        }
    }
    return result;
}

LONG OrvoCI::QryEpocAtEx(LONG code, double time, double* pValues, int respectOffset)
{
    if (pValues != nullptr) {
        std::fill_n(pValues, 4, 0.0);
    }
    if (!HasClient()) {
        return 0;
    }
    const LONG result = m_engine->QryEpocAtEx(m_clientId, m_events.out(), code, time, respectOffset);
    if (result <= 0) {
        return result;
    }
    // An answer without its four doubles is no answer.
    const orvo::Doubles values = orvo::DoublesOf(*m_events);
    if (values.count < 4) {
        return 0;
    }
    if (pValues != nullptr) {
        std::copy_n(values.data, 4, pValues);
    }
    return result;
}

LONG OrvoCI::QryEpocAtIdx(LONG code, LONG index, LONG item, double* pValue)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->QryEpocAtIdx(m_clientId, code, index, item, pValue);
}

LONG OrvoCI::GetValidTimeRanges(double** ppData, LONG maxRanges)
{
    return _GetValidTimeRanges(ppData, m_globals.GetPropA("T1"), m_globals.GetPropA("T2"), maxRanges);
}

LONG OrvoCI::_GetValidTimeRanges(double** ppData, double startTime, double endTime, LONG maxRanges)
{
    m_events.reset();
    if (!m_engine) {
        return 0;
    }
    const LONG result = m_engine->GetValidTimeRanges(m_clientId, m_events.out(), startTime, endTime, maxRanges);
    if (result < 1) {
        return result;
    }
    const orvo::DoubleTable table = orvo::DoubleTableOf(*m_events, 2);
    if (table.rows == 0) {
        return 0;
    }
    if (!Reserve(m_validRanges, table.rows)) {
        RCE("GetValidTimeRanges", "Out of memory for the valid time ranges", std::to_string(table.rows));
        return ITankEngine::kCountFailed;
    }
    if (ppData != nullptr) {
        *ppData = table.data;
    }
    for (LONG i = 0; i < table.rows; ++i) {
        const double* row = table.Row(i);
        m_validRanges.push_back({row[0], row[1]});
    }
    return std::min(result, table.rows);
}
