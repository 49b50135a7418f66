// One channel's waveform cut into trials, one row per valid time range, each
// row starting at its own range; and the plain read with every argument but
// the store taken from the global settings.
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include <orvo/OrvoCI.h>

LONG OrvoCI::GetWavesOnTimeRange(LONG code, LONG channel, VARIANT* pWaves)
{
    const std::optional<double> refRate =
        PullRefFreq(code, m_globals.GetPropLong("WaveSFEvent"), m_globals.GetPropA("WaveSF"));
    if (!refRate) {
        return ITankEngine::kCountFailed;
    }
    if (const LONG ranges = GetValidTimeRanges(nullptr, m_globals.GetPropLong("MaxReturn")); ranges < 1) {
        return ranges;
    }
    CWaveFormCache cache(m_globals.GetPropLong("WavesMemLimit"));
    const LONG result = _GetWavesOnTimeRange(cache, code, channel, m_globals.GetPropLong("SortCode"), m_validRanges,
                                             m_globals.GetPropLong("FillItem"), m_globals.GetPropA("FillValue"),
                                             *refRate);
    if (result >= 1 && pWaves != nullptr) {
        cache.GetVariant(*pWaves, false, false);
    }
    return result;
}

LONG OrvoCI::_GetWavesOnTimeRange(CWaveFormCache& cache, LONG code, LONG channel, LONG sortCode,
                                  const std::vector<TimeRange>& ranges, LONG fillItem, double fillValue,
                                  double refRate)
{
    double longest = 0.0;
    for (const TimeRange& range : ranges) {
        longest = std::max(longest, range.end - range.start);
    }
    if (!cache.InitCache(0.0, longest, refRate)) {
        return RCE("GetWavesOnTimeRange", "Failed to initialize waveform buffer", "");
    }
    CWaveFormCache rangeCache(cache.GetMaxMemLimit());
    const SQHead noEvent{};
    CString err;
    // Keys are range numbers from 1; a walk cannot run past what a key holds.
    const std::size_t walked = std::min<std::size_t>(ranges.size(), std::numeric_limits<LONG>::max() - 1);
    for (std::size_t i = 0; i < walked; ++i) {
        const auto key = static_cast<LONG>(i + 1);
        LONG* record = nullptr;
        const LONG r = _GetWaves(rangeCache, &record, code, channel, sortCode, ranges[i].start, ranges[i].end,
                                 fillItem, fillValue, refRate, false);
        if (r < 0) {
            return r;
        }
        if (r > 1 && channel == 0) {
            err = "Can not be called on multiple channels";
        }
        if (r == 1 && record != nullptr) {
            const SQHead head = ReadHeader(record);
            // The record is the range cache's own, so its length is that cache's.
            if (cache.AddEvent(key, &head, &err)) {
                cache.AddData(0.0, key, reinterpret_cast<const float*>(record + kHeaderWords), rangeCache.GetNpts(),
                              0.0);
            }
        } else if (r <= 0) {
            // A new record is all zeros, which is what a range without data shows.
            cache.AddEvent(key, &noEvent, &err);
        }
        if (!err.IsEmpty()) {
            return RCE("GetWavesOnTimeRange", err, "");
        }
    }
    return static_cast<LONG>(walked);
}

LONG OrvoCI::GetEventsSimple(LONG code)
{
    return GetEvents(nullptr, m_globals.GetPropLong("MaxReturn"), code, m_globals.GetPropLong("Channel"),
                     m_globals.GetPropLong("SortCode"), m_globals.GetPropA("T1"), m_globals.GetPropA("T2"),
                     m_globals.GetPropLong("Options"));
}
