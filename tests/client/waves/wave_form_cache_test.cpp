#include <orvo/CWaveFormCache.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include <orvo/platform/errors.h>
#include <orvo/platform/safearray.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One record per key, its channel the key and its point 0 the key + 10.
CWaveFormCache Filled(std::vector<LONG> keys, double end = 0.375, double rate = 8.0)
{
    CWaveFormCache cache(1 << 20);
    EXPECT_TRUE(cache.InitCache(0.0, end, rate));
    for (LONG key : keys) {
        SQHead head{99, 0x0201, 0x41424344, static_cast<std::uint16_t>(key), -3, 1.0, 7.5, 4, 1, 1, 1, 2.0f};
        EXPECT_TRUE(cache.AddEvent(key, &head, nullptr));
        cache.GetBuff(key)[0] = static_cast<float>(key) + 10;
    }
    return cache;
}

// Elements of dimensions 1 and 2, in the order the bounds were passed.
std::pair<LONG, LONG> Shape(const VARIANT& v)
{
    LONG first = -99, second = -99;
    EXPECT_EQ(SafeArrayGetUBound(v.parray, 1, &first) | SafeArrayGetUBound(v.parray, 2, &second), S_OK);
    return {first + 1, second + 1};
}

const float* Row(const VARIANT& v, std::size_t words, std::size_t row)
{
    return static_cast<const float*>(v.parray->pvData) + words * row;
}

}  // namespace

TEST(WaveFormCache, AddDataLandsOnTheExactGridPointsAndKeepsPeaks)
{
    const float data[] = {2, -3, 1, 0.5, 4, -4, 5, 6, -7, 1, 9, 9};
    struct Case { double gridRate, end, time, dataRate; LONG count; std::size_t base; std::vector<float> points; };
    const Case cases[] = {
        {1000, 1, 0.0014, 1000, 12, 0, {0, 2, -3, 1, 0.5}},
        {1000, 1, 0.0015, 1000, 12, 0, {0, 0, 2, -3, 1}},   // half a period goes up
        {1000, 1, -0.0014, 1000, 12, 0, {1, 0.5, 4, -4, 5}},  // negative times go down
        {1001.5, 1, 503 / 1001.5, 1001.5, 12, 502, {0, 0, 2, -3, 1}},  // rounding would give 503
        {8, 0.5, -5 / 8.0, 8, 7, 0, {-4, 5, 0, 0, 0}},      // skipped before the start, stops at count
        {8, 0.5, 2 / 8.0, 0, 12, 0, {0, 0, 2, -3, 1}},      // rate 0 copies directly; cut at the end
        {8, 0.5, -13 / 8.0, 8, 12, 0, {0, 0, 0, 0, 0}},
        {8, 0.5, 5 / 8.0, 8, 12, 0, {0, 0, 0, 0, 0}},
        {8, 0.5, 0, 16, 12, 0, {-3, 1, 4, 6, -7}},          // peaks kept, a tie keeps the first
        {8, 0.5, -0.25, 16, 12, 0, {4, 6, -7, 9, 0}},       // -0.5 truncates onto point 0
    };
    for (const Case& c : cases) {
        CWaveFormCache cache = Filled({1}, c.end, c.gridRate);
        cache.GetBuff(1)[0] = 0;
        ASSERT_TRUE(cache.AddData(c.time, 1, data, c.count, c.dataRate));
        const float* points = cache.GetBuff(1) + c.base;
        EXPECT_EQ(std::vector<float>(points, points + 5), c.points) << c.gridRate << ' ' << c.time;
    }
}

TEST(WaveFormCache, BadArgumentsFailAndLeaveTheCacheAlone)
{
    CWaveFormCache cache(1 << 20);
    for (auto [start, end, rate] : {std::array{0.0, 1.0, 0.0}, {0.0, 1.0, -1.0}, {0.0, 1.0, kNaN}, {0.0, 1.0, kInf},
                                    {0.0, 1.0, 1e39}, {1.0, 0.0, 8.0}, {kNaN, 1.0, 8.0}, {0.0, kInf, 8.0},
                                    {0.0, 3e9, 1.0}}) {
        ASSERT_TRUE(cache.InitCache(0.0, 1.0, 8.0));
        EXPECT_FALSE(cache.InitCache(start, end, rate)) << start << ' ' << end << ' ' << rate;
        EXPECT_EQ(cache.GetNpts(), 0);
    }

    CWaveFormCache filled = Filled({1});
    const float one = 1;
    for (auto [time, key, data, count, rate] :
         {std::tuple{0.0, 1, &one, 1, -1.0}, {0.0, 1, &one, 1, kNaN}, {0.0, 1, &one, 1, kInf}, {kNaN, 1, &one, 1, 8.0},
          {kInf, 1, &one, 1, 16.0}, {0.0, 1, nullptr, 1, 8.0}, {0.0, 1, &one, -1, 8.0}, {0.0, 2, &one, 1, 8.0}}) {
        EXPECT_FALSE(filled.AddData(time, key, data, count, rate)) << time << ' ' << count << ' ' << rate;
        EXPECT_EQ(filled.GetBuff(1)[0], 11.0f);
    }
}

