// A tank engine that keeps one block's events in memory, for the tests and
// benchmarks of the reads. Register it as the machine's engine and connect
// to "Local":
//
//     auto* store = new MemoryTankEngine;
//     store->AddStream<float>(PackStoreCode("Wav1"), 1, 0.0, 1000.0f, samples);
//     CoRegisterClassObject(CLSID_TankEngine, static_cast<ITankEngine*>(store), CLSCTX_LOCAL_SERVER,
//                           REGCLS_MULTIPLEUSE, &cookie);
//     client.ConnectServer("", "MyApp");
//
// What it answers:
// - ReadEvents: records of the given store code, channel and sort code (0 is
//   any) whose time stamp lies in [start, end), where an end of 0 or below
//   leaves the window open (record times count from the block start, so 0 to
//   0 is the whole block); in time order, at most maxEvents. Option bit 1
//   continues the previous read of the client with the same selection and
//   window, answering 0 when none remain or when the previous read differed.
//   Rows are padded to the widest record of the batch. Option 1024 gives the
//   headers alone (rows of 10 words; each header keeps its own size).
// - GetValidTimeRanges: the configured ranges (by default the whole block),
//   clipped to the window as above, at most maxRanges, as rows of the
//   configured number of doubles: start, end, then -1.0 in any further
//   column.
// - GetBlockInfo: the block's start and stop times, no texts.
// - AddClient: id 1. Every other operation answers 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/ITankEngine.h"
#include "events/SQHead.h"
#include "events/TimeRange.h"

namespace orvo::test {

class MemoryTankEngine final : public ComObject<ITankEngine, IClassFactory> {
public:
    static constexpr LONG kStream = 0x8101;

    // A record of the given type with the samples as its data; the data
    // format follows the sample type (float, int32, int16 or int8).
    template <class Sample>
    void AddStream(LONG code, std::uint16_t channel, double time, float rate, std::span<const Sample> samples,
                   LONG type = kStream)
    {
        const SQHead head{0, type, code, channel, 0, time, 0.0, FormatOf<Sample>(), 0, 0, 0, rate};
        Add(head, samples.data(), samples.size_bytes());
    }
    // A record without data (scalar, strobe).
    void AddValue(LONG type, LONG code, std::uint16_t channel, double time, double value)
    {
        Add(SQHead{0, type, code, channel, 0, time, value, 4, 0, 0, 0, 0.0f}, nullptr, 0);
    }
    // head's size is set from the data, padded to whole words.
    void Add(SQHead head, const void* data, std::size_t bytes);

    void SetValidRanges(std::vector<TimeRange> ranges, ULONG columns = 2)
    {
        m_ranges = std::move(ranges), m_rangeColumns = std::max<ULONG>(columns, 2);
    }
    void SetBlockTimes(double start, double stop) { m_blockStart = start, m_blockStop = stop; }

    HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override { return QueryInterface(riid, object); }
    HRESULT LockServer(BOOL) override { return S_OK; }

