#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>
#include "protocol/Installation.h"
#include "protocol/StoreCode.h"
#include "tests/fixtures/memory_tank_engine.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using Rows = std::vector<std::vector<float>>;

// The client connects to the in-memory engine, registered over the fixture's
// mock, which stays idle.
class WaveTest : public EngineTest {
protected:
    WaveTest()
    {
        store->SetBlockTimes(1000.0, 1010.0);
        EXPECT_EQ(CoRegisterClassObject(orvo::CLSID_TankEngine, static_cast<ITankEngine*>(store), CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
        EXPECT_EQ(client->ConnectServer("", "MyApp"), 1);
    }
    void TearDown() override
    {
        client.reset();
        CoRevokeClassObject(cookie);
        EXPECT_EQ(store->Release(), 0u);
        EngineTest::TearDown();
    }

    // count Float samples from start, perRecord to a record; sample k is first + k.
    void AddSignal(const char* name, std::uint16_t channel, double start, float rate, int count, int perRecord = 100,
                   float first = 1.0f)
    {
        for (int k = 0; k < count; k += perRecord) {
            std::vector<float> samples(static_cast<std::size_t>(std::min(perRecord, count - k)));
            for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = first + static_cast<float>(k + i);
            store->AddStream<float>(PackStoreCode(name), channel, start + k / rate, rate, samples);
        }
    }
    // The result, and the rows handed out (cleared again).
    std::pair<LONG, Rows> Read(const char* name, LONG onRangesOfChannel = -1)
    {
        Variant out;
        const LONG result = onRangesOfChannel < 0 ? client->GetWaves(PackStoreCode(name), out.out())
                                                  : client->GetWavesOnTimeRange(PackStoreCode(name), onRangesOfChannel, out.out());
        Rows rows;
        if (out->vt == (VT_ARRAY | VT_R4)) {
            LONG words = 0, count = 0;
            SafeArrayGetUBound(out->parray, 1, &words), SafeArrayGetUBound(out->parray, 2, &count);
            const auto* data = static_cast<const float*>(out->parray->pvData);
            for (LONG r = 0; r <= count; ++r) rows.emplace_back(data + r * (words + 1), data + (r + 1) * (words + 1));
        }
        return {result, rows};
    }
    void Set(std::vector<std::pair<LONG, double>> settings)
    {
        for (auto [index, value] : settings) client->SetGlobal(index, value);
    }

    MemoryTankEngine* store = new MemoryTankEngine;
    DWORD cookie = 0;
};

TEST_F(WaveTest, ReferenceRateComesFromTheRateStoreTheSettingTheStoreOrTheFallback)
{
    AddSignal("Wav1", 1, 0.0, 500.0f, 1000);
    AddSignal("Ref1", 1, 0.0, 250.0f, 10);
    store->AddStream<float>(PackStoreCode("Zer0"), 1, 0.0, 0.0f, std::vector<float>{1.0f});
    store->SetValidRanges({{0.0, 1.0}});
    const struct { const char* name; LONG rateStore; double rate; std::size_t points; } cases[] = {
        {"Wav1", 0, 0, 501}, {"Wav1", 0, 100, 101}, {"Zer0", 0, 0, 101}, {"Wav1", PackStoreCode("Ref1"), 100, 251},
    };
    for (const auto& c : cases) {
        Set({{11, c.rateStore}, {12, c.rate}});
        const auto [result, rows] = Read(c.name);
        ASSERT_EQ(result, 1) << c.name;
        EXPECT_EQ(rows.at(0).size(), c.points) << c.name << " " << c.rateStore << " " << c.rate;
    }
    Set({{11, 0}, {12, 100}});
    EXPECT_EQ(Read("Wav1").second[0][1], 10.0f);  // the peak of samples 5 to 9
}

TEST_F(WaveTest, AllChannelsGiveARowUpToTheHighestAndOneChannelOneRow)
{
    for (std::uint16_t channel : {1, 2, 4}) AddSignal("Wav1", channel, 0.0, 100.0f, 101, 50, channel * 1000.0f);
    store->SetValidRanges({{0.0, 1.0}});
    const auto [all, rows] = Read("Wav1");
    EXPECT_EQ(all, 3);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2], std::vector<float>(101, 0.0f));
    EXPECT_EQ(rows[3][99], 4099.0f);
    Set({{2, 2}});
    const auto [one, row] = Read("Wav1");
    EXPECT_EQ(one, 1);
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0][0], 2000.0f);
}

