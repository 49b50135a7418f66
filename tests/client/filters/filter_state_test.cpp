#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using FilterStateTest = EngineTest;
constexpr LONG kFreq = 0x71657246;

TEST_F(FilterStateTest, SetFilterWithDescSumsTheParsedFilters)
{
    EXPECT_EQ(client->SetFilterWithDesc("Freq>5"), 0);
    Connect();
    EXPECT_CALL(*engine, SetFilterEx(1, kFreq, 65, 5.0, 0.0, 0, 0)).Times(2).WillRepeatedly(Return(1));
    EXPECT_CALL(*engine, SetFilterEx(1, 0x6E616843, 73, 2.0, 9.0, 1, 0)).WillOnce(Return(1));
    EXPECT_EQ(client->SetFilterWithDesc("Freq>5;Chan=2:9{1,0}"), 2);
    EXPECT_EQ(client->SetFilterWithDesc(";;Freq>5;;xx"), 1);
}

TEST_F(FilterStateTest, OffsetEpocFlagTakesTheSettingAndEpocTimeFilterNegatesIt)
{
    Connect();
    for (const auto& [flag, setting, sent] : {std::tuple{0, 1.0, 1}, {1, 0.0, 0}, {5, 0.0, 0}, {-1, 1.0, 0}, {-1, 0.0, 1}}) {
        client->SetGlobal(9, setting);
        EXPECT_CALL(*engine, SetEpocTimeFilter(1, kFreq, 1.0, 2.0, sent)).WillOnce(Return(3));
        EXPECT_EQ(client->SetEpocTimeFilter(kFreq, 1.0, 2.0, flag), 3) << flag << " " << setting;
    }
    client->SetGlobal(9, 2.9);
    EXPECT_CALL(*engine, SetFilterWithDescEx(1, BstrIs("Freq>5"), 2)).WillOnce(Return(1));
    EXPECT_CALL(*engine, SetFilterWithDimension(1, 0, 0, BstrIs(""), 0, 2)).WillOnce(Return(1));
    EXPECT_EQ(client->SetFilterWithDescEx("Freq>5", -1), 1);
    EXPECT_EQ(client->SetFilterWithDimension(0, 0, "", false, -1), 1);
}

}  // namespace
}  // namespace orvo::test