    LONG AddClient(BSTR) override { return 1; }
    LONG GetBlockInfo(LONG, BSTR*, BSTR*, BSTR*, DOUBLE* startTime, DOUBLE* stopTime, BSTR*) override;
    LONG ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                    DOUBLE startTime, DOUBLE endTime, LONG options) override;
    LONG GetValidTimeRanges(LONG, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime, LONG maxRanges) override;

#define ORVO_ANSWERS_0(name, ...) \
    LONG name(__VA_ARGS__) override { return 0; }
    ORVO_ANSWERS_0(AddTank, BSTR, BSTR) ORVO_ANSWERS_0(CloseTank, LONG) ORVO_ANSWERS_0(DeleteClient, LONG)
    ORVO_ANSWERS_0(RemoveTank, BSTR) ORVO_ANSWERS_0(GetError, LONG, BSTR*) ORVO_ANSWERS_0(GetStatus, LONG, LONG)
    ORVO_ANSWERS_0(InitializeTank, BSTR) ORVO_ANSWERS_0(OpenTank, LONG, BSTR, LONG)
    ORVO_ANSWERS_0(SaveEvents, LONG, VARIANT*) ORVO_ANSWERS_0(SelectBlock, LONG, BSTR) ORVO_ANSWERS_0(Reserved16)
    ORVO_ANSWERS_0(StartRecord, LONG, BSTR) ORVO_ANSWERS_0(StopRecord, LONG) ORVO_ANSWERS_0(Reserved19)
    ORVO_ANSWERS_0(SetOSTime, LONG, DOUBLE) ORVO_ANSWERS_0(QueryBlockName, LONG, LONG, BSTR*)
    ORVO_ANSWERS_0(GetEventCodes, LONG, VARIANT*, LONG) ORVO_ANSWERS_0(ResetTank, BSTR)
    ORVO_ANSWERS_0(CheckTank, BSTR) ORVO_ANSWERS_0(GetEnumTank, LONG, BSTR*) ORVO_ANSWERS_0(GetDebug, BSTR, BSTR*)
    ORVO_ANSWERS_0(EnabTankDebug, BSTR, LONG) ORVO_ANSWERS_0(GetTankItem, BSTR, BSTR, BSTR*)
    ORVO_ANSWERS_0(Reserved29) ORVO_ANSWERS_0(GetHotBlock, LONG, BSTR*) ORVO_ANSWERS_0(Reserved31)
    ORVO_ANSWERS_0(GetEpocCodes, LONG, VARIANT*) ORVO_ANSWERS_0(GetEpocs, LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG)
    ORVO_ANSWERS_0(ResetFilters, LONG, LONG, LONG, DOUBLE, DOUBLE) ORVO_ANSWERS_0(Reserved35)
    ORVO_ANSWERS_0(CreateEpocIndexing, LONG) ORVO_ANSWERS_0(ClearEpocIndexing, LONG)
    ORVO_ANSWERS_0(IndexEvent, LONG, LONG, LONG, LONG) ORVO_ANSWERS_0(SetBlockInfo, LONG, BSTR, LONG, BSTR)
    ORVO_ANSWERS_0(QryEpocAtIdx, LONG, LONG, LONG, LONG, DOUBLE*) ORVO_ANSWERS_0(GetFilterTolerance, LONG, DOUBLE*)
    ORVO_ANSWERS_0(SetFilterTolerance, LONG, DOUBLE)
    ORVO_ANSWERS_0(SetFilterEx, LONG, LONG, LONG, DOUBLE, DOUBLE, LONG, LONG)
    ORVO_ANSWERS_0(GetCacheDelay, LONG, DOUBLE*) ORVO_ANSWERS_0(SetCacheDelay, LONG, DOUBLE)
    ORVO_ANSWERS_0(SetFilterWithDescEx, LONG, BSTR, LONG)
    ORVO_ANSWERS_0(SetFilterWithDimension, LONG, LONG, LONG, BSTR, LONG, LONG)
    ORVO_ANSWERS_0(SetEpocTimeFilter, LONG, LONG, DOUBLE, DOUBLE, LONG)
    ORVO_ANSWERS_0(SetTimeRefEpoc, LONG, LONG, LONG)
    ORVO_ANSWERS_0(GetEpocsEx, LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG, LONG)
    ORVO_ANSWERS_0(QryEpocAtEx, LONG, VARIANT*, LONG, DOUBLE, LONG) ORVO_ANSWERS_0(StartRecordEx, LONG, BSTR, BSTR)
    ORVO_ANSWERS_0(SetUseSortName, LONG, BSTR, LONG)
    ORVO_ANSWERS_0(SaveSortCode, LONG, LONG, LONG, BSTR, VARIANT*, BSTR, LONG)
    ORVO_ANSWERS_0(GetSortNameList, LONG, LONG, LONG, LONG, VARIANT*)
    ORVO_ANSWERS_0(GetSortCondition, LONG, LONG, LONG, BSTR, LONG, BSTR*)
    ORVO_ANSWERS_0(DeleteSortCode, LONG, LONG, LONG, BSTR, LONG)
    ORVO_ANSWERS_0(GetSortChanMap, LONG, LONG, BSTR, LONG, BSTR*)
    ORVO_ANSWERS_0(SetRecordOption, LONG, DOUBLE, LONG, BSTR)
#undef ORVO_ANSWERS_0

private:
    struct Entry {
        double time;
        std::size_t offset;  // first word in m_words
        std::int32_t words;
    };
    // What a read selected, so that a continuation can be matched to it.
    struct Window {
        LONG code, channel, sortCode;
        double start, end;
        LONG options;
        bool operator==(const Window&) const = default;
    };
    struct Cursor {
        Window window;
        std::size_t next;  // index into m_entries
    };

    template <class Sample>
    static constexpr std::uint8_t FormatOf()
    {
        static_assert(std::is_same_v<Sample, float> || std::is_same_v<Sample, std::int32_t> ||
                      std::is_same_v<Sample, std::int16_t> || std::is_same_v<Sample, std::int8_t>);
        return std::is_same_v<Sample, float> ? 0 : std::is_same_v<Sample, std::int32_t> ? 1
                                               : std::is_same_v<Sample, std::int16_t> ? 2 : 3;
    }
    bool Selects(const Entry& entry, const Window& window) const;

    std::vector<std::int32_t> m_words;
    std::vector<Entry> m_entries;  // ordered by time once m_sorted
    bool m_sorted = true;
    std::map<LONG, Cursor> m_cursors;  // by client id
    std::optional<std::vector<TimeRange>> m_ranges;
    ULONG m_rangeColumns = 2;
    double m_blockStart = 0.0;
    double m_blockStop = 0.0;
};

}  // namespace orvo::test
