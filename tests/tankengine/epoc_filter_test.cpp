// Epocs, filters and valid time ranges of our engine, through the client
// library: a 12 s recording of a 1000 Hz signal whose every sample is its own
// number, with a stimulus store stepping through five frequencies.
#include "tests/tankengine/tank_test.h"


#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <tuple>
#include <vector>

namespace orvo::test {
namespace {

using ::testing::HasSubstr;

constexpr double kStart = 1.7e9;
constexpr double kLength = 12.0;
constexpr LONG kRecordLength = 100;  // 0.1 s at 1000 Hz
constexpr LONG kRecords = 120;
constexpr double kFreqs[] = {500, 1000, 2000, 4000, 8000};
constexpr LONG kT1 = 4;
constexpr LONG kT2 = 5;
const LONG kFreq = PackStoreCode("Freq");
const LONG kLevl = PackStoreCode("Levl");
const LONG kWave = PackStoreCode("Wav1");

using Ranges = std::vector<TimeRange>;

// Trial i starts at 1 + i s with frequency kFreqs[i % 5] and ends 0.5 s
// later, its offset stored in its own store or named from "FOff"; trials 3,
// 6 and 9 have no offset. "Levl" alternates 10 and 20 every 2 s, never ends.
class EpocFilterTest : public TankTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TankTest::SetUp());
        ASSERT_TRUE(ci.SetOSTime(kStart));
        ASSERT_TRUE(ci.StartRecord("Run"));
        // Few batches keep the test fast; the block ends with its last record.
        std::vector<LONG> samples(kRecordLength);
        ci.SetBuildHead("Wav1", 0, 1000.0f, kRecordLength);
        LONG pos = 0;
        for (LONG r = 0; r < kRecords; ++r) {
            for (LONG j = 0; j < kRecordLength; ++j) {
                samples[static_cast<std::size_t>(j)] = std::bit_cast<LONG>(static_cast<float>(r * kRecordLength + j));
            }
            pos = ci.BuildStreamEv(pos, 1, r / 10.0, samples.data(), 0);
        }
        ASSERT_EQ(ci.SaveEvents(nullptr, kRecords), kRecords);
        pos = 0;
        for (int i = 0; i < 10; ++i) {
            pos = ci.BuildStrobeEv(pos, "Freq", 1.0 + i, kFreqs[i % 5], nullptr);
            if (i % 3 != 0 || i == 0) {
                pos = ci.BuildStrobeEv(pos, i % 2 ? "FOff" : "Freq", 1.5 + i, 0, "Freq");
            }
        }
        for (int j = 0; j < 6; ++j) {
            pos = ci.BuildStrobeEv(pos, "Levl", 1.0 + 2 * j, j % 2 ? 20 : 10, nullptr);
        }
        ASSERT_EQ(ci.SaveEvents(nullptr, pos / 10), pos / 10);
        ASSERT_EQ(ci.BuildScalarEv(0, "Tick", 1, kLength, 1), 10);  // exactly at the block's end
        ASSERT_EQ(ci.SaveEvents(nullptr, 1), 1);
        ci.StopRecord();
        ASSERT_TRUE(ci.SelectBlock("Run"));
    }

    Ranges ValidRanges(LONG maxRanges = 100)
    {
        double* table = nullptr;
        const LONG n = ci.GetValidTimeRanges(&table, maxRanges);
        Ranges ranges;
        for (LONG i = 0; i < n; ++i) {
            ranges.push_back({table[2 * i], table[2 * i + 1]});
        }
        return ranges;
    }

    // The stream records a filtered whole-block read gives, in batches of 7.
    std::vector<double> FilteredRecordTimes()
    {
        std::vector<double> times;
        for (LONG n = ci.GetEvents(nullptr, 7, kWave, 0, 0, 0, 0, 0); n > 0;
             n = ci.GetEvents(nullptr, 7, kWave, 0, 0, 0, 0, 1)) {
            for (LONG i = 0; i < n; ++i) {
                times.push_back(ci.ParseEvHeaderInfo(i, 6));
            }
        }
        return times;
    }
};

MATCHER_P(RangesAre, expected, "")
{
    return arg.size() == expected.size() && std::equal(arg.begin(), arg.end(), expected.begin(), [](auto a, auto b) {
               return std::abs(a.start - b.start) <= 1e-9 && std::abs(a.end - b.end) <= 1e-9;
           });
}

