// The orvo program as users run it: a process with arguments, judged by its
// exit status, its output and the files it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>
#include <orvo/platform/variant.h>
#include "protocol/Installation.h"
#include "tests/fixtures/scratch.h"
#include "tests/tankengine/recording_support.h"

extern char** environ;

namespace {

using orvo::test::ScratchRegistry;
using testing::HasSubstr;
using testing::StartsWith;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs args[0], looked up on PATH, with the file actions given; answers its
// exit status, -1 when it did not run or did not exit.
int RunProgram(std::vector<std::string> args, const posix_spawn_file_actions_t* actions = nullptr)
{
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    int wait = 0;
    const bool ran = posix_spawnp(&child, argv[0], actions, nullptr, argv.data(), environ) == 0 &&
                     waitpid(child, &wait, 0) == child && WIFEXITED(wait);
    return ran ? WEXITSTATUS(wait) : -1;
}

// fileBlocks, when given, limits the size of every file the program writes
// (in the shell's blocks of ulimit -f), so that its writes fail part way.
Outcome Orvo(const ScratchRegistry& registry, std::vector<std::string> args, int fileBlocks = 0)
{
    const std::string outPath = registry.dir().file("stdout");
    const std::string errPath = registry.dir().file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    args.insert(args.begin(), ORVO_PROGRAM);
    if (fileBlocks > 0) {
        args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -f " + std::to_string(fileBlocks) + " && exec \"$0\" \"$@\""});
    }
    const int status = RunProgram(std::move(args), &actions);
    posix_spawn_file_actions_destroy(&actions);
    return {status, ReadFile(outPath), ReadFile(errPath)};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::uint32_t BigEndian(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

// The picture's height, after checking it is a PNG of the promised width.
std::uint32_t PngHeight(const std::string& path)
{
    const std::string png = ReadFile(path);
    if (png.size() < 24) {
        ADD_FAILURE() << "no PNG header in " << path;
        return 0;
    }
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(BigEndian(png, 16), 1600u);
    return BigEndian(png, 20);
}

struct Npy {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<float> values;
};

// Reads a .npy file as numpy would, insisting on the format we promise.
Npy ReadNpy(const std::string& path)
{
    const std::string bytes = ReadFile(path);
    Npy npy;
    if (bytes.size() < 10 || bytes.compare(0, 8, std::string("\x93NUMPY\x01\x00", 8)) != 0) {
        ADD_FAILURE() << "no .npy 1.0 preamble in " << path;
        return npy;
    }
    const std::size_t headerLength =
        static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
    const std::string header = bytes.substr(10, headerLength);
    EXPECT_EQ((10 + headerLength) % 64, 0u);
    EXPECT_EQ(header.back(), '\n');
    EXPECT_THAT(header, HasSubstr("'descr': '<f4'"));
    EXPECT_THAT(header, HasSubstr("'fortran_order': False"));
    const std::size_t shape = header.find("'shape': (");
    if (shape == std::string::npos ||
        std::sscanf(header.c_str() + shape, "'shape': (%zu, %zu)", &npy.rows, &npy.columns) != 2) {
        ADD_FAILURE() << "no two-dimensional shape in " << header;
        return npy;
    }
    EXPECT_EQ(bytes.size() - 10 - headerLength, npy.rows * npy.columns * sizeof(float));
    npy.values.resize(std::min(npy.rows * npy.columns, (bytes.size() - 10 - headerLength) / sizeof(float)));
    std::memcpy(npy.values.data(), bytes.data() + 10 + headerLength, npy.values.size() * sizeof(float));
    return npy;
}

// The same window read straight through the library.
std::vector<float> LibraryWaves(const std::string& tank, int channel, double t1, double t2)
{
    OrvoCI client;
    EXPECT_GT(client.ConnectServer("", "orvo-test"), 0);
    EXPECT_NE(client.OpenTank(tank.c_str(), 'R'), 0);
    EXPECT_NE(client.SelectBlock("Block-1"), 0);
    client.SetGlobal(2, channel);
    client.SetGlobal(4, t1);
    client.SetGlobal(5, t2);
    Variant waves;
    std::vector<float> row;
    LONG lastPoint = -1;
    constexpr LONG kWav1 = 'W' | 'a' << 8 | 'v' << 16 | '1' << 24;
    if (client.GetWaves(kWav1, waves.out()) >= 1 && SafeArrayGetUBound(waves->parray, 1, &lastPoint) == S_OK) {
        const auto* data = static_cast<const float*>(waves->parray->pvData);
        row.assign(data, data + lastPoint + 1);
    }
    return row;
}

// Two demo runs: two blocks of one tank, listed, drawn and exported.
TEST(OrvoDemo, RecordsTwiceThenListsDrawsAndExports)
{
    ScratchRegistry registry;
    const std::string folder = registry.dir().file("demo");
    Outcome demo;
    for (int run = 0; run < 2; ++run) {
        demo = Orvo(registry, {"demo", folder, "--seconds", "2"});
        ASSERT_EQ(demo.status, 0) << demo.err;
    }
    EXPECT_EQ(Orvo(registry, {"tanks"}).out, "OrvoDemo         " + folder + "/OrvoDemo  (tank)\n");
    const Outcome blocks = Orvo(registry, {"blocks", "OrvoDemo"});
    ASSERT_EQ(blocks.status, 0) << blocks.err;
    // A block lasts as long as its data, or as long as its recording took
    // on a slow machine.
    EXPECT_THAT(blocks.out, testing::MatchesRegex("Block-1 .* [2-9]\\.[0-9]{3} s\nBlock-2 .* [2-9]\\.[0-9]{3} s\n"));
    const Outcome info = Orvo(registry, {"info", "OrvoDemo", "Block-2"});
    EXPECT_THAT(info.out, testing::MatchesRegex("(.|\n)*Length:   [2-9]\\.[0-9]{3} s\n(.|\n)*"));
    EXPECT_THAT(info.out, HasSubstr("Wav1  Stream"));
    const Outcome stores = Orvo(registry, {"stores", "OrvoDemo", "Block-1"});
    ASSERT_EQ(stores.status, 0) << stores.err;
    for (const char* row : {"Wav1  Stream", "Snip  Snip", "Freq  Strobe+", "Temp  Scalar", "24414.0625"}) {
        EXPECT_THAT(stores.out, HasSubstr(row));
    }

    const std::uint32_t allChannels = PngHeight(folder + "/waves.png");
    EXPECT_GT(allChannels, 500u);
    // The trial rows need the engine's epocs and filters; without them the
    // demo says so and draws no trial picture.
    if (demo.out.find("trial-aligned part skipped") == std::string::npos) {
        EXPECT_THAT(demo.out, HasSubstr(folder + "/trials.png"));
        EXPECT_GT(PngHeight(folder + "/trials.png"), 100u);
    } else {
        EXPECT_FALSE(std::ifstream(folder + "/trials.png"));
    }
    const std::string picture = registry.dir().file("four.png");
    const Outcome plot = Orvo(registry, {"plot", "OrvoDemo", "Block-1", "Wav1", "--channels", "1-4", "--t1",
                                         "0.5", "--t2", "1", "-o", picture});
    ASSERT_EQ(plot.status, 0) << plot.err;
    const std::uint32_t fourChannels = PngHeight(picture);
    EXPECT_GT(fourChannels, 100u);
    EXPECT_LT(fourChannels, allChannels);

    // Both export formats hold what GetWaves gives for the same window.
    const std::string npyPath = registry.dir().file("w.npy");
    const std::string csvPath = registry.dir().file("w.csv");
    std::vector<std::string> window = {"export", "OrvoDemo", "Block-1", "Wav1", "--channels",
                                       "2,5",    "--t1",     "0.25",    "--t2", "1.25", "-o"};
    window.push_back(csvPath);
    ASSERT_EQ(Orvo(registry, window).status, 0);
    window.back() = npyPath;
    window.insert(window.end(), {"--format", "npy"});
    ASSERT_EQ(Orvo(registry, window).status, 0);
    const Npy npy = ReadNpy(npyPath);
    ASSERT_EQ(npy.rows, 2u);
    EXPECT_NEAR(static_cast<double>(npy.columns), 24414.0625, 2.0);
    const std::vector<float> channel5 = LibraryWaves(folder + "/OrvoDemo", 5, 0.25, 1.25);
    ASSERT_EQ(channel5.size(), npy.columns);
    EXPECT_TRUE(std::equal(channel5.begin(), channel5.end(),
                           npy.values.begin() + static_cast<std::ptrdiff_t>(npy.columns)));

    std::istringstream csv(ReadFile(csvPath));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "time_s,ch2,ch5");
    std::size_t lines = 0;
    double time = 0.0;
    float first = 0.0f;
    float second = 0.0f;
    while (std::getline(csv, line) && std::sscanf(line.c_str(), "%lf,%f,%f", &time, &first, &second) == 3) {
        EXPECT_EQ(first, npy.values[lines]);
        EXPECT_EQ(second, npy.values[npy.columns + lines]);
        ++lines;
    }
    EXPECT_EQ(lines, npy.columns);
    EXPECT_NEAR(time, 1.25, 1e-3);

    // An export that cannot be written whole leaves the earlier file as it
    // was, and nothing beside it.
    signal(SIGXFSZ, SIG_IGN);  // writes past the limit then fail, as on a full disk
    for (const std::string& path : {csvPath, npyPath}) {
        const std::string before = ReadFile(path);
        window.back() = path == csvPath ? "csv" : "npy";
        window[window.size() - 3] = path;
        const Outcome failed = Orvo(registry, window, 16);
        EXPECT_EQ(failed.status, 1);
        EXPECT_THAT(failed.err, StartsWith("orvo: cannot write " + path + ": File too large"));
        EXPECT_TRUE(ReadFile(path) == before) << path << " was changed";
    }
    std::size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(registry.dir().path())) {
        leftovers += entry.path().filename().string().ends_with(".part") ? 1 : 0;
    }
    EXPECT_EQ(leftovers, 0u);

    // The whole stream: exactly the samples recorded, none past the last.
    long records = 0;
    const std::size_t row = stores.out.find("Wav1  Stream");
    ASSERT_NE(row, std::string::npos);
    ASSERT_EQ(std::sscanf(stores.out.c_str() + row, "Wav1 Stream %*d %*s %*f %ld", &records), 1);
    ASSERT_EQ(Orvo(registry, {"export", "OrvoDemo", "Block-1", "Wav1", "--channels", "16", "-o", csvPath}).status, 0);
    EXPECT_EQ(Lines(ReadFile(csvPath)).size(), 1 + static_cast<std::size_t>(records / 16 * 256));
}

