// How long a recording's SaveEvents calls take, one by one, and how soon a
// reader in another process sees what was saved, with both running as a
// closed-loop experiment runs them:
//   - one scalar event per call at 1 kHz, its value the monotonic time just
//     before the call; the reader polls GetEvents in a loop and takes, for
//     each record it sees, the time from that value to the moment it saw it;
//   - 16-channel float stream batches of 10 ms at 24414.0625 Hz, 100 calls a
//     second, the reader reading them live meanwhile.
// Each prints p50, p99 and max, and the machine's load beside them: tails
// on a shared machine are rough. Arguments: --seconds=N per phase (default
// 10); others (those scripts/bench.sh passes to every benchmark) are ignored.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "protocol/Installation.h"
#include "tests/tankengine/recording_support.h"

namespace {

namespace t = orvo::test;

constexpr std::int32_t kScalarType = 0x0201;
constexpr std::int32_t kStreamType = 0x8101;
constexpr double kStreamBatchSeconds = 0.010;
constexpr LONG kReadBatch = 1000;

double MonotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Load()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    return "load " + one + " " + five + " " + fifteen;
}

void Report(const char* what, std::vector<double> seconds)
{
    if (seconds.empty()) {
        std::printf("%-58s no samples\n", what);
        return;
    }
    std::sort(seconds.begin(), seconds.end());
    const auto at = [&](double q) {
        return seconds[std::min(seconds.size() - 1, static_cast<std::size_t>(q * static_cast<double>(seconds.size())))];
    };
    std::printf("%-58s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  (%zu, %s)\n", what, at(0.5) * 1e3, at(0.99) * 1e3,
                seconds.back() * 1e3, seconds.size(), Load().c_str());
    std::fflush(stdout);
}

// A tank in a fresh folder with a registry of its own.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-latency-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_folder = pattern;
            ::setenv("ORVO_REGISTRY", (m_folder / "registry.db").c_str(), 1);
        }
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    bool ready() const { return !m_folder.empty(); }
    std::string Tank() const { return (m_folder / "Tank").string(); }

private:
    std::filesystem::path m_folder;
};

// The reader process: follows the hot block until its stop pipe closes,
// taking the delay of every scalar it sees, and reports it.
[[noreturn]] void FollowLive(const std::string& tank, int stop)
{
    OrvoCI reader;
    if (reader.ConnectServer("", "LatencyReader") <= 0 || reader.OpenTank(tank.c_str(), 'R') == 0) {
        std::fprintf(stderr, "the reader cannot open the tank\n");
        ::_exit(1);
    }
    std::vector<double> delays;
    bool selected = false;
    LONG options = 0;
    for (pollfd stopped{stop, POLLIN, 0}; ::poll(&stopped, 1, 0) == 0;) {
        if (!selected) {
            const std::string hot = reader.GetHotBlock().GetString();
            selected = !hot.empty() && reader.SelectBlock(hot.c_str()) != 0;
            continue;
        }
        const LONG n = reader.GetEvents(nullptr, kReadBatch, 0, 0, 0, 0.0, 0.0, options);
        const double seen = MonotonicSeconds();
        options = t::kContinue;
        for (LONG i = 0; i < n; ++i) {
            const SQHead head = ReadHeader(reader.GetEvPtr(i, nullptr));
            if (head.type == kScalarType) {
                delays.push_back(seen - head.value);
            }
        }
    }
    if (!delays.empty()) {
        Report("  from before SaveEvents to seen by the reader process", delays);
    }
    reader.ReleaseServer();
    ::_exit(0);
}

