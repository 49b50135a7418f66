// demo: records a block of made-up data through the library, reads it back
// and shows what came back, in numbers and pictures.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/orvo/commands.h"
#include "tools/orvo/demo_recording.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/png_chart.h"

namespace orvo::tool {

namespace {

namespace fs = std::filesystem;

constexpr char kTankName[] = "OrvoDemo";
constexpr double kMaxSeconds = 600.0;
constexpr double kPictureSeconds = 2.0;
constexpr int kTrialChannel = 1;
constexpr double kBaseline = 0.05;  // s of signal shown before each tone
// Every tone of the demo: the valid ranges become the trials.
constexpr char kTrialFilter[] = "Freq > 0";

fs::path PrepareFolder(const std::string& folder)
{
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
        throw Failure("cannot make the folder " + folder + (error ? ": " + error.message() : ""));
    }
    return fs::absolute(folder).lexically_normal();
}

void CreateTank(Session& session, const fs::path& folder, const fs::path& tank)
{
    OrvoCI& client = session.client();
    if (!fs::exists(tank) && client.InitializeTank(tank.c_str()) == 0) {
        throw Failure("cannot make the tank " + tank.string() + ": " + session.Reason());
    }
    // Registered by name too, so the other subcommands can say "OrvoDemo".
    const std::string parent = folder.string() + "/";
    if (client.AddTank(kTankName, parent.c_str()) == 0) {
        throw Failure("cannot register the tank " + tank.string() + ": " + session.Reason());
    }
}

void PrintRecorded(const RecordedBlock& block, const fs::path& tank)
{
    std::printf("Recorded block %s of tank %s (%s), %.3f s:\n", block.name.c_str(), kTankName, tank.c_str(),
                block.seconds);
    std::printf("  %s: %d channels at %.4f Hz, %llu records of %d samples\n", kStreamStore, kDemoChannels,
                kDemoRate, static_cast<unsigned long long>(block.streamRecords), kDemoRecordPoints);
    std::printf("  %s: %llu sorted spike snippets\n", kSnipStore,
                static_cast<unsigned long long>(block.snippets));
    std::printf("  %s: %zu tones (%llu onset and offset markers)\n", kEpocStore, block.trials.size(),
                static_cast<unsigned long long>(block.epocRecords));
    std::printf("  %s: %llu scalar readings\n", kScalarStore, static_cast<unsigned long long>(block.scalars));
}

void PrintWaves(const Waves& waves)
{
    std::printf("GetWaves %s: %zu channels x %zu samples at %.4f Hz = %.3f s from %.3f s\n", kStreamStore,
                waves.channels.size(), waves.samples, waves.rate, waves.seconds(), waves.start);
    std::printf("RMS per channel (\xC2\xB5V):");
    for (std::size_t i = 0; i < waves.channels.size(); ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < waves.samples; ++j) {
            sum += static_cast<double>(waves.row(i)[j]) * waves.row(i)[j];
        }
        const double rms = waves.samples == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(waves.samples));
        std::printf("%s ch%d %.1f", i % 8 == 0 ? "\n " : "", waves.channels[i], rms * 1e6);
    }
    std::printf("\n");
}

fs::path DrawWaves(const Waves& waves, const fs::path& folder)
{
    Chart chart;
    chart.title = std::string(kTankName) + ": " + kStreamStore + ", first seconds";
    chart.start = waves.start;
    chart.rate = waves.rate;
    const auto shown = std::min(waves.samples, static_cast<std::size_t>(kPictureSeconds * waves.rate));
    for (std::size_t i = 0; i < waves.channels.size(); ++i) {
        chart.rows.push_back({"ch " + std::to_string(waves.channels[i]), waves.row(i), shown});
    }
    const fs::path path = folder / "waves.png";
    WriteChartPng(path.string(), chart);
    return path;
}

