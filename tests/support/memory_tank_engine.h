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

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <type_traits>
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
    void AddValue(LONG type, LONG code, std::uint16_t channel, double time, double value);
    // head's size is set from the data, padded to whole words.
    void Add(SQHead head, const void* data, std::size_t bytes);

    void SetValidRanges(std::vector<TimeRange> ranges, ULONG columns = 2);
    void SetBlockTimes(double start, double stop);

    HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override { return QueryInterface(riid, object); }
    HRESULT LockServer(BOOL) override { return S_OK; }

    LONG AddClient(BSTR) override { return 1; }
    LONG GetBlockInfo(LONG, BSTR*, BSTR*, BSTR*, DOUBLE* startTime, DOUBLE* stopTime, BSTR*) override;
    LONG ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                    DOUBLE startTime, DOUBLE endTime, LONG options) override;
    LONG GetValidTimeRanges(LONG, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime, LONG maxRanges) override;

    LONG AddTank(BSTR, BSTR) override { return 0; }
    LONG CloseTank(LONG) override { return 0; }
    LONG DeleteClient(LONG) override { return 0; }
    LONG RemoveTank(BSTR) override { return 0; }
    LONG GetError(LONG, BSTR*) override { return 0; }
    LONG GetStatus(LONG, LONG) override { return 0; }
    LONG InitializeTank(BSTR) override { return 0; }
    LONG OpenTank(LONG, BSTR, LONG) override { return 0; }
    LONG SaveEvents(LONG, VARIANT*) override { return 0; }
    LONG SelectBlock(LONG, BSTR) override { return 0; }
    LONG Reserved16() override { return 0; }
    LONG StartRecord(LONG, BSTR) override { return 0; }
    LONG StopRecord(LONG) override { return 0; }
    LONG Reserved19() override { return 0; }
    LONG SetOSTime(LONG, DOUBLE) override { return 0; }
    LONG QueryBlockName(LONG, LONG, BSTR*) override { return 0; }
    LONG GetEventCodes(LONG, VARIANT*, LONG) override { return 0; }
    LONG ResetTank(BSTR) override { return 0; }
    LONG CheckTank(BSTR) override { return 0; }
    LONG GetEnumTank(LONG, BSTR*) override { return 0; }
    LONG GetDebug(BSTR, BSTR*) override { return 0; }
    LONG EnabTankDebug(BSTR, LONG) override { return 0; }
    LONG GetTankItem(BSTR, BSTR, BSTR*) override { return 0; }
    LONG Reserved29() override { return 0; }
    LONG GetHotBlock(LONG, BSTR*) override { return 0; }
    LONG Reserved31() override { return 0; }
    LONG GetEpocCodes(LONG, VARIANT*) override { return 0; }
    LONG GetEpocs(LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG) override { return 0; }
    LONG ResetFilters(LONG, LONG, LONG, DOUBLE, DOUBLE) override { return 0; }
    LONG Reserved35() override { return 0; }
    LONG CreateEpocIndexing(LONG) override { return 0; }
    LONG ClearEpocIndexing(LONG) override { return 0; }
    LONG IndexEvent(LONG, LONG, LONG, LONG) override { return 0; }
    LONG SetBlockInfo(LONG, BSTR, LONG, BSTR) override { return 0; }
    LONG QryEpocAtIdx(LONG, LONG, LONG, LONG, DOUBLE*) override { return 0; }
    LONG GetFilterTolerance(LONG, DOUBLE*) override { return 0; }
    LONG SetFilterTolerance(LONG, DOUBLE) override { return 0; }
    LONG SetFilterEx(LONG, LONG, LONG, DOUBLE, DOUBLE, LONG, LONG) override { return 0; }
    LONG GetCacheDelay(LONG, DOUBLE*) override { return 0; }
    LONG SetCacheDelay(LONG, DOUBLE) override { return 0; }
    LONG SetFilterWithDescEx(LONG, BSTR, LONG) override { return 0; }
    LONG SetFilterWithDimension(LONG, LONG, LONG, BSTR, LONG, LONG) override { return 0; }
    LONG SetEpocTimeFilter(LONG, LONG, DOUBLE, DOUBLE, LONG) override { return 0; }
    LONG SetTimeRefEpoc(LONG, LONG, LONG) override { return 0; }
    LONG GetEpocsEx(LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG, LONG) override { return 0; }
    LONG QryEpocAtEx(LONG, VARIANT*, LONG, DOUBLE, LONG) override { return 0; }
    LONG StartRecordEx(LONG, BSTR, BSTR) override { return 0; }
    LONG SetUseSortName(LONG, BSTR, LONG) override { return 0; }
    LONG SaveSortCode(LONG, LONG, LONG, BSTR, VARIANT*, BSTR, LONG) override { return 0; }
    LONG GetSortNameList(LONG, LONG, LONG, LONG, VARIANT*) override { return 0; }
    LONG GetSortCondition(LONG, LONG, LONG, BSTR, LONG, BSTR*) override { return 0; }
    LONG DeleteSortCode(LONG, LONG, LONG, BSTR, LONG) override { return 0; }
    LONG GetSortChanMap(LONG, LONG, BSTR, LONG, BSTR*) override { return 0; }
    LONG SetRecordOption(LONG, DOUBLE, LONG, BSTR) override { return 0; }

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
