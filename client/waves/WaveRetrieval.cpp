// Waveforms of one store, one row per channel, over the window and filters of
// the global settings: the events of every valid time range are read in
// batches and laid onto one sample grid.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include <orvo/OrvoCI.h>
#include <orvo/platform/com_error.h>
#include "client/events/EventArrays.h"

namespace {

constexpr LONG kBatchEvents = 1000;
constexpr LONG kMaxRanges = 1000000;
constexpr LONG kNextBatch = 1;       // read option: the next batch of the same window
constexpr LONG kHeaderItems = 1024;  // read option when events give one value each
constexpr LONG kLongMax = std::numeric_limits<LONG>::max();
constexpr double kFallbackRate = 100.0;

// Where a read from startTime lays its grid: onto the store's own sample
// grid. Truncated as a double: a 32-bit product would overflow for starts
// later than about a day at common rates.
double GridStart(double startTime, double storeRate)
{
    return startTime != 0.0 && storeRate > 0.0 ? std::trunc(storeRate * startTime) / storeRate : startTime;
}

LONG Saturated(std::int64_t value)
{
    return static_cast<LONG>(std::clamp<std::int64_t>(value, std::numeric_limits<LONG>::min(), kLongMax));
}

}  // namespace

LONG OrvoCI::GetWaves(LONG code, VARIANT* pWaves)
{
    const LONG channel = m_globals.GetPropLong("Channel");
    const std::optional<double> refRate =
        PullRefFreq(code, m_globals.GetPropLong("WaveSFEvent"), m_globals.GetPropA("WaveSF"));
    if (!refRate) {
        return ITankEngine::kCountFailed;
    }
    CWaveFormCache cache(m_globals.GetPropLong("WavesMemLimit"));
    const LONG result = _GetWaves(cache, nullptr, code, channel, m_globals.GetPropLong("SortCode"),
                                  m_globals.GetPropA("T1"), m_globals.GetPropA("T2"), m_globals.GetPropLong("FillItem"),
                                  m_globals.GetPropA("FillValue"), *refRate, true);
    if (result >= 1 && pWaves != nullptr) {
        // Every channel up to the highest found gets its row when all were asked for.
        cache.GetVariant(*pWaves, false, channel == 0);
    }
    return result;
}

std::optional<double> OrvoCI::PullRefFreq(LONG code, LONG rateCode, double rate)
{
    // The rate of a store's first record, 0 when it has none; none when the
    // read failed.
    const auto firstRate = [this](LONG store) -> std::optional<double> {
        LONG* record = nullptr;
        const LONG found = GetEvents(&record, 1, store, 0, 0, 0.0, 0.0, 0);
        if (found < 0) {
            return std::nullopt;
        }
        return found >= 1 && record != nullptr ? static_cast<double>(ReadHeader(record).sampleFreq) : 0.0;
    };
    if (rateCode != 0) {
        if (const std::optional<double> f = firstRate(rateCode); !f || *f > 0.0) {
            return f;
        }
    }
    if (rate > 0.0) {
        return rate;
    }
    if (code != 0) {
        if (const std::optional<double> f = firstRate(code); !f || *f > 0.0) {
            return f;
        }
    }
    return kFallbackRate;
}