using EpocFilterOnEitherEngine = OnEitherEngine<EpocFilterTest>;

TEST_P(EpocFilterOnEitherEngine, FiltersMakeTheValidRangesThatReadsKeepTo)
{
    struct Case {
        const char* what;
        std::function<void(OrvoCI&)> set;
        Ranges ranges;
    };
    const Case cases[] = {
        {"tests on one store all hold; a missing offset ends at the next onset",
         [](OrvoCI& c) { EXPECT_EQ(c.SetFilterWithDesc("Freq>=1000;;Freq<=2000"), 2); },
         {{2, 2.5}, {3, 3.5}, {7, 8}, {8, 8.5}}},
        {"tolerance widens, and overlapping ranges join",
         [](OrvoCI& c) { c.SetFilter(kFreq, 73, 1000, 2000); c.SetFilterTolerance(0.05); },
         {{1.95, 2.55}, {2.95, 3.55}, {6.95, 8.55}}},
        {"the time reference cuts a tolerance before its onsets",
         [](OrvoCI& c) { c.SetFilter(kFreq, 73, 1000, 2000); c.SetFilterTolerance(0.05); c.SetTimeRefEpoc(kFreq); },
         {{1.95, 2.55}, {2.95, 3.55}, {6.95, 7.95}, {7.95, 8.55}}},
        {"offsets ignored; the last epoc ends with the block",
         [](OrvoCI& c) { EXPECT_EQ(c.SetFilterWithDescEx("Freq <> 500:2000", 0), 1); },
         {{4, 5}, {5, 6}, {9, 10}, {10, 12}}},
        {"stores intersect",
         [](OrvoCI& c) { EXPECT_EQ(c.SetFilterWithDescEx("Freq>=1000;Levl=20", 1), 2); },
         {{3, 3.5}, {4, 5}, {7, 8}, {8, 8.5}, {11, 12}}},
        {"epocs 2 to 6 only, replacing what was set",
         [](OrvoCI& c) { c.SetFilter(kLevl, 69, 10, 0); EXPECT_EQ(c.SetFilterWithDimension(2, 6, "Freq>500", true, 1), 1); },
         {{3, 3.5}, {4, 5}, {5, 5.5}, {7, 8}}},
        {"an epoc time filter from the onset",
         [](OrvoCI& c) { c.SetFilter(kFreq, 69, 500, 0); EXPECT_EQ(c.SetEpocTimeFilter(kFreq, -0.1, 0.2, 1), 1); },
         {{0.9, 1.2}, {5.9, 6.2}}},
        {"no filter: the window", [](OrvoCI&) {}, {{0, 12}}},
    };
    for (const bool indexed : {false, true}) {
        if (indexed) {
            ASSERT_EQ(ci.CreateEpocIndexing(), 1);
        }
        for (const Case& c : cases) {
            ci.ResetFilters();
            ci.SetFilterTolerance(0);
            c.set(ci);
            EXPECT_THAT(ValidRanges(), RangesAre(c.ranges)) << c.what << (indexed ? ", indexed" : "");
            // Records with a sample in a range, also those starting before it.
            std::vector<double> expected;
            for (LONG r = 0; r < kRecords; ++r) {
                const double first = r / 10.0, last = first + (kRecordLength - 1) / 1000.0;
                if (std::any_of(c.ranges.begin(), c.ranges.end(),
                                [&](const TimeRange& range) { return first < range.end && last >= range.start; })) {
                    expected.push_back(first);
                }
            }
            EXPECT_EQ(FilteredRecordTimes(), expected) << c.what << (indexed ? ", indexed" : "");
        }
    }
    ci.ClearEpocIndexing();
    ci.SetGlobal(kT1, 2.2);
    ci.SetGlobal(kT2, 7.5);
    ci.SetFilterWithDesc("Freq>=1000;Freq<=2000");
    EXPECT_THAT(ValidRanges(), RangesAre(Ranges{{2.2, 2.5}, {3, 3.5}, {7, 7.5}}));
    EXPECT_EQ(ValidRanges(2).size(), 2u);

    // An end at the block's end reaches the event lying there.
    ci.ResetFilters();
    EXPECT_EQ(ci.GetEvents(nullptr, 10, PackStoreCode("Tick"), 0, 0, 11, kLength, 0), 1);
}

