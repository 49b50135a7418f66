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
constexpr double kMaxSeconds = 48 * 3600.0;
// What is read back and drawn: the first minute, so that a recording of
// hours needs no more memory than one of a minute.
constexpr double kReadBackSeconds = 60.0;
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
    const bool wasRegistered = std::string(client.GetTankItem(kTankName, "REGISTERED")) == "1";
    const std::string before(client.GetTankItem(kTankName, "PATH"));
    const std::string parent = folder.string() + "/";
    if (client.AddTank(kTankName, parent.c_str()) == 0) {
        throw Failure("cannot register the tank " + tank.string() + ": " + session.Reason());
    }
    if (wasRegistered && fs::path(before) != tank) {
        std::printf("The name %s pointed at %s; it now points at %s.\n", kTankName, Shown(before).c_str(),
                    tank.c_str());
    }
}

void PrintRecorded(const RecordedBlock& block, const fs::path& tank)
{
    std::printf("Recorded block %s of tank %s (%s), %.3f s:\n", block.name.c_str(), kTankName, tank.c_str(),
                block.seconds);
    std::printf("  %s: %s at %.4f Hz, %s of %d samples\n", kStreamStore, Counted(kDemoChannels, "channel").c_str(),
                kDemoRate, Counted(block.streamRecords, "record").c_str(), kDemoRecordPoints);
    std::printf("  %s: %s\n", kSnipStore, Counted(block.snippets, "sorted spike snippet").c_str());
    std::printf("  %s: %s (%s)\n", kEpocStore, Counted(block.trials.size(), "tone").c_str(),
                Counted(block.epocRecords, "onset and offset marker").c_str());
    std::printf("  %s: %s\n", kScalarStore, Counted(block.scalars, "scalar reading").c_str());
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

// Takes the mean of the first `baseline` samples off a row, so rows that
// drift apart start level at the onset.
void SubtractBaseline(float* row, std::size_t points, std::size_t baseline)
{
    baseline = std::min(baseline, points);
    if (baseline == 0) {
        return;
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < baseline; ++j) {
        sum += row[j];
    }
    const auto mean = static_cast<float>(sum / static_cast<double>(baseline));
    for (std::size_t j = 0; j < points; ++j) {
        row[j] -= mean;
    }
}

// The mean of rows order[first..last) and its standard error, per sample.
ChartCurve MeanOf(const WaveRows& rows, const std::vector<std::pair<double, std::size_t>>& order,
                  std::size_t first, std::size_t last, const std::string& label)
{
    ChartCurve curve{label, std::vector<float>(rows.points), std::vector<float>(rows.points)};
    const auto n = static_cast<double>(last - first);
    for (std::size_t j = 0; j < rows.points; ++j) {
        double sum = 0.0;
        double squares = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            const double value = rows.values[order[k].second * rows.points + j];
            sum += value;
            squares += value * value;
        }
        const double mean = sum / n;
        const double variance = n > 1.0 ? std::max(0.0, (squares - n * mean * mean) / (n - 1.0)) : 0.0;
        curve.mean[j] = static_cast<float>(mean);
        curve.spread[j] = static_cast<float>(std::sqrt(variance / n));
    }
    return curve;
}

// The trial-aligned rows need the engine's epocs and filters; an engine
// without them still gets the rest of the demo. Returns the picture's path,
// or an empty one when skipped.
fs::path DrawTrials(Session& session, const fs::path& folder, double until)
{
    OrvoCI& client = session.client();
    client.ResetGlobals();
    client.ResetFilters();
    client.SetGlobal(kT2Setting, until);
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
    WaveRows rows = TakeWaveRows(*answer);
    const std::vector<TimeRange>& ranges = client.ValidRanges();
    Chart chart;
    chart.title = std::string(kStreamStore) + " channel " + std::to_string(kTrialChannel) +
                  ": single tones by frequency, each less its mean before the onset";
    chart.timeLabel = "time from tone onset (s)";
    chart.start = -lead;
    chart.rate = kDemoRate;
    chart.markers.push_back({0.0, "onset"});
    if (!ranges.empty()) {
        // The ranges reach from lead before each onset to lead after its offset.
        chart.markers.push_back({ranges.front().end - ranges.front().start - 2.0 * lead, "offset"});
    }
    // Rows grouped by tone, so a unit's preference for one shows; the tone
    // of each row is the epoc in force at its onset.
    std::vector<std::pair<double, std::size_t>> order;
    for (std::size_t i = 0; i < rows.rows; ++i) {
        double tone = 0.0;
        if (rows.rows == ranges.size()) {
            client.QryEpocAt(StoreCode(kEpocStore), ranges[i].start + lead, 0, &tone);
        }
        order.emplace_back(tone, i);
        SubtractBaseline(rows.values.data() + i * rows.points, rows.points,
                         static_cast<std::size_t>(lead * kDemoRate));
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [tone, i] : order) {
        const std::string label =
            tone > 0.0 ? std::to_string(static_cast<int>(tone)) + " Hz" : "trial " + std::to_string(i + 1);
        chart.rows.push_back({label, rows.values.data() + i * rows.points, rows.points});
    }
    chart.curvesTitle = "mean response per tone frequency, with its standard error as a band";
    for (std::size_t first = 0; first < order.size();) {
        std::size_t last = first;
        while (last < order.size() && order[last].first == order[first].first) {
            ++last;
        }
        chart.curves.push_back(MeanOf(rows, order, first, last, chart.rows[first].label));
        first = last;
    }
    const fs::path path = folder / "trials.png";
    WriteChartPng(path.string(), chart);
    std::printf("Trials: %s of %s; GetWavesOnTimeRange gave %s of %zu samples on channel %d.\n",
                Counted(static_cast<std::uint64_t>(count), "epoc").c_str(), kEpocStore,
                Counted(rows.rows, "trial").c_str(), rows.points, kTrialChannel);
    return path;
}

}  // namespace

void RunDemo(const DemoOptions& options)
{
    if (!std::isfinite(options.seconds) || options.seconds < 1.0 || options.seconds > kMaxSeconds) {
        throw Failure("--seconds is from 1 to 172800 (48 hours)");
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
        request.t2 = block.seconds > kReadBackSeconds ? kReadBackSeconds : 0.0;
        waves = ReadWaves(session, request, ScanStore(session.client(), StoreCode(request.store)),
                          [&progress](std::size_t done, std::size_t total) { progress.Update(done, total); });
    }
    PrintWaves(waves);
    const fs::path wavesPicture = DrawWaves(waves, folder);
    const fs::path trialsPicture = DrawTrials(session, folder, std::min(block.seconds, kReadBackSeconds));

    std::printf("Pictures:\n  %s\n", wavesPicture.c_str());
    if (!trialsPicture.empty()) {
        std::printf("  %s\n", trialsPicture.c_str());
    }
}

}  // namespace orvo::tool
