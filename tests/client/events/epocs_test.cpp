#include <gtest/gtest.h>

#include <vector>

#include <orvo/OrvoCI.h>
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

std::vector<double> Flatten(const std::vector<TimeRange>& ranges)
{
    std::vector<double> out;
    for (const TimeRange& r : ranges) out.insert(out.end(), {r.start, r.end});
    return out;
}

using EpocsTest = EngineTest;

TEST_F(EpocsTest, MissingOffsetsEndAtTheNextOnsetOrLastTheCarriedLength)
{
    Connect();
    client->SetGlobal(4, 1.5), client->SetGlobal(5, 9.0);
    // Rows of (value, onset, offset, extra); an offset of 0.0 or -0.0 is missing.
    const struct { std::vector<double> rows; std::vector<double> ranges; } cases[] = {
        {{7, 1, 2, 0, 7, 3, 0, 0, 7, 5, 0, 0}, {1, 2, 3, 5, 5, 7}},
        {{7, 4, 0, 0}, {4, 5}},
        {{7, 1, 1.5, 0, 7, 2, -0.0, 0, 7, 6, 6.25, 0}, {1, 1.5, 2, 6, 6, 6.25}},
    };
    for (const auto& c : cases) {
        EXPECT_CALL(*engine, GetEpocsEx(1, _, 0x6F727453, 1.5, 9.0, 3, 4)).WillOnce(DoubleRows(4, c.rows, 3));
        double* data = nullptr;
        EXPECT_EQ(client->GetEpocsEx(&data, 0x6F727453, 3, 4), static_cast<LONG>(c.rows.size() / 4));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data[1], c.rows[1]);
        EXPECT_EQ(Flatten(client->ValidRanges()), c.ranges);
    }
}

// A table the client cannot read as promised is no answer, and the ranges of
// the last good one stay.
TEST_F(EpocsTest, TablesOfTheWrongShapeKeepThePreviousRanges)
{
    Connect();
    EXPECT_CALL(*engine, GetValidTimeRanges(1, _, 0.0, 0.0, 10)).WillOnce(DoubleRows(2, {1, 2, 4, 8}, 2));
    EXPECT_EQ(client->GetValidTimeRanges(nullptr, 10), 2);
    EXPECT_CALL(*engine, GetEpocsEx(1, _, 5, _, _, 0, 0))
        .WillOnce(DoubleRows(2, {1, 2, 3, 4}, 2))                 // too few columns
        .WillOnce(Rows(10, {{1, 2, 3}}, 1))                      // not doubles
        .WillOnce(Return(0));
    double* data = nullptr;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client->GetEpocsEx(&data, 5, 0, 0), 0) << i;
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(Flatten(client->ValidRanges()), (std::vector<double>{1, 2, 4, 8}));
}

TEST_F(EpocsTest, ValidTimeRangesFollowTheWindowAndNeverExceedTheRows)
{
    Connect();
    client->SetGlobal(4, 2.0);
    EXPECT_CALL(*engine, GetValidTimeRanges(1, _, 2.0, 0.0, 5)).WillOnce(DoubleRows(3, {1, 2, 9, 3, 4, 9}, 7));
    double* data = nullptr;
    EXPECT_EQ(client->GetValidTimeRanges(&data, 5), 2);  // two rows held, not seven
    EXPECT_EQ(data[3], 3.0);
    EXPECT_EQ(Flatten(client->ValidRanges()), (std::vector<double>{1, 2, 3, 4}));
    client->SetGlobal(5, 30.0);
    EXPECT_CALL(*engine, GetValidTimeRanges(1, _, 2.0, 30.0, 5)).WillOnce(Return(-3));
    EXPECT_EQ(client->GetValidTimeRanges(&data, 5), -3);
    EXPECT_EQ(client->ValidRanges().size(), 2u);
}

TEST_F(EpocsTest, EpocQueriesPassTheirArgumentsAndCheckTheAnswer)
{
    Connect();
    client->SetGlobal(9, 1.9);  // RespectOffsetEpoc, truncated
    EXPECT_CALL(*engine, QryEpocAtEx(1, _, 7, 2.5, 1))
        .Times(4).WillRepeatedly(DoubleRows(4, {10, 11, 12, 13}, 5));
    const struct { LONG item; double value; } items[] = {{0, 10}, {3, 13}, {4, 0.0}, {-1, 0.0}};
    for (const auto& c : items) {
        double value = -1;
        EXPECT_EQ(client->QryEpocAt(7, 2.5, c.item, &value), 5);
        EXPECT_EQ(value, c.value) << c.item;
    }
    double values[4] = {-1, -1, -1, -1};
    EXPECT_CALL(*engine, QryEpocAtEx(1, _, 7, 3.0, 0))
        .WillOnce(DoubleRows(4, {10, 11, 12, 13}, 1)).WillOnce(Return(0)).WillOnce(DoubleRows(1, {10, 11, 12}, 1));
    EXPECT_EQ(client->QryEpocAtEx(7, 3.0, values, 0), 1);
    EXPECT_EQ(values[3], 13.0);
    EXPECT_EQ(client->QryEpocAtEx(7, 3.0, values, 0), 0);
    EXPECT_EQ(values[3], 0.0);
    EXPECT_EQ(client->QryEpocAtEx(7, 3.0, values, 0), 0);  // three doubles are no answer
    EXPECT_EQ(values[2], 0.0);
    double indexed = 0;
    EXPECT_CALL(*engine, QryEpocAtIdx(1, 7, 3, 2, &indexed)).WillOnce(DoAll(SetArgPointee<4>(42.0), Return(1)));
    EXPECT_EQ(client->QryEpocAtIdx(7, 3, 2, &indexed), 1);
    EXPECT_EQ(indexed, 42.0);
}

TEST_F(EpocsTest, CodeAndEpocListsHandOutTheBuffer)
{
    Connect();
    EXPECT_CALL(*engine, GetEpocCodes(1, _)).WillOnce([](LONG, VARIANT* out) {
        SAFEARRAYBOUND bound{2, 0};
        out->vt = VT_ARRAY | VT_I4, out->parray = SafeArrayCreate(VT_I4, 1, &bound);
        static_cast<LONG*>(out->parray->pvData)[1] = 0x31637453;
        return 5;
    });
    LONG* codes = nullptr;
    EXPECT_EQ(client->GetEpocCodes(&codes), 2);
    EXPECT_EQ(codes[1], 0x31637453);
    EXPECT_CALL(*engine, GetEpocs(1, _, 9, 1.0, 2.0, 6)).WillOnce(DoubleRows(3, {1, 2, 3}, 1));
    double* data = nullptr;
    EXPECT_EQ(client->GetEpocs(&data, 9, 1.0, 2.0, 6), 1);
    EXPECT_EQ(data[2], 3.0);
}

TEST_F(EpocsTest, WithoutConnectionOrClientNothingIsAsked)
{
    double value = -1, values[4] = {-1, -1, -1, -1};
    EXPECT_EQ(client->GetEpocCodes(nullptr) + client->GetEpocs(nullptr, 1, 0, 0, 0) +
                  client->GetEpocsEx(nullptr, 1, 0, 0) + client->GetValidTimeRanges(nullptr, 1) +
                  client->QryEpocAt(1, 0.0, 0, &value) + client->QryEpocAtEx(1, 0.0, values, 0) +
                  client->QryEpocAtIdx(1, 0, 0, &value),
              0);
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(values[0], 0.0);
}

}  // namespace
}  // namespace orvo::test