LONG OrvoCI::_GetWaves(CWaveFormCache& cache, LONG** ppData, LONG code, LONG channel, LONG sortCode,
                       double startTime, double endTime, LONG fillItem, double fillValue, double refRate,
                       bool useValidRanges)
{
    LONG* probe = nullptr;
    const LONG found = GetEvents(&probe, 1, code, channel, sortCode, 0.0, 0.0, 0);
    if (found < 1 || probe == nullptr) {
        return found;
    }
    // Kept: the reads below refill the event buffer.
    LONG probeHeader[kHeaderWords];
    std::memcpy(probeHeader, probe, sizeof probeHeader);
    const double storeRate = ReadHeader(probeHeader).sampleFreq;

    if (useValidRanges) {
        // The kept ranges, not the engine's table: the table's rows may be
        // wider than a pair, and the count may promise more rows than it has.
        const LONG answered = _GetValidTimeRanges(nullptr, startTime, endTime, kMaxRanges);
        if (answered < 0) {
            return answered;
        }
        const std::size_t count =
            answered < 1 ? 0 : std::min(static_cast<std::size_t>(answered), m_validRanges.size());
        if (count > 0) {
            endTime = endTime == 0.0 ? m_validRanges[count - 1].end : endTime;
            startTime = startTime == 0.0 ? m_validRanges[0].start : startTime;
        }
        if (!cache.InitCache(startTime, endTime, refRate)) {
            return 0;
        }
        std::vector<TimeRange> clipped;
        for (std::size_t i = 0; i < count; ++i) {
            const TimeRange& range = m_validRanges[i];
            if (endTime > 0.0 && range.start >= endTime) {
                break;
            }
            if (startTime <= range.end) {
                clipped.push_back({std::max(range.start, startTime), std::min(range.end, endTime)});
            }
        }
        CWaveFormCache rangeCache(cache.GetMaxMemLimit());
        // A single range whose grid is the window's own is read straight onto
        // it: copied from a grid of its own, its records would land as they are.
        if (clipped.size() == 1 && clipped[0].end > 0.0 &&
            rangeCache.InitCache(GridStart(clipped[0].start, storeRate), clipped[0].end, refRate) &&
            cache.TakesVerbatim(rangeCache)) {
            return _GetWaves(cache, nullptr, code, channel, sortCode, clipped[0].start, clipped[0].end, fillItem,
                             fillValue, refRate, false);
        }
        std::int64_t total = 0;
        for (const TimeRange& range : clipped) {
            const LONG r = _GetWaves(rangeCache, nullptr, code, channel, sortCode, range.start, range.end, fillItem,
                                     fillValue, refRate, false);
            if (r < 0) {
                return r;
            }
            CString err;
            if (r > 0 && !cache.AddRecords(rangeCache, &err)) {
                RCE("SaveToWaveCache", err, "");
                return 0;
            }
            total += r;
        }
        return Saturated(total);
    }

    const double start = GridStart(startTime, storeRate);
    // One record's duration, so that a record running into the start is read.
    const double lead = startTime != 0.0 && storeRate > 0.0 ? GetNpts(probeHeader) / storeRate : 0.0;
    double end = endTime;
    if (endTime == 0.0) {
        end = 0.0;
        BStr text1, text2, text3, notes;  // freed whatever the engine answers
        double blockStart = 0.0, blockStop = 0.0;
        if (HasClient() && m_engine->GetBlockInfo(m_clientId, text1.out(), text2.out(), text3.out(), &blockStart,
                                                  &blockStop, notes.out()) != 0) {
            end = blockStop - blockStart;
        }
    }
    if (!(end > 0.0)) {
        end = 0.0;
    }
    if (!cache.InitCache(start, end, refRate)) {
        return 0;
    }
    const LONG options = fillItem != 0 ? kHeaderItems : 0;
    LONG batch = GetEvents(nullptr, kBatchEvents, code, channel, sortCode, start - lead, end, options);
    if (batch < 1) {
        return batch;
    }
    do {
        if (!SaveToWaveCache(cache, fillItem, fillValue)) {
            return 0;
        }
        batch = GetEvents(nullptr, kBatchEvents, code, channel, sortCode, start - lead, end, options | kNextBatch);
    } while (batch > 0);
    // A batch that fails part way is no end of the data.
    if (batch < 0) {
        return batch;
    }
    // The rows go to the event buffer only for a caller that reads them there.
    if (ppData == nullptr) {
        return cache.RecordCount();
    }
    const LONG records = cache.SaveToReadV(*m_events, true);
    if (records >= 1) {
        *ppData = orvo::EventRowsOf(*m_events).data;
    }
    return records;
}

bool OrvoCI::SaveToWaveCache(CWaveFormCache& cache, LONG fillItem, double fillValue)
{
    const orvo::EventRows rows = orvo::EventRowsOf(*m_events);
    if (rows.rows == 0) {
        return false;
    }
    const auto width = static_cast<std::size_t>(rows.width);
    const double rate = ReadHeader(rows.data).sampleFreq;
    const LONG dataWords = rows.width - kHeaderWords;
    // Room for whatever one row converts to, so that no row is refused for
    // following a shorter or differently formatted one.
    std::vector<float> converted;
    CString err;
    for (LONG i = 0; i < rows.rows; ++i) {
        const LONG* row = rows.data + static_cast<std::size_t>(i) * width;
        const SQHead head = ReadHeader(row);
        const bool isArray = (head.type & kArrayEventFlag) != 0;
        if (isArray && head.dataFormat > 3) {
            err = "ParseEv() failed";
            RCE("SaveToWaveCache", err, "-1");
            break;
        }
        if (!cache.TimeInCache(head.timeStamp)) {
            break;  // the rest of the batch lies past the grid
        }
        const LONG channel = head.channel;
        if (!cache.AddEvent(channel, &head, &err)) {
            RCE("SaveToWaveCache", err, "");
            break;
        }
        if (fillItem == 0 && isArray && head.dataFormat == 0) {
            // Float samples need no conversion: they go from the row itself.
            cache.AddData(head.timeStamp, channel, reinterpret_cast<const float*>(row + kHeaderWords), dataWords,
                          rate);
        } else if (fillItem == 0) {
            const std::size_t need = isArray ? static_cast<std::size_t>(dataWords) * GetNPer(head.dataFormat) : 1;
            LONG count = 0;
            try {
                if (converted.size() < need) {
                    converted.resize(need);
                }
                count = static_cast<LONG>(std::min<std::size_t>(converted.size(), kLongMax));
            } catch (const std::bad_alloc&) {
                err = "Failed to allocate memory.";
                RCE("SaveToWaveCache", err, "");
                break;
            }
            if (ParseEv(i, nullptr, nullptr, nullptr, converted.data(), &count) < 1) {
                err = "ParseEv() failed";
                RCE("SaveToWaveCache", err, "-1");
                break;
            }
            cache.AddData(head.timeStamp, channel, converted.data(), count, rate);
        } else if (fillItem >= 1 && fillItem <= 14) {
            const float value = static_cast<float>(
                fillItem == 14 ? fillValue : ParseEvHeaderInfo(const_cast<LONG*>(row), fillItem));
            cache.AddData(head.timeStamp, channel, &value, 1, rate);
        }
    }
    return err.IsEmpty();
}