// The trial-aligned rows need the engine's epocs and filters; an engine
// without them still gets the rest of the demo. Returns the picture's path,
// or an empty one when skipped.
fs::path DrawTrials(Session& session, const fs::path& folder)
{
    OrvoCI& client = session.client();
    client.ResetGlobals();
    client.ResetFilters();
    double* epocs = nullptr;
    const LONG count = client.GetEpocsEx(&epocs, StoreCode(kEpocStore), 0, 0);
    if (count < 1) {
        std::printf("Trials: the engine gives no epocs for %s yet; trial-aligned part skipped.\n",
                    kEpocStore);
        return {};
    }
    if (client.SetFilterWithDesc(kTrialFilter) < 1) {
        std::printf("Trials: %d %s epocs, but the engine takes no filters yet; trial-aligned part skipped.\n",
                    count, kEpocStore);
        return {};
    }
    // Widened ranges give each row a baseline before its tone.
    const double tolerance = client.GetFilterTolerance();
    const double lead = client.SetFilterTolerance(kBaseline) != 0 ? kBaseline : 0.0;
    Variant answer;
    const LONG trials = client.GetWavesOnTimeRange(StoreCode(kStreamStore), kTrialChannel, answer.out());
    client.ResetFilters();
    if (lead > 0.0 && tolerance >= 0.0) {
        client.SetFilterTolerance(tolerance);
    }
    if (trials < 1) {
        std::printf(
            "Trials: %d %s epocs, but GetWavesOnTimeRange gave nothing (%s); trial-aligned part skipped.\n",
            count, kEpocStore, session.Reason().c_str());
        return {};
    }
    const WaveRows rows = TakeWaveRows(*answer);
    Chart chart;
    chart.title = std::string(kStreamStore) + " channel " + std::to_string(kTrialChannel) +
                  ", one row per tone, aligned on its onset, by tone frequency";
    chart.timeLabel = "time from tone onset (s)";
    chart.start = -lead;
    chart.rate = kDemoRate;
    // Rows grouped by tone, so a unit's preference for one shows; the tone
    // of each row is the epoc in force at its onset.
    const std::vector<TimeRange>& ranges = client.ValidRanges();
    std::vector<std::pair<double, std::size_t>> order;
    for (std::size_t i = 0; i < rows.rows; ++i) {
        double tone = 0.0;
        if (rows.rows == ranges.size()) {
            client.QryEpocAt(StoreCode(kEpocStore), ranges[i].start + lead, 0, &tone);
        }
        order.emplace_back(tone, i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [tone, i] : order) {
        const std::string label =
            tone > 0.0 ? std::to_string(static_cast<int>(tone)) + " Hz" : "trial " + std::to_string(i + 1);
        chart.rows.push_back({label, rows.values.data() + i * rows.points, rows.points});
    }
    const fs::path path = folder / "trials.png";
    WriteChartPng(path.string(), chart);
    std::printf("Trials: %d %s epocs; GetWavesOnTimeRange gave %zu trials of %zu samples on channel %d.\n",
                count, kEpocStore, rows.rows, rows.points, kTrialChannel);
    return path;
}

}  // namespace

void RunDemo(const DemoOptions& options)
{
    if (!std::isfinite(options.seconds) || options.seconds < 1.0 || options.seconds > kMaxSeconds) {
        throw Failure("--seconds is from 1 to 600");
    }
    const fs::path folder = PrepareFolder(options.folder);
    const fs::path tank = folder / kTankName;
    Session session;
    CreateTank(session, folder, tank);

    session.OpenTank(tank.string(), true);
    RecordedBlock block;
    {
        Progress progress("recording");
        block = RecordDemoBlock(session, options.seconds, progress);
    }
    session.client().CloseTank();
    PrintRecorded(block, tank);

    // Read back as any other program would: a fresh open, for reading.
    session.OpenTank(tank.string(), false);
    session.SelectBlock(block.name);
    std::printf("Read back, stores of %s:\n", block.name.c_str());
    PrintStoreTable(session.client());
    Waves waves;
    {
        Progress progress("reading");
        WaveRequest request;
        request.store = kStreamStore;
        waves = ReadWaves(session, request, ScanStore(session.client(), StoreCode(request.store)),
                          [&progress](std::size_t done, std::size_t total) { progress.Update(done, total); });
    }
    PrintWaves(waves);
    const fs::path wavesPicture = DrawWaves(waves, folder);
    const fs::path trialsPicture = DrawTrials(session, folder);

    std::printf("Pictures:\n  %s\n", wavesPicture.c_str());
    if (!trialsPicture.empty()) {
        std::printf("  %s\n", trialsPicture.c_str());
    }
}

}  // namespace orvo::tool