TEST_F(WaveTest, ValidRangesAddTheirRecordsIntoOneGridFromTheFirstStartToTheLastEnd)
{
    for (std::uint16_t channel = 1; channel <= 4; ++channel) AddSignal("Wav1", channel, 0.0, 1000.0f, 4000);
    // The engine's rows are three doubles wide: only the first two are a range.
    store->SetValidRanges({{0.5, 1.0}, {2.0, 3.0}}, 3);
    const auto [result, rows] = Read("Wav1");
    EXPECT_EQ(result, 8);
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(rows[3].size(), 2501u);
    EXPECT_EQ(rows[3][0], 501.0f);
    EXPECT_EQ(rows[3][1000], 0.0f);
    EXPECT_EQ(rows[3][2000], 2501.0f);
}

// One range shorter than the window is laid onto its own grid first: the
// samples of a record running past the range's end stay off the window's.
TEST_F(WaveTest, ASingleRangeShorterThanTheWindowEndsWhereTheRangeDoes)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 1000);
    store->SetValidRanges({{0.0, 0.45}});
    Set({{5, 1.0}});
    const auto [result, rows] = Read("Wav1");
    EXPECT_EQ(result, 1);
    std::vector<float> expected(1001, 0.0f);
    for (std::size_t i = 0; i <= 450; ++i) expected[i] = 1.0f + static_cast<float>(i);
    EXPECT_EQ(rows, Rows{expected});
}

TEST_F(WaveTest, ARecordRunningIntoTheWindowIsRead)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 1000);
    Set({{4, 0.25}, {5, 0.5}});
    const auto [result, rows] = Read("Wav1");
    EXPECT_EQ(result, 1);
    ASSERT_EQ(rows.at(0).size(), 251u);
    EXPECT_EQ(rows[0][0], 251.0f);
}

TEST_F(WaveTest, RowsOfMixedLengthInOneBatchAreAllConverted)
{
    std::vector<std::int16_t> samples(192);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i + 1);
    // The shorter record comes first, so the batch is wider than its own points.
    store->AddStream<std::int16_t>(PackStoreCode("Shr1"), 1, 0.0, 1024.0f, std::span(samples).first(64));
    store->AddStream<std::int16_t>(PackStoreCode("Shr1"), 1, 64 / 1024.0, 1024.0f, std::span(samples).subspan(64));
    store->SetValidRanges({{0.0, 191 / 1024.0}});
    const auto [result, rows] = Read("Shr1");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rows.at(0), std::vector<float>(samples.begin(), samples.end()));
    EXPECT_EQ(client->GetError(), "No error to report.");
}

TEST_F(WaveTest, FillItemsPutOneValuePerEventAtItsTime)
{
    for (double t : {0.125, 0.5, 0.75}) store->AddValue(0x0101, PackStoreCode("Stb1"), 1, t, 7.0);
    store->SetValidRanges({{0.0, 1.0}});
    const struct { double item, value; std::vector<float> row; } cases[] = {
        {14, 5, {0, 5, 0, 0, 5, 0, 5, 0, 0}},
        {6, 5, {0, 0.125f, 0, 0, 0.5f, 0, 0.75f, 0, 0}},
        {15, 5, std::vector<float>(9, 0.0f)},
    };
    for (const auto& c : cases) {
        Set({{12, 8}, {7, c.item}, {8, c.value}});
        const auto [result, rows] = Read("Stb1");
        EXPECT_EQ(result, 1) << c.item;
        EXPECT_EQ(rows, Rows{c.row}) << c.item;
    }
}

