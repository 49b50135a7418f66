// Our tank engine through the client, each figure beside a baseline of the
// same run that does the same bytes with nothing but the system or memory:
//   - appending scalar events and 16-channel stream records with SaveEvents,
//     the engine's durability policy in force (its writer syncs data and
//     frames once a second), against write() of the same rows to a file in
//     the same folder, never synced;
//   - reading a whole 16-channel, 60 s block at 24414.0625 Hz in records of
//     256 samples with GetEvents in batches of 1000, against read() of the
//     same records from one file;
//   - GetWaves over that block, against a copy of its output bytes, and
//     against H5Dread of the same matrix of floats from an HDF5 file into a
//     new buffer, as a user of that format reads it (without HDF5 at build
//     time that case is left out).
// A baseline runs just before its engine case, which reports "x_baseline":
// its time per iteration over the baseline's, i.e. how many times slower;
// GetWaves reports "x_hdf5" in the same way.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#ifdef ORVO_BENCH_HDF5
#include <hdf5.h>
#endif

#include <orvo/platform/safearray.h>
#include "platform/large_blocks.h"
#include "bench/bench_tank.h"
#include "tools/orvo/wave_read.h"

namespace {

using namespace orvo::bench;

constexpr LONG kScalarBatch = 100;

enum Work { kScalarAppend, kStreamAppend, kBlockRead, kWaveRead, kHdf5Read, kWorks };
double g_baselineSeconds[kWorks] = {};  // per iteration

void KeepBaseline(const benchmark::State& state, Work work, double seconds)
{
    if (state.iterations() > 0) {
        g_baselineSeconds[work] = seconds / static_cast<double>(state.iterations());
    }
}

void AgainstBaseline(benchmark::State& state, Work work, double seconds, const char* counter = "x_baseline")
{
    if (state.iterations() > 0 && g_baselineSeconds[work] > 0) {
        state.counters[counter] = seconds / static_cast<double>(state.iterations()) / g_baselineSeconds[work];
    }
}

// A size in /proc/self/status ("VmRSS", "VmHWM"), in bytes.
double StatusBytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::strtod(line.c_str() + field.size() + 1, nullptr) * 1024;
        }
    }
    return 0;
}

// From here on the peak ("VmHWM") counts from the present resident size.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

t::Records ScalarBatch()
{
    t::Records records;
    for (LONG i = 0; i < kScalarBatch; ++i) {
        SQHead head{};
        head.type = 0x0201;
        head.code = orvo::PackStoreCode("Scal");
        head.channel = static_cast<std::uint16_t>(i % t::kChannels + 1);
        head.timeStamp = i * 1e-3;
        head.value = i;
        head.dataFormat = 4;
        records.push_back(t::MakeRecord(head));
    }
    return records;
}

