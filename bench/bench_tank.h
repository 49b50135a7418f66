// What the engine benchmarks share: timing and rates, a tank of their own
// with a client of the engine in this process, and the 16-channel, 60 s
// block "Minute" at 24414.0625 Hz in records of 256 samples.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "protocol/Installation.h"
#include "tests/tankengine/recording_support.h"

namespace orvo::bench {

namespace t = orvo::test;

constexpr double kSeconds = 60.0;
constexpr std::int64_t kMinuteRecords = static_cast<std::int64_t>(kSeconds * t::kRate / t::kRecordSamples);
constexpr LONG kReadBatch = 1000;
constexpr std::size_t kStreamRecordBytes = (kHeaderWords + t::kRecordSamples) * sizeof(LONG);
constexpr double kMinuteBytes = static_cast<double>(kMinuteRecords * t::kChannels * kStreamRecordBytes);
constexpr double kMinuteRecordCount = static_cast<double>(kMinuteRecords * t::kChannels);

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point begin)
{
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

inline void Rates(benchmark::State& state, double records, double bytes)
{
    state.counters["records/s"] = benchmark::Counter(records, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["bytes/s"] =
        benchmark::Counter(bytes, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1024);
}

// The records of the minute's stream store that a client's selected block
// gives, read with GetEvents in batches of kReadBatch.
inline double ReadMinuteRecords(OrvoCI& reader)
{
    const LONG code = PackStoreCode("Wav1");
    double total = 0;
    for (LONG options = 0;; options = 1) {
        const LONG n = reader.GetEvents(nullptr, kReadBatch, code, 0, 0, 0.0, 0.0, options);
        if (n < 1) {
            return total;
        }
        total += n;
    }
}

// A tank "Tank" in a temporary folder with a registry of its own, and a
// client of the engine in this process, `app`, with the tank open for
// writing; the folder goes with the object.
class ScratchTank {
public:
    explicit ScratchTank(const char* app)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        m_folder = pattern;
        ::setenv("ORVO_REGISTRY", (m_folder / "registry.db").c_str(), 1);
        // The clients registered the engine in the registry in use before;
        // this one needs it too.
        ready = RegisterInstallation() == ERROR_SUCCESS && client.ConnectServer("", app) > 0 &&
                client.InitializeTank(TankPath().c_str()) != 0 && client.OpenTank(TankPath().c_str(), 'W') != 0;
    }
    ~ScratchTank()
    {
        client.ReleaseServer();
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
        }
    }
    ScratchTank(const ScratchTank&) = delete;
    ScratchTank& operator=(const ScratchTank&) = delete;

    std::string File(const char* name) const { return (m_folder / name).string(); }
    std::string TankPath() const { return (m_folder / "Tank").string(); }
    std::filesystem::path BlockDir(const std::string& name) const { return m_folder / "Tank" / name; }

    bool ready = false;
    OrvoCI client;

private:
    std::filesystem::path m_folder;
};

// The tank with the block "Minute" recorded by its client, and the same
// records in the plain file "minute.raw" beside it.
class MinuteTank : public ScratchTank {
public:
    MinuteTank() : ScratchTank("BenchWriter") { ready = ready && RecordMinute(); }

    OrvoCI& writer = client;

private:
    bool RecordMinute()
    {
        const int plain = ::open(File("minute.raw").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool good = plain >= 0 && writer.StartRecord("Minute") != 0;
        for (std::int64_t r = 0; good && r < kMinuteRecords; ++r) {
            good = t::SaveStreamRecord(writer, "Wav1", t::kFloatFormat, r) == t::kChannels;
            const std::vector<LONG> rows = t::Rows(t::StreamRecords("Wav1", t::kFloatFormat, r));
            const auto bytes = static_cast<ssize_t>(rows.size() * sizeof(LONG));
            good = good && ::write(plain, rows.data(), static_cast<std::size_t>(bytes)) == bytes;
        }
        writer.StopRecord();
        return ::close(plain) == 0 && good;
    }
};

// Makes reader read the minute block whole with GetWaves: its grid ends with
// the records whatever the wall clock did, with room for the whole block.
inline bool OpenMinute(OrvoCI& reader, const MinuteTank& tank)
{
    if (reader.OpenTank(tank.TankPath().c_str(), 'R') == 0 || reader.SelectBlock("Minute") == 0) {
        return false;
    }
    reader.SetGlobal(5, static_cast<double>(kMinuteRecords * t::kRecordSamples) / t::kRate);  // T2
    reader.SetGlobal(13, 1 << 30);                                                           // WavesMemLimit
    return true;
}

}  // namespace orvo::bench
