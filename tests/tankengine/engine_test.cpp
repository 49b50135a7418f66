// The tank engine through OrvoCI, as applications use it; records read back
// as saved, and bad ones refused, are in recording_test.cpp.
#include "tests/tankengine/tank_test.h"

#include <orvo/platform/com.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace orvo::test {
namespace {

using ::testing::DoubleNear;
using ::testing::HasSubstr;
using ::testing::Pointwise;

constexpr LONG kReadMode = 'R';
constexpr LONG kWriteMode = 'W';
constexpr LONG kT1 = 4;
constexpr LONG kT2 = 5;
constexpr double kStart = 1.7e9;

using EngineTest = TankTest;

TEST_F(EngineTest, WindowsCodesAndValidRanges)
{
    // 100 Tick scalars 0.1 s apart on channels 1 to 4; a Mark strobe a second.
    ASSERT_TRUE(ci.SetOSTime(kStart));
    ASSERT_TRUE(ci.StartRecord("Ticks"));
    LONG pos = 0;
    for (int i = 0; i < 100; ++i) {
        pos = ci.BuildScalarEv(pos, "Tick", 1 + i % 4, i * 0.1, i);
    }
    ASSERT_EQ(ci.SaveEvents(nullptr, 100), 100);
    pos = 0;
    for (int s = 0; s < 10; ++s) {
        pos = ci.BuildStrobeEv(pos, "Mark", s + 0.05, s, nullptr);
    }
    ASSERT_EQ(ci.SaveEvents(nullptr, 10), 10);
    ci.StopRecord();
    ASSERT_TRUE(ci.SelectBlock("Ticks"));

    const LONG tick = PackStoreCode("Tick");
    LONG* codes = nullptr;
    ASSERT_EQ(ci.GetEventCodes(&codes, 0), 2);
    EXPECT_EQ(std::vector<LONG>(codes, codes + 2), (std::vector<LONG>{tick, PackStoreCode("Mark")}));
    ASSERT_EQ(ci.GetEventCodes(&codes, 0x0101), 1);
    EXPECT_EQ(codes[0], PackStoreCode("Mark"));

    struct Case {
        const char* what;
        const char* code;
        LONG channel;
        double start;
        double end;
        LONG maxEvents;
        std::vector<double> times;
    } cases[] = {
        {"first event of a store", "Tick", 0, 0, 0, 1, {0}},
        {"window is [start, end)", "Tick", 0, 0.95, 1.25, 100, {1.0, 1.1, 1.2}},
        {"channel selects", "Tick", 2, 0, 0.75, 100, {0.1, 0.5}},
        {"maxEvents cuts", "Tick", 0, 5, 0, 2, {5, 5.1}},
        {"end 0 is the block's end", "Mark", 0, 8.5, 0, 100, {9.05}},
        {"all stores merged", "", 0, 1.95, 2.15, 100, {2.0, 2.05, 2.1}},
        {"nothing in the window", "Tick", 0, 20, 30, 100, {}},
        {"unknown store", "Nope", 0, 0, 0, 100, {}},
    };
    for (const Case& c : cases) {
        const LONG code = c.code[0] ? PackStoreCode(c.code) : 0;
        EXPECT_THAT(HeaderInfo(ci, ci.GetEvents(nullptr, c.maxEvents, code, c.channel, 0, c.start, c.end, 0), 6),
                    Pointwise(DoubleNear(1e-9), c.times))
            << c.what;
    }

    // Continuing past the end gives nothing, again; another selection starts over.
    ASSERT_EQ(ci.GetEvents(nullptr, 200, 0, 0, 0, 0, 0, 0), 110);
    EXPECT_EQ(ci.GetEvents(nullptr, 7, 0, 0, 0, 0, 0, kContinue), 0);
    EXPECT_EQ(ci.GetEvents(nullptr, 7, 0, 0, 0, 0, 0, kContinue), 0);
    EXPECT_EQ(ci.GetEvents(nullptr, 3, tick, 0, 0, 0, 0, kContinue), 3);
    EXPECT_EQ(ci.ParseEvHeaderInfo(0, 6), 0.0);

    ci.SetGlobal(kT1, 2.5);
    ci.SetGlobal(kT2, 50);
    double* ranges = nullptr;
    ASSERT_EQ(ci.GetValidTimeRanges(&ranges, 10), 1);
    EXPECT_EQ(ranges[0], 2.5);
    EXPECT_GE(ranges[1], 9.9);  // clipped to the block's end, which covers the last event
    EXPECT_NEAR(ranges[1], 9.9, 1e-6);
    ci.SetGlobal(kT1, 12);
    ci.SetGlobal(kT2, 0);
    EXPECT_EQ(ci.GetValidTimeRanges(&ranges, 10), 0);

    // A failed read answers -1, never the 0 of a read that found nothing.
    for (LONG bad : {0, -1}) {
        EXPECT_EQ(ci.GetEvents(nullptr, bad, 0, 0, 0, 0, 0, 0), -1);
        EXPECT_THAT(Error(), HasSubstr("is below 1"));
    }
    EXPECT_EQ(ci.GetEvents(nullptr, 5, 0, 0, 0, 3, 2, 0), -1);
    EXPECT_THAT(Error(), HasSubstr("is not a time window"));
}

TEST_F(EngineTest, BlocksAreNamedListedAndAnnotated)
{
    EXPECT_EQ(ci.SelectBlock("Block-1"), 0);
    EXPECT_THAT(Error(), HasSubstr("no block Block-1 in tank T1"));
    for (const char* name : {"", "", "Run", "Run"}) {
        ASSERT_TRUE(ci.StartRecord(name));
        EXPECT_EQ(ci.StartRecord("Other"), 0);
        EXPECT_THAT(Error(), HasSubstr("is recording block"));
        ci.StopRecord();
    }
    EXPECT_EQ(BlockNames(), (std::vector<std::string>{"Block-1", "Block-2", "Run", "Run-1"}));
    EXPECT_THAT(Error(), HasSubstr("no block at index 4; tank T1 holds 4"));
    for (const char* bad : {"../T1", ".hidden", "a/b", ";TANKNAME:x\n", "Run\x7f"}) {
        EXPECT_EQ(ci.SelectBlock(bad), 0) << bad;
        EXPECT_THAT(Error(), HasSubstr("cannot name a block")) << bad;
    }
    // Control characters are refused wherever a name comes in.
    EXPECT_EQ(ci.StartRecord(";TANKNAME:x\n"), 0);
    EXPECT_THAT(Error(), HasSubstr("a block name holds no control characters"));
    EXPECT_EQ(ci.AddTank("T\x1b[2J", "."), 0);
    EXPECT_THAT(Error(), HasSubstr("cannot name a tank"));
    EXPECT_EQ(ci.OpenTank("T1\n", kReadMode), 0);
    EXPECT_THAT(Error(), HasSubstr("a tank name or path holds no control characters"));
    EXPECT_EQ(ci.InitializeTank((TankPath() + "\t").c_str()), 0);
    EXPECT_THAT(Error(), HasSubstr("a tank name or path holds no control characters"));

    ASSERT_TRUE(ci.SelectBlock("Run"));
    ASSERT_TRUE(ci.SetBlockInfo("", 0, "first"));
    ASSERT_TRUE(ci.SetBlockInfo("Run", 1, " and more"));
    CString notes;
    ASSERT_TRUE(ci.GetBlockInfo(nullptr, nullptr, nullptr, nullptr, nullptr, &notes));
    EXPECT_STREQ(notes, "first and more[USERNOTEDELIMITER]");
    EXPECT_EQ(ci.SetBlockInfo("", 2, "x"), 0);
    EXPECT_THAT(Error(), HasSubstr("number 2 is not known"));
}

TEST_F(EngineTest, ClientsKeepTheirOwnTanksAndSeeEachOthersRecording)
{
    ScratchDir other;
    ASSERT_TRUE(ci.AddTank("T2", other.path().string().c_str()));
    ASSERT_TRUE(ci.InitializeTank("T2"));
    OrvoCI reader;
    ASSERT_GT(reader.ConnectServer("", "Reader"), 0);
    ASSERT_NE(reader.GetClientID("Reader"), ci.GetClientID("App"));
    ASSERT_TRUE(reader.OpenTank("T2", kReadMode));
    EXPECT_EQ(reader.StartRecord("x"), 0);
    EXPECT_THAT(reader.GetError().GetString(), HasSubstr("open for reading only"));
    EXPECT_EQ(reader.GetStatus(0), 'R');
    EXPECT_EQ(ci.GetStatus(0), 'W');

    // The reader switches to the tank being recorded.
    ASSERT_TRUE(ci.StartRecord("Live"));
    EXPECT_EQ(ci.GetStatus(0), 'A');
    ASSERT_TRUE(reader.OpenTank("T1", kReadMode));
    EXPECT_STREQ(reader.GetHotBlock(), "Live");
    ASSERT_TRUE(reader.SelectBlock("Live"));
    ci.CloseTank();  // stops the recording
    EXPECT_STREQ(reader.GetHotBlock(), "");
    CString state;
    ASSERT_TRUE(reader.GetBlockInfo(nullptr, nullptr, &state, nullptr, nullptr, nullptr));
    EXPECT_STREQ(state, "stopped");
}

TEST_F(EngineTest, ClientsRecordFromSeveralThreadsAtOnce)
{
    constexpr int kThreads = 4;
    constexpr int kBatches = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            OrvoCI app;
            ASSERT_GT(app.ConnectServer("", "Thread"), 0);
            ASSERT_TRUE(app.OpenTank("T1", kWriteMode));
            ASSERT_TRUE(app.StartRecord(("Thread" + std::to_string(t)).c_str()));
            for (int b = 0; b < kBatches; ++b) {
                LONG pos = 0;
                for (int i = 0; i < 10; ++i) {
                    pos = app.BuildScalarEv(pos, "Tick", t + 1, b + i * 0.1, i);
                }
                ASSERT_EQ(app.SaveEvents(nullptr, 10), 10);
                ASSERT_EQ(app.GetEvents(nullptr, 1000, 0, 0, 0, 0, 0, 0), (b + 1) * 10);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_TRUE(ci.SelectBlock(("Thread" + std::to_string(t)).c_str()));
        EXPECT_EQ(ci.GetEvents(nullptr, 1000, 0, t + 1, 0, 0, 0, 0), kBatches * 10);
    }
}

TEST_F(EngineTest, AFailureThatNamesNoClientReachesOnlyTheThreadThatCausedIt)
{
    // A failed AddTank on one thread's client leaves the other's error untouched.
    OrvoCI other;
    std::string otherError;
    std::thread([&] {
        CoInitialize(nullptr);  // as OrvoCI's constructor does on its own thread
        ASSERT_GT(other.ConnectServer("", "Other"), 0);
        EXPECT_EQ(other.OpenTank("Missing", kReadMode), 0);
    }).join();
    EXPECT_EQ(ci.AddTank("a/b", "."), 0);
    std::thread([&] { otherError = other.GetError().GetString(); }).join();
    EXPECT_THAT(otherError, HasSubstr("OpenTank"));
    EXPECT_THAT(otherError, ::testing::Not(HasSubstr("AddTank")));
    EXPECT_THAT(Error(), HasSubstr("AddTank: \"a/b\" cannot name a tank"));
    EXPECT_EQ(Error(), "No error to report.");

    // On its own thread a client gets its own text, then the thread's.
    std::thread([&] {
        EXPECT_EQ(other.AddTank("x/y", "."), 0);
        EXPECT_EQ(other.OpenTank("Gone", kReadMode), 0);
        otherError = other.GetError().GetString();
    }).join();
    EXPECT_THAT(otherError, HasSubstr("OpenTank"));
    EXPECT_THAT(otherError, HasSubstr("\nAddTank: \"x/y\" cannot name a tank"));
    EXPECT_EQ(Error(), "No error to report.");
}

TEST_F(EngineTest, TankListLivesInTheRegistry)
{
    ScratchDir other;
    ASSERT_TRUE(ci.AddTank("T2", (other.path().string() + "/").c_str()));
    EXPECT_STREQ(ci.GetEnumTank(0), "T1");
    EXPECT_STREQ(ci.GetEnumTank(1), "T2");
    EXPECT_STREQ(ci.GetEnumTank(2), "");
    EXPECT_STREQ(ci.GetTankItem("T1", "path"), TankPath().c_str());
    EXPECT_STREQ(ci.GetTankItem("T1", "BLOCKS"), "0");
    EXPECT_STREQ(ci.GetTankItem("T2", "STATUS"), "missing");
    EXPECT_STREQ(ci.GetTankItem("T2", "Colour"), "");
    EXPECT_EQ(ci.CheckTank("T1"), 1);
    EXPECT_EQ(ci.CheckTank("T2"), 0);
    ci.GetError();

    ASSERT_TRUE(ci.RemoveTank("T2"));
    EXPECT_EQ(ci.RemoveTank("T2"), 0);
    EXPECT_THAT(Error(), HasSubstr("tank \"T2\" is not registered"));
    EXPECT_STREQ(ci.GetEnumTank(1), "");

    // An unregistered name is a path; a folder without the marker is no tank.
    EXPECT_TRUE(ci.OpenTank(TankPath().c_str(), kReadMode));
    EXPECT_EQ(ci.OpenTank(other.path().string().c_str(), kReadMode), 0);
    EXPECT_THAT(Error(), HasSubstr("is not a tank"));
    EXPECT_EQ(ci.OpenTank("T1", 'X'), 0);
    EXPECT_THAT(Error(), HasSubstr("mode 88 is not known"));

    ci.EnabTankDebug("T1", 1);
    ASSERT_TRUE(ci.OpenTank("T1", kWriteMode));
    EXPECT_THAT(ci.GetDebug("T1").GetString(), HasSubstr("OpenTank: 1"));
}

}  // namespace
}  // namespace orvo::test