TEST_F(WaveTest, TheMemoryLimitIsReportedUnderTheCopyIntoTheCache)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 1000);
    store->SetValidRanges({{0.0, 0.5}});
    Set({{13, 1024}});
    EXPECT_EQ(Read("Wav1").first, 0);
    EXPECT_EQ(client->GetError(), LocalErrorBlock("SaveToWaveCache", "Exceeded waveform memory limit(1KB).", ""));
}

TEST_F(WaveTest, TrialRowsStartAtTheirRangeAndArePaddedToTheLongest)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 10000, 256);
    store->SetValidRanges({{2.0, 3.0}, {5.0, 6.5}, {8.0, 8.5}, {20.0, 21.0}});
    const auto [result, rows] = Read("Wav1", 1);
    EXPECT_EQ(result, 4);
    ASSERT_EQ(rows.size(), 4u);
    const struct { float first; std::size_t filled; } expected[] = {{2001, 1001}, {5001, 1501}, {8001, 501}, {0, 0}};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(rows[r].size(), 1501u);
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            ASSERT_EQ(rows[r][i], i < expected[r].filled ? expected[r].first + i : 0.0f) << r << " " << i;
        }
    }
}

TEST_F(WaveTest, TrialsOfEveryChannelAtOnceAreRefused)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 1000);
    AddSignal("Wav1", 2, 0.0, 1000.0f, 1000);
    store->SetValidRanges({{0.0, 0.5}});
    EXPECT_EQ(Read("Wav1", 0), (std::pair<LONG, Rows>{0, {}}));
    EXPECT_EQ(client->GetError(), LocalErrorBlock("GetWavesOnTimeRange", "Can not be called on multiple channels", ""));
    EXPECT_EQ(Read("Wav1", 2).first, 1);
}

// A read that fails part way is never the end of the data: every waveform
// read fails with the engine's answer instead of handing out what it had,
// also when the failing read is the reference rate's or a later range's.
TEST_F(WaveTest, AFailedReadFailsTheWavesInsteadOfEndingThem)
{
    AddSignal("Wav1", 1, 0.0, 1000.0f, 4000);
    store->SetValidRanges({{0.5, 1.0}, {2.0, 3.0}});
    Set({{2, 1}});
    const struct { double failFrom; LONG waves, trials, simple; } cases[] = {
        {5.0, 2, 2, 40},  // past the data: nothing fails
        {2.5, -1, -1, -1},  // inside the second range
        {0.0, -1, -1, -1},  // already the first record, which gives the rate
    };
    for (const auto& c : cases) {
        store->FailReadsFrom(c.failFrom);
        EXPECT_EQ(Read("Wav1").first, c.waves) << c.failFrom;
        EXPECT_EQ(Read("Wav1", 1).first, c.trials) << c.failFrom;
        EXPECT_EQ(client->GetEventsSimple(PackStoreCode("Wav1")), c.simple) << c.failFrom;
    }
}

TEST_F(WaveTest, SimpleReadsTakeTheSettings)
{
    for (int i = 0; i < 6; ++i) store->AddValue(0x0201, PackStoreCode("Val1"), 1 + i % 3, 5.0 * i, i);
    const struct { std::vector<std::pair<LONG, double>> settings; LONG count; } cases[] = {
        {{}, 6}, {{{2, 3}}, 2}, {{{2, 0}, {4, 10}, {5, 20}}, 2}, {{{4, 0}, {5, 0}, {1, 4}}, 4},
    };
    for (const auto& c : cases) {
        Set(c.settings);
        EXPECT_EQ(client->GetEventsSimple(PackStoreCode("Val1")), c.count);
    }
}

}  // namespace
}  // namespace orvo::test