TEST_P(EpocFilterOnEitherEngine, SelectedTrialsBecomeWaveformRows)
{
    ASSERT_EQ(ci.SetFilterWithDesc("Freq=1000;Freq<>1500:3000"), 2);  // trials 1 and 6
    VARIANT waves;
    VariantInit(&waves);
    ASSERT_EQ(ci.GetWavesOnTimeRange(kWave, 1, &waves), 2);
    const std::vector<std::vector<float>> rows = TakeRows(waves);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[0].size(), 1001u);  // the longer trial, 1 s, with both ends
    for (const auto& [row, start, samples] : {std::tuple{0u, 2000, 500}, std::tuple{1u, 7000, 1000}}) {
        for (int j = 0; j < samples; ++j) {
            ASSERT_EQ(rows[row][static_cast<std::size_t>(j)], start + j) << row << " " << j;
        }
    }
}

TEST_F(EpocFilterTest, EpocsTheirOffsetsAndQueries)
{
    LONG* codes = nullptr;
    ASSERT_EQ(ci.GetEpocCodes(&codes), 2);
    EXPECT_EQ(std::vector<LONG>(codes, codes + 2), (std::vector<LONG>{kFreq, kLevl}));

    // Rows of (value, onset, offset, number), a missing offset 0; its range
    // ends at the next onset, or for the last lasts as long as the one before.
    double* rows = nullptr;
    ASSERT_EQ(ci.GetEpocsEx(&rows, kFreq, 0, 0), 10);
    EXPECT_EQ(std::vector<double>(rows + 12, rows + 20), (std::vector<double>{4000, 4, 0, 3, 8000, 5, 5.5, 4}));
    EXPECT_THAT(ci.ValidRanges(), RangesAre(Ranges{{1, 1.5}, {2, 2.5}, {3, 3.5}, {4, 5}, {5, 5.5}, {6, 6.5},
                                                    {7, 8}, {8, 8.5}, {9, 9.5}, {10, 10.5}}));
    ci.SetFilterWithDesc("Freq=8000");
    ASSERT_EQ(ci.GetEpocsEx(&rows, kFreq, 1, 1), 1);  // passing only, at most one row
    EXPECT_EQ(rows[1], 5.0);

    double four[4] = {};
    EXPECT_EQ(ci.QryEpocAtEx(kFreq, 3.7, four, 1), 0);  // past trial 2's offset
    ASSERT_EQ(ci.QryEpocAtEx(kFreq, 3.7, four, 0), 1);
    EXPECT_EQ(std::vector<double>(four, four + 4), (std::vector<double>{2000, 3, 3.5, 2}));
    EXPECT_EQ(ci.QryEpocAtEx(kFreq, 0.5, four, 0), 0);
    double value = 0;
    ASSERT_EQ(ci.QryEpocAtIdx(kLevl, 5, 0, &value), 1);
    EXPECT_EQ(value, 20);
    EXPECT_EQ(ci.QryEpocAtIdx(kLevl, 6, 0, &value), 0);
    EXPECT_THAT(Error(), HasSubstr("no epoc 6; the store has 6"));

    EXPECT_EQ(ci.SetFilterWithDescEx("Freq>1;Freq?2", 1), 0);
    EXPECT_THAT(Error(), HasSubstr("\"Freq?2\" is not a filter description; none set"));
    EXPECT_EQ(ci.SetFilter(kFreq, 67, 1, 0), 0);
    EXPECT_THAT(Error(), HasSubstr("operator 67 is not known"));
    EXPECT_EQ(ci.SetCacheDelay(-1), 0);
    ASSERT_EQ(ci.SetCacheDelay(0.25), 1);
    EXPECT_EQ(ci.GetCacheDelay(), 0.25);
    EXPECT_EQ(ci.IndexEvent(kFreq, 1, 0), 0);
    EXPECT_EQ(ci.IndexEvent(kFreq, 0, 0), 1);
}

ORVO_ON_EITHER_ENGINE(EpocFilterOnEitherEngine);

}  // namespace
}  // namespace orvo::test
