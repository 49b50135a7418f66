#include <orvo/OrvoCI.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IgnoreResult;

using BlocksTest = EngineTest;

TEST_F(BlocksTest, SelectBlockRebuildsSupplementsOnlyWhenAccepted)
{
    Connect("MyApp", 4);
    const CSimpleArray<CStoreSupplement*>* supplements = client->GetBlockSupplement();
    // Every out text is filled whatever the engine answers, so none may leak.
    const auto select = [&](LONG answer, const std::string& notes) {
        EXPECT_CALL(*engine, SelectBlock(4, BstrIs("B1"))).WillOnce(Return(answer));
        if (answer != 0) {
            EXPECT_CALL(*engine, GetBlockInfo(4, _, _, _, _, _, _))
                .WillOnce(DoAll(IgnoreResult(ReturnText<1>("1", 0)), IgnoreResult(ReturnText<2>("2", 0)),
                                IgnoreResult(ReturnText<3>("3", 0)), ReturnText<6>(notes, 1)));
        }
        const int result = client->SelectBlock("B1");
        EXPECT_EQ(client->GetBlockSupplement(), supplements);
        return std::to_string(result) + " " + std::to_string(supplements->GetSize());
    };
    const std::string two = "user[USERNOTEDELIMITER]NAME=StoreName;VALUE=Wav1;\r\n[STOREHDRITEM]"
                            "NAME=StoreName;VALUE=Snip;\r\n[STOREHDRITEM]";
    EXPECT_EQ(select(3, two), "1 2");
    EXPECT_EQ((*supplements)[0]->StoreName + (*supplements)[1]->StoreName, "Wav1Snip");
    const CStoreSupplement* first = (*supplements)[0];
    EXPECT_EQ(select(0, ""), "0 2");  // refused: the old ones stay
    EXPECT_EQ((*supplements)[0], first);
    EXPECT_EQ(select(3, "NAME=StoreName;VALUE=Wav1;\r\n[STOREHDRITEM]"), "1 0");  // no delimiter

    // One supplement a store, up to the most stores a block has; notes with
    // more items fail the selection and leave no supplements.
    std::string items = "[USERNOTEDELIMITER]";
    for (int i = 0; i < 4096; ++i) {
        items += "[STOREHDRITEM]";
    }
    EXPECT_EQ(select(3, items), "1 4096");
    EXPECT_EQ(select(3, items + "[STOREHDRITEM]"), "0 0");
    EXPECT_CALL(*engine, GetError(4, _)).WillOnce(Return(0));
    EXPECT_THAT(client->GetError().GetString(), HasSubstr("more than 4096 store supplements"));
}

TEST_F(BlocksTest, RemoveBlockIsRefusedWithItsOwnMessage)
{
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_EQ(client->RemoveBlock("B1"), 0);
    EXPECT_EQ(client->GetError(), "RemoveBlock is not supported in current OrvoEng release. Using windows "
                                  "explorer to remove block for new Data Tank format");
}

}  // namespace
}  // namespace orvo::test
