#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <tuple>

#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using FilterStateTest = EngineTest;
using E = MockTankEngine;
constexpr LONG kFreq = 0x71657246;

// Engine expectation, call, result with client 1, result without a client.
const std::tuple<std::function<void(E&)>, std::function<double(OrvoCI&)>, double, double> kForwards[] = {
    {[](E& e) { EXPECT_CALL(e, SetFilterEx(1, kFreq, 65, 1.5, 2.5, 3, 4)).WillOnce(Return(7)); }, [](OrvoCI& c) { return c.SetFilterEx(kFreq, 65, 1.5, 2.5, 3, 4); }, 7, 0},
    {[](E& e) { EXPECT_CALL(e, SetFilterEx(1, kFreq, 73, 1.0, 2.0, 0, 0)).WillOnce(Return(-2)); }, [](OrvoCI& c) { return c.SetFilter(kFreq, 73, 1.0, 2.0); }, -2, 0},
    {[](E& e) { EXPECT_CALL(e, SetFilterWithDimension(1, 4, 5, BstrIs("F"), 1, 0)).WillOnce(Return(3)); }, [](OrvoCI& c) { return c.SetFilterWithDimension(4, 5, "F", true, 0); }, 3, 0},
    {[](E& e) { EXPECT_CALL(e, SetTimeRefEpoc(1, kFreq, 1)).WillOnce(Return(4)); }, [](OrvoCI& c) { return c.SetTimeRefEpoc(kFreq); }, 4, 0},
    {[](E& e) { EXPECT_CALL(e, SetCacheDelay(1, 0.5)).WillOnce(Return(5)); }, [](OrvoCI& c) { return c.SetCacheDelay(0.5); }, 5, 0},
    {[](E& e) { EXPECT_CALL(e, GetCacheDelay(1, _)).WillOnce(DoAll(SetArgPointee<1>(2.5), Return(0))); }, [](OrvoCI& c) { return c.GetCacheDelay(); }, 2.5, 0},
    {[](E& e) { EXPECT_CALL(e, GetFilterTolerance(1, _)).WillOnce(DoAll(SetArgPointee<1>(0.25), Return(1))); }, [](OrvoCI& c) { return c.GetFilterTolerance(); }, 0.25, -1},
    // SetFilterTolerance folds the engine result to 1 or 0.
    {[](E& e) { EXPECT_CALL(e, SetFilterTolerance(1, 0.1)).WillOnce(Return(7)); }, [](OrvoCI& c) { return c.SetFilterTolerance(0.1); }, 1, 0},
    {[](E& e) { EXPECT_CALL(e, SetFilterTolerance(1, 0.1)).WillOnce(Return(-3)); }, [](OrvoCI& c) { return c.SetFilterTolerance(0.1); }, 0, 0},
    {[](E& e) { EXPECT_CALL(e, CreateEpocIndexing(1)).WillOnce(Return(6)); }, [](OrvoCI& c) { return c.CreateEpocIndexing(); }, 6, 0},
    {[](E& e) { EXPECT_CALL(e, IndexEvent(1, 7, 8, 9)).WillOnce(Return(8)); }, [](OrvoCI& c) { return c.IndexEvent(7, 8, 9); }, 8, 0},
    {[](E& e) { EXPECT_CALL(e, ResetFilters(1, 0, 0, 0.0, 0.0)).WillOnce(Return(9)); }, [](OrvoCI& c) { return (c.ResetFilters(), 0.0); }, 0, 0},
    {[](E& e) { EXPECT_CALL(e, ClearEpocIndexing(1)).WillOnce(Return(9)); }, [](OrvoCI& c) { return (c.ClearEpocIndexing(), 0.0); }, 0, 0},
};

// The strict engine fails any call made without a client.
TEST_F(FilterStateTest, ThinForwardsNeedAClientAndPassTheEngineResult)
{
    const auto pass = [&](bool reaches) {
        int row = 0;
        for (const auto& [expect, call, answered, refused] : kForwards) {
            if (reaches) {
                expect(*engine);
            }
            EXPECT_EQ(call(*client), reaches ? answered : refused) << "row " << row++;
        }
    };
    pass(false);
    Connect("MyApp", 0);
    pass(false);
    client->ReleaseServer();
    Connect();
    pass(true);
}

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
