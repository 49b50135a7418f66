// What opening a long block and reading one second from its middle costs, as
// the block grows: blocks of 1 M, 4 M and 16 M scalar records (1000 a
// second, so the 16 M block spans about 4.6 hours) are made once in a scratch
// folder ($ORVO_BENCH_SCRATCH, by default under the temporary folder) and
// kept for later runs. Each case opens its block, reads the 1000 records of
// one second from the middle with their headers, and reports the peak of
// the memory allocated meanwhile ("peak_bytes"); the 4 M and 16 M cases also
// report their time and peak over the 1 M case of the same run ("x_1M_time",
// "x_1M_memory"), which is the growth to look at.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "protocol/StoreCode.h"
#include "tankengine/storage/block_reader.h"
#include "tankengine/storage/block_writer.h"
#include "tankengine/storage/tank_folder.h"

namespace {

namespace tank = orvo::tank;

std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void Count(std::int64_t bytes)
{
    const std::int64_t live = g_live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

}  // namespace

// Every allocation of the process is counted, with its size kept in front of
// it so that its release is counted too.
void* operator new(std::size_t bytes)
{
    auto* block = static_cast<std::max_align_t*>(std::malloc(bytes + sizeof(std::max_align_t)));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(block) = bytes;
    Count(static_cast<std::int64_t>(bytes));
    return block + 1;
}

void operator delete(void* memory) noexcept
{
    if (memory == nullptr) {
        return;
    }
    auto* block = static_cast<std::max_align_t*>(memory) - 1;
    Count(-static_cast<std::int64_t>(*reinterpret_cast<std::size_t*>(block)));
    std::free(block);
}

void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }

namespace {

constexpr double kRecordsPerSecond = 1000.0;
constexpr std::uint64_t kBatch = 1 << 16;
const std::int32_t kCode = orvo::PackStoreCode("Tick");

std::filesystem::path ScratchTank()
{
    const char* chosen = std::getenv("ORVO_BENCH_SCRATCH");
    return chosen != nullptr ? std::filesystem::path(chosen)
                             : std::filesystem::temp_directory_path() / "orvo-long-block-bench";
}

std::string BlockName(std::uint64_t millions) { return "Scalars" + std::to_string(millions) + "M"; }

// The block of `millions` million records, made when the scratch tank lacks it.
bool MakeBlock(std::uint64_t millions)
{
    const std::filesystem::path tankDir = ScratchTank();
    if (std::filesystem::exists(tankDir / BlockName(millions))) {
        return true;
    }
    if (!tank::CreateTank(tankDir)) {
        return false;
    }
    tank::Result<tank::BlockWriter> writer = tank::BlockWriter::Create(tankDir, BlockName(millions), "", 0);
    if (!writer) {
        return false;
    }
    writer->SetSyncInterval(std::chrono::hours(1));
    std::vector<tank::Record> batch(kBatch);
    for (std::uint64_t first = 0; first < millions << 20; first += kBatch) {
        for (std::uint64_t i = 0; i < kBatch; ++i) {
            SQHead& head = batch[i].head;
            head = SQHead{};
            head.size = kHeaderWords;
            head.type = 0x0201;
            head.code = kCode;
            head.channel = 1;
            head.timeStamp = static_cast<double>(first + i) / kRecordsPerSecond;
            head.value = static_cast<double>(i);
            head.dataFormat = 4;
        }
        if (!writer->Append(batch)) {
            return false;
        }
    }
    return static_cast<bool>(writer->Close(static_cast<double>(millions << 20) / kRecordsPerSecond));
}

// Opens the block and reads the headers of the second in its middle;
// answers how many records it met.
std::uint64_t OpenAndReadMiddleSecond(std::uint64_t millions)
{
    tank::Result<tank::BlockReader> reader = tank::BlockReader::Open(ScratchTank() / BlockName(millions));
    if (!reader) {
        return 0;
    }
    const double from = static_cast<double>(millions << 19) / kRecordsPerSecond;
    tank::StoreCursor cursor(*reader, kCode, from);
    std::uint64_t met = 0;
    for (;;) {
        tank::Result<std::optional<tank::IndexEntry>> entry = cursor.Next();
        if (!entry || !*entry || (*entry)->time >= from + 1) {
            break;
        }
        if (!reader->Header((*entry)->record)) {
            return 0;
        }
        ++met;
    }
    return met;
}

double g_oneMillionSeconds = 0;  // per iteration
double g_oneMillionPeak = 0;

void OpenAndRead(benchmark::State& state)
{
    const auto millions = static_cast<std::uint64_t>(state.range(0));
    if (!MakeBlock(millions)) {
        state.SkipWithError("cannot make the block");
        return;
    }
    std::int64_t peak = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::int64_t before = g_live.load();
        g_peak.store(before);
        if (OpenAndReadMiddleSecond(millions) != static_cast<std::uint64_t>(kRecordsPerSecond)) {
            state.SkipWithError("the window did not read whole");
            return;
        }
        peak = std::max(peak, g_peak.load() - before);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() /
        static_cast<double>(state.iterations());
    state.counters["peak_bytes"] = static_cast<double>(peak);
    if (millions == 1) {
        g_oneMillionSeconds = seconds;
        g_oneMillionPeak = static_cast<double>(peak);
    } else if (g_oneMillionSeconds > 0) {
        state.counters["x_1M_time"] = seconds / g_oneMillionSeconds;
        state.counters["x_1M_memory"] = static_cast<double>(peak) / g_oneMillionPeak;
    }
}

}  // namespace

BENCHMARK(OpenAndRead)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
