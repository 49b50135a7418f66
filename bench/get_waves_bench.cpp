// GetWaves over a block of 16 channels, 60 s at 24414.0625 Hz in records of
// 256 samples, in Float and in Short format, at the store's own rate and
// resampled by a "WaveSF" setting; beside it, a copy of as many bytes as the
// waveforms of the block hold, to put the rates in proportion.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <orvo/OrvoCI.h>
#include "protocol/Installation.h"
#include "protocol/StoreCode.h"
#include "tests/fixtures/memory_tank_engine.h"

namespace {

constexpr int kChannels = 16;
constexpr double kRate = 24414.0625;
constexpr double kSeconds = 60.0;
constexpr int kRecordSamples = 256;
constexpr int kRecords = static_cast<int>(kSeconds * kRate / kRecordSamples);
constexpr std::int64_t kSamples = std::int64_t{kChannels} * kRecords * kRecordSamples;

// One engine holding both stores, and a client connected to it.
struct Block {
    Block()
    {
        auto* engine = new orvo::test::MemoryTankEngine;
        engine->SetBlockTimes(0.0, kSeconds);
        std::vector<float> floats(kRecordSamples);
        std::vector<std::int16_t> shorts(kRecordSamples);
        for (int r = 0; r < kRecords; ++r) {
            for (std::uint16_t channel = 1; channel <= kChannels; ++channel) {
                for (int i = 0; i < kRecordSamples; ++i) {
                    shorts[i] = static_cast<std::int16_t>((r * kRecordSamples + i) * channel % 32749 - 16374);
                    floats[i] = shorts[i] * 0.5f;
                }
                const double time = r * kRecordSamples / kRate;
                engine->AddStream<float>(orvo::PackStoreCode("Flt1"), channel, time, static_cast<float>(kRate), floats);
                engine->AddStream<std::int16_t>(orvo::PackStoreCode("Sht1"), channel, time, static_cast<float>(kRate),
                                                shorts);
            }
        }
        CoRegisterClassObject(orvo::CLSID_TankEngine, static_cast<ITankEngine*>(engine), CLSCTX_LOCAL_SERVER,
                              REGCLS_MULTIPLEUSE, &cookie);
        engine->Release();  // the class table holds it
        client.ConnectServer("", "Bench");
        client.SetGlobal(13, 1 << 30);  // room for the whole block's waveforms
    }
    ~Block()
    {
        client.ReleaseServer();
        CoRevokeClassObject(cookie);
    }
    DWORD cookie = 0;
    OrvoCI client;
};

Block& TheBlock()
{
    static Block block;
    return block;
}

void GetWaves(benchmark::State& state, const char* store, double waveRate)
{
    OrvoCI& client = TheBlock().client;
    client.SetGlobal(12, waveRate);
    for (auto _ : state) {
        Variant waves;
        if (client.GetWaves(orvo::PackStoreCode(store), waves.out()) != kChannels) {
            state.SkipWithError("GetWaves read nothing");
        }
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(kSamples), benchmark::Counter::kIsIterationInvariantRate);
}

void CopyAsManyBytes(benchmark::State& state)
{
    const auto bytes = static_cast<std::size_t>(kSamples) * sizeof(float);
    const std::unique_ptr<char[]> from(new char[bytes]()), to(new char[bytes]);
    for (auto _ : state) {
        std::memcpy(to.get(), from.get(), bytes);
        benchmark::DoNotOptimize(to.get());
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(kSamples), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(GetWaves, Float, "Flt1", 0.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(GetWaves, Short, "Sht1", 0.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(GetWaves, FloatResampled, "Flt1", 10000.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(GetWaves, ShortResampled, "Sht1", 10000.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CopyAsManyBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
