// A filtered read of our engine: 600 trials of a stimulus store over a 600 s
// block of 1 kHz scalar events, a filter choosing three of its five
// frequencies (360 trials, 30 % of the events), the whole block read with
// GetEvents in batches of 1000 through the filter, with and without the epoc
// index. The baseline, run first, reads the same events unfiltered: each
// valid range as its own window. Engine cases report "x_baseline", their time
// per iteration over the baseline's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "bench/bench_tank.h"

namespace {

using orvo::bench::ScratchTank;

constexpr int kSeconds = 600;
constexpr int kEventsPerSecond = 1000;
constexpr int kSaveBatch = 10000;
constexpr LONG kReadBatch = 1000;
constexpr double kFreqs[] = {500, 1000, 2000, 4000, 8000};
const char* const kFilter = "Stim>=1000;Stim<=4000";

using Clock = std::chrono::steady_clock;

double g_baselineSeconds = 0;  // per iteration

class Session {
public:
    Session()
    {
        ready = tank.ready && Record() && client.SelectBlock("Long") != 0 && client.SetFilterWithDesc(kFilter) == 2;
        double* table = nullptr;
        const LONG n = ready ? client.GetValidTimeRanges(&table, 100000) : 0;
        for (LONG i = 0; i < n; ++i) {
            ranges.push_back({table[2 * i], table[2 * i + 1]});
        }
        client.ResetFilters();
        ready = ready && n == 360;
    }

    ScratchTank tank{"BenchFilter"};
    OrvoCI& client = tank.client;
    bool ready = false;
    std::vector<TimeRange> ranges;

private:
    bool Record()
    {
        bool good = client.StartRecord("Long") != 0;
        for (int first = 0; good && first < kSeconds * kEventsPerSecond; first += kSaveBatch) {
            LONG pos = 0;
            for (int i = first; i < first + kSaveBatch; ++i) {
                pos = client.BuildScalarEv(pos, "Spik", 1, i / static_cast<double>(kEventsPerSecond), i);
            }
            good = client.SaveEvents(nullptr, kSaveBatch) == kSaveBatch;
        }
        LONG pos = 0;
        for (int trial = 0; trial < kSeconds; ++trial) {
            pos = client.BuildStrobeEv(pos, "Stim", trial + 0.25, kFreqs[trial % 5], nullptr);
            pos = client.BuildStrobeEv(pos, "Stim", trial + 0.75, 0, "Stim");
        }
        good = good && client.SaveEvents(nullptr, pos / 10) == pos / 10;
        client.StopRecord();
        return good;
    }
};

Session& TheSession()
{
    static Session session;
    return session;
}

// Every event of a window, in batches; how many.
LONG ReadWindow(OrvoCI& client, double start, double end)
{
    const LONG code = orvo::PackStoreCode("Spik");
    LONG total = 0;
    for (LONG n = client.GetEvents(nullptr, kReadBatch, code, 0, 0, start, end, 0); n > 0;
         n = client.GetEvents(nullptr, kReadBatch, code, 0, 0, start, end, 1)) {
        total += n;
    }
    return total;
}

void Report(benchmark::State& state, LONG events, double seconds, bool baseline)
{
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsIterationInvariantRate);
    if (state.iterations() == 0) {
        return;
    }
    const double perIteration = seconds / static_cast<double>(state.iterations());
    if (baseline) {
        g_baselineSeconds = perIteration;
    } else if (g_baselineSeconds > 0) {
        state.counters["x_baseline"] = perIteration / g_baselineSeconds;
    }
}

void UnfilteredRanges(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("no block to read");
        return;
    }
    LONG events = 0;
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        events = 0;
        for (const TimeRange& range : s.ranges) {
            events += ReadWindow(s.client, range.start, range.end);
        }
    }
    state.counters["events"] = events;
    Report(state, events, std::chrono::duration<double>(Clock::now() - begin).count(), true);
}

void Filtered(benchmark::State& state, bool indexed)
{
    Session& s = TheSession();
    if (!s.ready || s.client.SetFilterWithDesc(kFilter) != 2 || (indexed && s.client.CreateEpocIndexing() != 1)) {
        state.SkipWithError("no filter");
        return;
    }
    LONG events = 0;
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        events = ReadWindow(s.client, 0, 0);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    s.client.ResetFilters();
    s.client.ClearEpocIndexing();
    state.counters["events"] = events;
    Report(state, events, seconds, false);
}

void FilteredRead(benchmark::State& state) { Filtered(state, false); }
void FilteredIndexedRead(benchmark::State& state) { Filtered(state, true); }

}  // namespace

BENCHMARK(UnfilteredRanges)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FilteredRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FilteredIndexedRead)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