// A FUSE mount refuses the rename flag that publishes blocks on local disks;
// the demo records, reads back and draws there all the same, and the check
// finds its block whole.
TEST(OrvoDemo, RecordsOnAFuseMount)
{
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "no FUSE here: /dev/fuse is missing or not usable";
    }
    ScratchRegistry registry;
    const std::string source = registry.dir().file("source");
    const std::string mount = registry.dir().file("mount");
    std::filesystem::create_directory(source);
    std::filesystem::create_directory(mount);
    if (RunProgram({"bindfs", source, mount}) != 0) {
        GTEST_SKIP() << "bindfs is missing or cannot mount here";
    }
    struct Unmount {
        ~Unmount()
        {
            if (RunProgram({"fusermount", "-u", point}) != 0) {
                RunProgram({"fusermount3", "-u", point});
            }
        }
        std::string point;
    } unmount{mount};

    const Outcome demo = Orvo(registry, {"demo", mount + "/demo", "--seconds", "1"});
    ASSERT_EQ(demo.status, 0) << demo.err;
    EXPECT_TRUE(std::filesystem::exists(source + "/demo/OrvoDemo/Block-1/events.hdr"));
    EXPECT_GT(PngHeight(mount + "/demo/waves.png"), 500u);
    const Outcome checked = Orvo(registry, {"check", "OrvoDemo"});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_THAT(checked.out, testing::MatchesRegex("Block-1: ok, [0-9]+ records\n"));
}