// The minute block's tank, a client that records into it and a client that
// reads the block, made once.
class Session {
public:
    Session()
    {
        ready = tank.ready && reader.ConnectServer("", "BenchReader") > 0 && OpenMinute(reader, tank);
        if (ready) {
            Variant waves;
            ready = reader.GetWaves(orvo::PackStoreCode("Wav1"), waves.out()) > 0;
            if (ready) {
                LONG lastWord = 0, lastRow = 0;
                SafeArrayGetUBound(waves->parray, 1, &lastWord);
                SafeArrayGetUBound(waves->parray, 2, &lastRow);
                waveWords = static_cast<std::size_t>(lastWord) + 1;
                waveRows = static_cast<std::size_t>(lastRow) + 1;
                waveFloats = waveWords * waveRows;
                hdf5Written = WriteHdf5(static_cast<const float*>(waves->parray->pvData));
            }
        }
    }
    ~Session() { reader.ReleaseServer(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string File(const char* name) const { return tank.File(name); }
    std::filesystem::path BlockDir(const std::string& name) const { return tank.BlockDir(name); }

    MinuteTank tank;
    OrvoCI& writer = tank.writer;
    bool ready = false;
    OrvoCI reader;
    std::size_t waveWords = 0;
    std::size_t waveRows = 0;
    std::size_t waveFloats = 0;
    bool hdf5Written = false;

private:
    // The waveforms as a contiguous float32 dataset "waves" of rows by words.
    bool WriteHdf5([[maybe_unused]] const float* waves) const
    {
#ifdef ORVO_BENCH_HDF5
        const hid_t file = H5Fcreate(File("minute.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        if (file < 0) {
            return false;
        }
        const hsize_t dims[2] = {waveRows, waveWords};
        const hid_t space = H5Screate_simple(2, dims, nullptr);
        const hid_t set = H5Dcreate2(file, "waves", H5T_IEEE_F32LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const bool written = set >= 0 && H5Dwrite(set, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, waves) >= 0;
        if (set >= 0) {
            H5Dclose(set);
        }
        H5Sclose(space);
        return H5Fclose(file) >= 0 && written;
#else
        return false;
#endif
    }
};

Session& TheSession()
{
    static Session session;
    return session;
}

// Appends `rows` (`count` records) in a fresh block per run, which goes
// again afterwards so that the tank does not grow with the run.
void Append(benchmark::State& state, const std::vector<LONG>& rows, LONG count, Work work)
{
    Session& s = TheSession();
    if (!s.ready || s.writer.StartRecord("Append") == 0) {
        state.SkipWithError("the engine does not record");
        return;
    }
    const std::string block = s.writer.GetHotBlock().GetString();
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        if (s.writer.SaveEvents(rows.data(), count) != count) {
            state.SkipWithError("SaveEvents refused the batch");
            break;
        }
    }
    const double seconds = SecondsSince(begin);
    s.writer.StopRecord();
    std::error_code ignored;
    std::filesystem::remove_all(s.BlockDir(block), ignored);
    Rates(state, count, static_cast<double>(rows.size() * sizeof(LONG)));
    AgainstBaseline(state, work, seconds);
}

void WritePlain(benchmark::State& state, const std::vector<LONG>& rows, LONG count, Work work)
{
    Session& s = TheSession();
    const std::string path = s.File("plain.raw");
    const int fd = s.ready ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644) : -1;
    if (fd < 0) {
        state.SkipWithError("no file to write");
        return;
    }
    const auto bytes = static_cast<ssize_t>(rows.size() * sizeof(LONG));
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        if (::write(fd, rows.data(), static_cast<std::size_t>(bytes)) != bytes) {
            state.SkipWithError("write failed");
            break;
        }
    }
    const double seconds = SecondsSince(begin);
    ::close(fd);
    ::unlink(path.c_str());
    Rates(state, count, static_cast<double>(bytes));
    KeepBaseline(state, work, seconds);
}

void WriteScalars(benchmark::State& state) { WritePlain(state, t::Rows(ScalarBatch()), kScalarBatch, kScalarAppend); }
void SaveScalars(benchmark::State& state) { Append(state, t::Rows(ScalarBatch()), kScalarBatch, kScalarAppend); }
void WriteStreams(benchmark::State& state)
{
    WritePlain(state, t::Rows(t::StreamRecords("Wav1", t::kFloatFormat, 0)), t::kChannels, kStreamAppend);
}
void SaveStreams(benchmark::State& state)
{
    Append(state, t::Rows(t::StreamRecords("Wav1", t::kFloatFormat, 0)), t::kChannels, kStreamAppend);
}

void ReadPlain(benchmark::State& state)
{
    Session& s = TheSession();
    const int fd = s.ready ? ::open(s.File("minute.raw").c_str(), O_RDONLY) : -1;
    if (fd < 0) {
        state.SkipWithError("no block to read");
        return;
    }
    const std::size_t batchBytes = kReadBatch * kStreamRecordBytes;
    const std::unique_ptr<char[]> buffer(new char[batchBytes]);
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        double total = 0;
        for (off_t at = 0;; at += static_cast<off_t>(batchBytes)) {
            const ssize_t got = ::pread(fd, buffer.get(), batchBytes, at);
            if (got <= 0) {
                break;
            }
            total += static_cast<double>(got);
        }
        if (total != kMinuteBytes) {
            state.SkipWithError("the plain file is short");
            break;
        }
    }
    const double seconds = SecondsSince(begin);
    ::close(fd);
    Rates(state, kMinuteRecordCount, kMinuteBytes);
    KeepBaseline(state, kBlockRead, seconds);
}

void ReadEvents(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the engine does not record");
        return;
    }
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        if (ReadMinuteRecords(s.reader) != kMinuteRecordCount) {
            state.SkipWithError("GetEvents did not read the whole block");
            break;
        }
    }
    Rates(state, kMinuteRecordCount, kMinuteBytes);
    AgainstBaseline(state, kBlockRead, SecondsSince(begin));
}