TEST(WaveFormCache, MemoryLimitRefusesTheRecordThatWouldPassIt)
{
    struct Case { int limit; double end; LONG fit; const char* text; };
    // npts 2^30 makes a 32-bit record length wrap to 40 bytes.
    for (const Case c : {Case{33554432, 239999, 34, "Exceeded waveform memory limit(32MB)."},
                         {2047, 999999, 0, "Exceeded waveform memory limit(1KB)."},
                         {1000, 999999, 0, "Exceeded waveform memory limit(1000Bytes)."},
                         {33554432, 1073741823, 0, "Exceeded waveform memory limit(32MB)."}}) {
        CWaveFormCache cache(c.limit);
        ASSERT_TRUE(cache.InitCache(0.0, c.end, 1.0));
        SQHead head{};
        CString err;
        for (LONG key = 0; key < c.fit; ++key) {
            ASSERT_TRUE(cache.AddEvent(key, &head, &err)) << key;
        }
        EXPECT_EQ(err, "");
        EXPECT_FALSE(cache.AddEvent(c.fit, &head, &err));
        EXPECT_EQ(err, c.text);
        EXPECT_EQ(cache.GetBuff(c.fit), nullptr);
        EXPECT_EQ(cache.AddEvent(0, &head, nullptr), c.fit > 0);
    }
}

TEST(WaveFormCache, ReadBufferDeclaresRecordsThenWordsAndHoldsStreamHeaders)
{
    CWaveFormCache cache = Filled({3, 1, 2});
    Variant out;
    ASSERT_EQ(cache.SaveToReadV(*out, true), 3);
    EXPECT_EQ(Shape(*out), std::make_pair(3, 14));
    for (std::uint16_t row = 0; row < 3; ++row) {
        const SQHead expected{14, 0x8101, 0x41424344, std::uint16_t(row + 1), -3, 0.0, 7.5, 0, 0, 0, 0, 8.0f};
        EXPECT_EQ(std::memcmp(Row(*out, 14, row), &expected, sizeof expected), 0) << row;
        EXPECT_EQ(Row(*out, 14, row)[10], row + 11.0f);
    }
}

TEST(WaveFormCache, RowArrayDeclaresWordsThenRowsAndFillsEveryKeyIntoItsOwnRow)
{
    struct Case { std::vector<LONG> keys; bool fill, header; LONG rows; std::vector<float> firsts; };
    // Keys up to 1 share row 1, the lowest supplying it; rows without a key
    // read zero. 2^31 - 1 rows of 16 bytes cannot be one array.
    const Case cases[] = {
        {{0, 1, 2, 5}, true, true, 5, {10, 12, 0, 0, 15}},
        {{0, 1, 2, 5}, false, false, 3, {10, 12, 15}},
        {{3, 3000}, true, false, 3000, {0, 0, 13}},
        {{std::numeric_limits<LONG>::max()}, true, false, 0, {}},
    };
    for (const Case& c : cases) {
        CWaveFormCache cache = Filled(c.keys);
        Variant out;
        ASSERT_EQ(cache.GetVariant(*out, c.header, c.fill), c.rows);
        if (c.rows == 0) {
            EXPECT_EQ(out->vt, VT_EMPTY);
            continue;
        }
        const std::size_t words = c.header ? 14 : 4;
        EXPECT_EQ(Shape(*out), (std::make_pair(static_cast<LONG>(words), c.rows)));
        // A row without a key is zero in every word, header included.
        const auto zeroRow = [&](std::size_t row) {
            const float* at = Row(*out, words, row);
            return std::all_of(at, at + words, [](float v) { return v == 0.0f; });
        };
        for (std::size_t row = 0; row < c.firsts.size(); ++row) {
            EXPECT_EQ(Row(*out, words, row)[c.header ? 10 : 0], c.firsts[row]) << row;  // point 0
            EXPECT_EQ(zeroRow(row), c.firsts[row] == 0) << row;
        }
        if (c.rows == 3000) {  // above 2047 and still in its own row
            EXPECT_TRUE(zeroRow(2047));
            EXPECT_EQ(Row(*out, 4, 2999)[0], 3010.0f);
        }
    }
}

TEST(WaveFormCache, CopiesOwnTheirRecords)
{
    // Any block shared between caches shows up as a double free.
    CWaveFormCache original = Filled({1, 2});
    CWaveFormCache copy(original), assigned(0);
    copy.GetBuff(1)[0] = 99;
    assigned = copy;
    copy.InitCache(0.0, 1.0, 8.0);
    EXPECT_EQ(original.GetBuff(1)[0], 11.0f);
    EXPECT_EQ(assigned.GetBuff(1)[0], 99.0f);
}