// Stores that are not streams export their events, with the columns their
// kind has, never as a waveform of made-up channels.
TEST(OrvoExport, EventStoresExportTheirEvents)
{
    ScratchRegistry registry;
    ASSERT_EQ(Orvo(registry, {"demo", registry.dir().file("demo"), "--seconds", "2"}).status, 0);
    const std::string csvPath = registry.dir().file("e.csv");
    auto exported = [&](const char* store, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"export", "OrvoDemo", "Block-1", store, "-o", csvPath};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome outcome = Orvo(registry, args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return Lines(ReadFile(csvPath));
    };

    const std::vector<std::string> temperature = exported("Temp");
    ASSERT_EQ(temperature.size(), 2u);  // the one reading, also the last
    EXPECT_EQ(temperature[0], "time_s,value,channel,sort_code");
    EXPECT_THAT(temperature[1], testing::MatchesRegex("1\\.000000000,[0-9.]+,1,0"));

    const std::vector<std::string> tones = exported("Freq");
    ASSERT_EQ(tones.size(), 3u);
    EXPECT_EQ(tones[0], "time_s,value,offset_s");
    for (std::size_t i = 1; i < tones.size(); ++i) {
        double onset = 0.0, value = 0.0, offset = 0.0;
        ASSERT_EQ(std::sscanf(tones[i].c_str(), "%lf,%lf,%lf", &onset, &value, &offset), 3) << tones[i];
        EXPECT_GT(value, 0.0);
        EXPECT_GT(offset, onset);
    }

    const std::vector<std::string> spikes = exported("Snip", {"--channels", "3", "--t2", "1"});
    ASSERT_GT(spikes.size(), 1u);
    EXPECT_THAT(spikes[0], StartsWith("time_s,v1,v2,"));
    EXPECT_THAT(spikes[0], testing::EndsWith(",v30,channel,sort_code"));
    for (std::size_t i = 1; i < spikes.size(); ++i) {
        EXPECT_THAT(spikes[i], testing::MatchesRegex("0\\.[0-9]+,([^,]+,){30}3,[0-9]+")) << i;
    }
    const std::string npyPath = registry.dir().file("e.npy");
    ASSERT_EQ(Orvo(registry, {"export", "OrvoDemo", "Block-1", "Snip", "--channels", "3", "--t2", "1", "--format",
                              "npy", "-o", npyPath})
                  .status,
              0);
    const std::string npy = ReadFile(npyPath);
    ASSERT_GT(npy.size(), 10u);
    const std::size_t headerLength = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9]) << 8;
    const std::string header = npy.substr(10, headerLength);
    EXPECT_THAT(header, HasSubstr("'descr': [('time_s', '<f8'), ('values', '<f4', (30,)), ('channel', '<i4'), "
                                  "('sort_code', '<i4')]"));
    EXPECT_THAT(header, HasSubstr("'shape': (" + std::to_string(spikes.size() - 1) + ",)"));
    EXPECT_EQ(npy.size() - 10 - headerLength, (spikes.size() - 1) * (8 + 30 * 4 + 4 + 4));

    const Outcome plot = Orvo(registry, {"plot", "OrvoDemo", "Block-1", "Temp", "-o", registry.dir().file("t.png")});
    EXPECT_EQ(plot.status, 1);
    EXPECT_THAT(plot.err, HasSubstr("\"Temp\" is a scalar store"));
}