void CopyWaveBytes(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the engine does not record");
        return;
    }
    const std::size_t bytes = s.waveFloats * sizeof(float);
    const std::unique_ptr<char[]> from(new char[bytes]()), to(new char[bytes]);
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        std::memcpy(to.get(), from.get(), bytes);
        benchmark::DoNotOptimize(to.get());
        benchmark::ClobberMemory();
    }
    const double seconds = SecondsSince(begin);
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(s.waveFloats), benchmark::Counter::kIsIterationInvariantRate);
    KeepBaseline(state, kWaveRead, seconds);
}

#ifdef ORVO_BENCH_HDF5
void ReadHdf5(benchmark::State& state)
{
    Session& s = TheSession();
    const hid_t file = s.hdf5Written ? H5Fopen(s.File("minute.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT) : -1;
    if (file < 0) {
        state.SkipWithError("no HDF5 file to read");
        return;
    }
    const hid_t set = H5Dopen2(file, "waves", H5P_DEFAULT);
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        const std::unique_ptr<float[]> waves(new float[s.waveFloats]);
        if (set < 0 || H5Dread(set, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, waves.get()) < 0) {
            state.SkipWithError("H5Dread failed");
            break;
        }
        benchmark::DoNotOptimize(waves.get());
    }
    const double seconds = SecondsSince(begin);
    if (set >= 0) {
        H5Dclose(set);
    }
    H5Fclose(file);
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(s.waveFloats), benchmark::Counter::kIsIterationInvariantRate);
    KeepBaseline(state, kHdf5Read, seconds);
}
#endif

// Also the memory a call needs at its peak over its output's bytes
// ("peak_x_output"): the resident peak over what was resident before, the
// large blocks that earlier cases left for reuse given back first. The first
// call of a case, with no block to reuse, as a script's only read would be,
// is timed on its own ("first_ms"). The whole block, and (range 1) 10 s from
// its middle, whose reads must not cost time or memory in proportion to the
// block.
void GetWaves(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the engine does not record");
        return;
    }
    const bool range = state.range(0) != 0;
    s.reader.SetGlobal(orvo::tool::kT1Setting, range ? 25.0 : 0.0);
    s.reader.SetGlobal(orvo::tool::kT2Setting, range ? 35.0 : 0.0);
    orvo::LetGoKeptBlocks();
    ResetPeakMemory();
    const double before = StatusBytes("VmRSS");
    std::size_t outputBytes = 0;
    const auto read = [&] {
        Variant waves;
        if (s.reader.GetWaves(orvo::PackStoreCode("Wav1"), waves.out()) < 1) {
            return false;
        }
        LONG lastWord = 0, lastRow = 0;
        SafeArrayGetUBound(waves->parray, 1, &lastWord);
        SafeArrayGetUBound(waves->parray, 2, &lastRow);
        outputBytes =
            (static_cast<std::size_t>(lastWord) + 1) * (static_cast<std::size_t>(lastRow) + 1) * sizeof(float);
        return true;
    };
    Clock::time_point begin = Clock::now();
    const bool first = read();
    state.counters["first_ms"] = SecondsSince(begin) * 1e3;
    begin = Clock::now();
    for (auto _ : state) {
        if (!first || !read()) {
            state.SkipWithError("GetWaves read nothing");
            break;
        }
    }
    const double seconds = SecondsSince(begin);
    s.reader.SetGlobal(orvo::tool::kT1Setting, 0.0);
    s.reader.SetGlobal(orvo::tool::kT2Setting, 0.0);
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(outputBytes / sizeof(float)),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peak_x_output"] = (StatusBytes("VmHWM") - before) / static_cast<double>(outputBytes);
    if (!range) {
        AgainstBaseline(state, kWaveRead, seconds);
        AgainstBaseline(state, kHdf5Read, seconds, "x_hdf5");
    }
}

BENCHMARK(WriteScalars)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(SaveScalars)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(WriteStreams)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(SaveStreams)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ReadPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CopyWaveBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef ORVO_BENCH_HDF5
BENCHMARK(ReadHdf5)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK(GetWaves)->ArgName("range")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