// Records one block while a reader process follows it, making one call per
// period with the records `batch` gives for call k; answers each call's time.
// The reader is forked before the recorder's client exists, so that it
// inherits no recording.
template <class Batch>
std::vector<double> RecordPaced(const std::string& tank, const char* block, double seconds, double period,
                                const Batch& batch)
{
    int stop[2];
    if (::pipe(stop) != 0) {
        return {};
    }
    std::fflush(stdout);
    const pid_t reader = ::fork();
    if (reader == 0) {
        ::close(stop[1]);
        FollowLive(tank, stop[0]);
    }
    ::close(stop[0]);
    std::vector<double> calls;
    OrvoCI writer;
    if (reader > 0 && writer.ConnectServer("", "LatencyWriter") > 0 && writer.OpenTank(tank.c_str(), 'W') != 0 &&
        writer.StartRecord(block) != 0) {
        const auto callsWanted = static_cast<std::int64_t>(seconds / period);
        std::vector<LONG> rows;
        LONG count = 0;
        timespec due{};
        ::clock_gettime(CLOCK_MONOTONIC, &due);
        for (std::int64_t k = 0; k < callsWanted; ++k) {
            const auto periodNs = static_cast<long>(period * 1e9);
            due.tv_nsec += periodNs;
            while (due.tv_nsec >= 1'000'000'000L) {
                due.tv_nsec -= 1'000'000'000L;
                ++due.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            const double before = MonotonicSeconds();
            batch(k, before, rows, count);
            const double begin = MonotonicSeconds();
            if (writer.SaveEvents(rows.data(), count) != count) {
                std::fprintf(stderr, "SaveEvents refused call %lld\n", static_cast<long long>(k));
                break;
            }
            calls.push_back(MonotonicSeconds() - begin);
        }
        writer.StopRecord();
    }
    writer.ReleaseServer();
    // Let the reader take in the last records before it stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::close(stop[1]);
    if (reader > 0) {
        int status = 0;
        ::waitpid(reader, &status, 0);
    }
    return calls;
}

bool MakeTank(const std::string& tank)
{
    OrvoCI maker;
    const bool made = maker.ConnectServer("", "LatencyTank") > 0 && maker.InitializeTank(tank.c_str()) != 0;
    maker.ReleaseServer();
    return made;
}

void ScalarRow(double value, std::vector<LONG>& rows)
{
    SQHead head{};
    head.size = kHeaderWords;
    head.type = kScalarType;
    head.code = orvo::PackStoreCode("Tick");
    head.channel = 1;
    head.timeStamp = value;
    head.value = value;
    rows.assign(kHeaderWords, 0);
    WriteHeader(rows.data(), head);
}

// Batch k of the stream: the samples of its 10 ms, 244 or 245 per channel.
void StreamRows(std::int64_t k, std::vector<LONG>& rows, LONG& count)
{
    const auto first = static_cast<std::int64_t>(std::floor(static_cast<double>(k) * kStreamBatchSeconds * t::kRate));
    const auto end = static_cast<std::int64_t>(std::floor(static_cast<double>(k + 1) * kStreamBatchSeconds * t::kRate));
    const auto samples = static_cast<LONG>(end - first);
    const LONG width = kHeaderWords + samples;
    rows.assign(static_cast<std::size_t>(width * t::kChannels), 0);
    for (LONG c = 1; c <= t::kChannels; ++c) {
        LONG* row = rows.data() + static_cast<std::size_t>((c - 1) * width);
        SQHead head{};
        head.size = width;
        head.type = kStreamType;
        head.code = orvo::PackStoreCode("Wave");
        head.channel = static_cast<std::uint16_t>(c);
        head.timeStamp = static_cast<double>(first) / t::kRate;
        head.dataFormat = static_cast<std::uint8_t>(t::kFloatFormat);
        head.sampleFreq = static_cast<float>(t::kRate);
        WriteHeader(row, head);
        for (LONG j = 0; j < samples; ++j) {
            row[kHeaderWords + j] = std::bit_cast<LONG>(t::FloatSample(first + j, c));
        }
    }
    count = t::kChannels;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--seconds=")) {
            seconds = std::atof(argv[i] + std::string_view("--seconds=").size());
        }
    }
    // A reader that died must not end the recorder.
    ::signal(SIGPIPE, SIG_IGN);
    Scratch scratch;
    const std::string tank = scratch.Tank();
    if (!scratch.ready() || orvo::RegisterInstallation() != ERROR_SUCCESS || !MakeTank(tank)) {
        std::fprintf(stderr, "latency_bench: the engine does not record\n");
        return 1;
    }
    std::printf("latency_bench: %g s per phase, the writer syncing once a second (%s)\n", seconds, Load().c_str());

    std::printf("one scalar per call at 1 kHz, a reader process polling:\n");
    Report("  SaveEvents call", RecordPaced(tank, "Scalars", seconds, 1e-3,
                                            [](std::int64_t, double before, std::vector<LONG>& rows, LONG& count) {
                                                ScalarRow(before, rows);
                                                count = 1;
                                            }));

    std::printf("16-channel stream batches of 10 ms at 24414.0625 Hz, a reader process polling:\n");
    Report("  SaveEvents call", RecordPaced(tank, "Streams", seconds, kStreamBatchSeconds,
                                            [](std::int64_t k, double, std::vector<LONG>& rows, LONG& count) {
                                                StreamRows(k, rows, count);
                                            }));
    return 0;
}