// A block still being recorded exports as it was when the export began:
// every channel up to where all of them were recorded, and the tool says so;
// watching it follows the records until it stops.
TEST(OrvoExport, BlockBeingRecordedIsOneSnapshot)
{
    using namespace orvo::test;
    ScratchRegistry registry;
    OrvoCI recorder;
    ASSERT_GT(recorder.ConnectServer("", "Recorder"), 0);
    // A tank is registered by the folder it lies in.
    ASSERT_TRUE(recorder.AddTank("Live", registry.dir().path().c_str()));
    ASSERT_TRUE(recorder.InitializeTank(registry.dir().file("Live").c_str()));
    ASSERT_TRUE(recorder.OpenTank("Live", 'W'));
    ASSERT_TRUE(recorder.StartRecord(""));
    constexpr int kRecords = 10;
    for (int record = 0; record < kRecords; ++record) {
        ASSERT_EQ(SaveStreamRecord(recorder, "Wav1", kFloatFormat, record), kChannels);
    }
    // Channel 3 is one record ahead of the others.
    const std::vector<LONG> ahead = Rows({StreamRecords("Wav1", kFloatFormat, kRecords)[2]});
    ASSERT_EQ(recorder.SaveEvents(ahead.data(), 1), 1);

    const std::string csvPath = registry.dir().file("live.csv");
    const Outcome live = Orvo(registry, {"export", "Live", "Block-1", "Wav1", "--channels", "1,3", "-o", csvPath});
    ASSERT_EQ(live.status, 0) << live.err;
    EXPECT_THAT(live.out, HasSubstr("still being recorded"));
    const std::vector<std::string> lines = Lines(ReadFile(csvPath));
    ASSERT_EQ(lines.size(), 1 + static_cast<std::size_t>(kRecords * kRecordSamples));
    float first = 0.0f, third = 0.0f;
    ASSERT_EQ(std::sscanf(lines.back().c_str(), "%*f,%f,%f", &first, &third), 2);
    EXPECT_EQ(first, FloatSample(kRecords * kRecordSamples - 1, 1));
    EXPECT_EQ(third, FloatSample(kRecords * kRecordSamples - 1, 3));

    // Watched while the recording goes on for a few seconds: into a pipe, a
    // line a second with every channel's RMS, and a last line at the stop.
    // Store Lag1 gets as many records as Wav1, at half its times, each time
    // twice: far behind what the watch has read of Wav1.
    std::thread recording([&recorder] {
        for (int record = kRecords + 1; record < kRecords + 300; ++record) {
            if (SaveStreamRecord(recorder, "Wav1", kFloatFormat, record) != kChannels ||
                SaveStreamRecord(recorder, "Lag1", kFloatFormat, record / 2) != kChannels) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        recorder.StopRecord();
    });
    const Outcome watched = Orvo(registry, {"watch", "Live"});
    recording.join();
    ASSERT_EQ(watched.status, 0) << watched.err;
    const std::vector<std::string> reports = Lines(watched.out);
    ASSERT_GE(reports.size(), 3u) << watched.out;
    EXPECT_THAT(reports.front(), HasSubstr("Watching block Block-1"));
    EXPECT_THAT(reports.back(), HasSubstr("Block Block-1 is no longer being recorded (stopped)"));
    // The samples are spread evenly over +-16384, whose RMS is 16384 / sqrt(3).
    const auto reported = std::find_if(reports.begin(), reports.end(),
                                       [](const std::string& line) { return line.find("Wav1 ") != line.npos; });
    ASSERT_NE(reported, reports.end()) << watched.out;
    const std::string report = reported->substr(reported->find("Wav1 "));
    for (int channel = 1; channel <= kChannels; ++channel) {
        const std::string label = " " + std::to_string(channel) + ":";
        const std::size_t at = report.find(label);
        ASSERT_NE(at, std::string::npos) << "no RMS of channel " << channel << " in " << report;
        const double rms = std::strtod(report.c_str() + at + label.size(), nullptr);
        EXPECT_NEAR(rms, 16384 / std::sqrt(3.0), 1500) << "channel " << channel << " in " << report;
    }
    // Every record of the lagging store is counted, once.
    const auto rate = [](const std::string& line, const char* store) {
        const std::size_t at = line.find(std::string(store) + " ");
        return at == std::string::npos ? -1.0 : std::strtod(line.c_str() + at + 5, nullptr);
    };
    double wavRates = 0.0, lagRates = 0.0;
    for (const std::string& line : reports) {
        if (rate(line, "Wav1") > 0.0) {
            EXPECT_GT(rate(line, "Lag1"), 0.0) << line;
            wavRates += rate(line, "Wav1");
            lagRates += std::max(rate(line, "Lag1"), 0.0);
        }
    }
    EXPECT_NEAR(lagRates, wavRates, 0.25 * wavRates) << watched.out;
}

// Damage is reported where it is met and never read as data or taken for a
// block's end; the blocks around it stay listed and readable.
TEST(OrvoCheck, DamageIsReportedNeverReadAsData)
{
    ScratchRegistry registry;
    const std::filesystem::path tank = registry.dir().path() / "demo" / "OrvoDemo";
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(Orvo(registry, {"demo", registry.dir().file("demo"), "--seconds", "1"}).status, 0);
    }
    const Outcome whole = Orvo(registry, {"check", "OrvoDemo"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_THAT(whole.out, testing::MatchesRegex("Block-1: ok, [0-9]+ records\nBlock-2: ok, [0-9]+ records\n"
                                                 "Block-3: ok, [0-9]+ records\n"));

    // Data bytes in the middle of Block-1: the export fails, naming what.
    const std::filesystem::path data = tank / "Block-1" / "events.dat";
    ASSERT_TRUE(orvo::test::InvertBytes(data, std::filesystem::file_size(data) / 2, 64));
    const std::string csvPath = registry.dir().file("w.csv");
    const Outcome exported = Orvo(registry, {"export", "OrvoDemo", "Block-1", "Wav1", "-o", csvPath});
    EXPECT_EQ(exported.status, 1);
    EXPECT_THAT(exported.err, testing::MatchesRegex("orvo: reading channel [0-9]+ of \"Wav1\" failed: .*record "
                                                    "[0-9]+ of .*Block-1: data checksum mismatch.*\n"));
    EXPECT_FALSE(std::filesystem::exists(csvPath));

    // A frame in the middle of Block-2's header file: damage, not the end.
    const std::filesystem::path headers = tank / "Block-2" / "events.hdr";
    const std::uint64_t frames = (std::filesystem::file_size(headers) - 16) / 72;
    ASSERT_TRUE(orvo::test::InvertBytes(headers, 16 + frames / 2 * 72 + 20, 4));
    const Outcome stores = Orvo(registry, {"stores", "OrvoDemo", "Block-2"});
    EXPECT_EQ(stores.status, 1);
    EXPECT_THAT(stores.err, HasSubstr("valid records lie past it"));

    // Block-3 without its information cannot be read, but is listed.
    std::filesystem::remove(tank / "Block-3" / "block.info");
    std::filesystem::remove(tank / "Block-1" / "notes.txt");
    const Outcome listed = Orvo(registry, {"blocks", "OrvoDemo"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const std::vector<std::string> rows = Lines(listed.out);
    ASSERT_EQ(rows.size(), 3u) << listed.out;
    EXPECT_THAT(rows[0], StartsWith("Block-1 "));
    EXPECT_THAT(rows[1], testing::AllOf(StartsWith("Block-2 "), HasSubstr("damaged: record ")));
    EXPECT_THAT(rows[2], testing::AllOf(StartsWith("Block-3 "), HasSubstr("unreadable: ")));
    EXPECT_THAT(Orvo(registry, {"info", "OrvoDemo", "Block-1"}).out, HasSubstr("Notes:    (none)"));

    const Outcome checked = Orvo(registry, {"check", "OrvoDemo"});
    EXPECT_EQ(checked.status, 1);
    EXPECT_THAT(checked.out, HasSubstr("Block-1: damaged after "));
    EXPECT_THAT(checked.out, HasSubstr("Block-2: damaged after "));
    EXPECT_THAT(checked.out, HasSubstr("Block-3: unreadable: "));
    EXPECT_EQ(checked.err, "orvo: 3 of 3 blocks are damaged or unreadable\n");
}

TEST(OrvoArguments, BadInputGetsOneLineAndNonzeroStatus)
{
    ScratchRegistry registry;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"export", "T", "B"},
        {"export", "T", "B", "Wav1", "--format", "xls"},
        {"export", "T", "B", "Wav1", "--channels", "0"},
        {"export", "T", "B", "Wav1", "--channels", "1,x"},
        {"export", "T", "B", "Wav1", "--channels", "4-2"},
        {"export", "T", "B", "Wav1", "--t1", "2", "--t2", "1"},
        {"export", "T", "B", "Wav1", "--t1", "-1"},
        {"export", "T", "B", "Wavelet"},
        {"export", registry.dir().file("missing"), "B", "Wav1"},
        {"plot", "T", "B", "Wav1"},
        {"demo", registry.dir().file("d"), "--seconds", "0"},
        {"servers", "add", "Rig 2", "1.2.3.4"},
        {"servers", "remove", "Local"},
    };
    for (const std::vector<std::string>& args : cases) {
        const Outcome outcome = Orvo(registry, args);
        const std::string shown = testing::PrintToString(args);
        EXPECT_NE(outcome.status, 0) << shown;
        EXPECT_THAT(outcome.err, StartsWith("orvo: ")) << shown;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << shown << ": " << outcome.err;
    }
    // Control characters in a name are shown, never sent to the terminal.
    const Outcome named = Orvo(registry, {"blocks", "T\x1b[2J\nB"});
    EXPECT_THAT(named.err, HasSubstr("\"T\\x1b[2J\\x0aB\""));
    EXPECT_EQ(named.err.find('\n'), named.err.size() - 1) << named.err;
    const Outcome help = Orvo(registry, {"export", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--channels"));
}

// What the tool says tells a person what happened and what to do next.
TEST(OrvoWords, MessagesSayWhatHappenedAndWhatToDo)
{
    ScratchRegistry registry;
    const std::string first = registry.dir().file("first");
    ASSERT_EQ(Orvo(registry, {"demo", first, "--seconds", "1"}).status, 0);
    // A recorder that dies leaves its block without a stop time.
    const pid_t recorder = fork();
    if (recorder == 0) {
        OrvoCI client;
        const bool recorded = client.ConnectServer("", "Dies") > 0 && client.OpenTank("OrvoDemo", 'W') != 0 &&
                              client.StartRecord("Died") != 0 && client.BuildScalarEv(0, "Temp", 1, 0.5, 20.0) == 10 &&
                              client.SaveEvents(nullptr, 1) == 1;
        _exit(recorded ? 0 : 1);
    }
    int wait = 0;
    ASSERT_EQ(waitpid(recorder, &wait, 0), recorder);
    ASSERT_TRUE(WIFEXITED(wait) && WEXITSTATUS(wait) == 0);
    const std::string missing = registry.dir().file("nowhere") + "/w.png";
    const struct {
        std::vector<std::string> args;
        std::string said;  // on standard output for a success, else on standard error
    } cases[] = {
        {{"blocks", "OrvoDemo"}, "Died  "},
        {{"blocks", "OrvoDemo"}, "never closed: its recorder stopped without closing it"},
        {{"info", "OrvoDemo", "Died"}, "State:    never closed"},
        {{"blocks", ""}, "orvo: a tank is named by its registered name or its folder"},
        {{"blocks", "Nope"}, "no tank named \"Nope\" is registered (orvo tanks lists them), and there is no folder "},
        {{"blocks", first}, "no tank named \"" + first + "\" is registered (orvo tanks lists them), and the folder " +
                                first + " holds no tank"},
        {{"plot", "OrvoDemo", "Block-1", "Wav1", "-o", missing},
         "orvo: cannot write " + missing + ": the folder " + registry.dir().file("nowhere") + " does not exist"},
        {{"plot", "OrvoDemo", "Block-1", "W v1", "-o", "x.png"}, "(no spaces), not \"W v1\""},
        {{"export", "OrvoDemo", "Block-1", "Wav1", "--channels", "2", "--t2", "100", "-o", registry.dir().file("w.csv")},
         "Note: --t2 100.000 s lies past the end of \"Wav1\" at 0.996 s; the window ends there.\nWrote "},
        {{"export", "OrvoDemo", "Block-1", "Wav1", "--channels", "2", "-o", registry.dir().file("w.csv")},
         ": 1 channel x "},
        {{"servers", "add", "Rig", "10.0.0.1"}, "Added server Rig\n"},
        {{"servers", "add", "Rig", "10.0.0.9"}, "Changed server Rig (its address was 10.0.0.1)\n"},
        {{"servers", "add", "Rig4", ""}, "orvo: server \"Rig4\" needs an address"},
        {{"demo", registry.dir().file("second"), "--seconds", "1"},
         "The name OrvoDemo pointed at " + first + "/OrvoDemo; it now points at " + registry.dir().file("second") +
             "/OrvoDemo.\n"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Orvo(registry, c.args);
        EXPECT_THAT(outcome.status == 0 ? outcome.out : outcome.err, HasSubstr(c.said))
            << testing::PrintToString(c.args) << "\n" << outcome.out << outcome.err;
    }
}

// On a registry it cannot use, each command fails with one line that names
// the file and what is wrong with it, and prints nothing.
TEST(OrvoRegistry, AnUnusableFileFailsEveryCommandWithOneLineNamingIt)
{
    ScratchRegistry registry;
    orvo::test::WriteRandomBytes(registry.path(), 4096);
    const std::string problem = "the registry " + registry.path() + ": damaged or not a registry file\n";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"tanks"},
                                               {"blocks", "X"},
                                               {"servers", "list"},
                                               {"servers", "add", "Rig2", "10.0.0.2", "--password", "pw"},
                                               {"servers", "remove", "Rig2"}}) {
        const Outcome run = Orvo(registry, args);
        EXPECT_TRUE(run.status == 1 && run.out.empty() && run.err.starts_with("orvo: ") && run.err.ends_with(problem) &&
                    run.err.find('\n') == run.err.size() - 1)
            << args[0] << ": " << run.status << "\n" << run.out << run.err;
    }
}

// The engine is reached, but the tank list cannot be read to its end: the
// listing must fail rather than look finished.
TEST(OrvoRegistry, ADamagedTankListIsNotTakenForItsEnd)
{
    ScratchRegistry registry;
    ASSERT_EQ(Orvo(registry, {"servers", "list"}).status, 0);  // sets the store up
    // No registry call writes a type outside 32 bits.
    const std::string damage =
        std::string("INSERT INTO key_values (key_id, name, type, data, position) "
                    "SELECT id, 'Broken', -1, x'', 1 FROM keys WHERE path = '") +
        orvo::kTankListKey + "'";
    sqlite3* db = nullptr;
    const bool damaged = sqlite3_open(registry.path().c_str(), &db) == SQLITE_OK &&
                         sqlite3_exec(db, damage.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
                         sqlite3_changes(db) == 1;
    sqlite3_close(db);
    ASSERT_TRUE(damaged);
    const Outcome tanks = Orvo(registry, {"tanks"});
    EXPECT_EQ(tanks.status, 1);
    EXPECT_EQ(tanks.out, "");
    EXPECT_EQ(tanks.err, "orvo: cannot list the tanks: the registry " + registry.path() + ": damaged\n");
}

// The password stays off the command line, where ps would show it: it comes
// from the file's first line; a file that cannot be read stores nothing.
TEST(OrvoServers, AddedServersAreListedUntilRemovedWithPasswordsFromAFile)
{
    ScratchRegistry registry;
    const std::string file = registry.dir().file("password");
    std::ofstream(file) << "s3cret\r\nnot this\n";
    ASSERT_EQ(Orvo(registry, {"servers", "add", "Rig2", "10.0.0.2", "--user", "ann", "--password-file", file}).status,
              0);
    EXPECT_EQ(std::string(OrvoCI().GetServerItem("Rig2", "PW")), "s3cret");

    const Outcome missing = Orvo(registry, {"servers", "add", "Rig3", "10.0.0.3", "--password-file", file + ".gone"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "orvo: cannot read the password file " + file + ".gone: No such file or directory\n");
    EXPECT_NE(Orvo(registry, {"servers", "add", "Rig3", "10.0.0.3", "--password", "pw", "--password-file", file}).status,
              0);
    EXPECT_THAT(Orvo(registry, {"servers", "list"}).out, testing::Not(HasSubstr("Rig3")));

    ASSERT_EQ(Orvo(registry, {"servers", "add", "Rig3", "10.0.0.3"}).status, 0);
    const Outcome both = Orvo(registry, {"servers", "list"});
    for (const char* shown : {"Local", "10.0.0.2", "10.0.0.3"}) {
        EXPECT_THAT(both.out, HasSubstr(shown));
    }
    ASSERT_EQ(Orvo(registry, {"servers", "remove", "Rig2"}).status, 0);
    EXPECT_THAT(Orvo(registry, {"servers", "list"}).out,
                testing::AllOf(testing::Not(HasSubstr("Rig2")), HasSubstr("Rig3")));
}

}  // namespace
