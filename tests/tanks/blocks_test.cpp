#include "client/OrvoCI.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/mock_tank_engine.h"

namespace orvo::test {
namespace {

using ::testing::_;
using ::testing::Return;

using BlocksTest = EngineTest;

TEST_F(BlocksTest, SelectBlockRebuildsSupplementsOnlyWhenAccepted)
{
    Connect("MyApp", 4);
    const CSimpleArray<CStoreSupplement*>* supplements = client->GetBlockSupplement();
    // Every out text is filled whatever the engine answers, so none may leak.
    const auto select = [&](LONG answer, LONG infoAnswer, const std::string& notes) {
        EXPECT_CALL(*engine, SelectBlock(4, BstrIs("B1"))).WillOnce(Return(answer));
        if (answer != 0) {
            EXPECT_CALL(*engine, GetBlockInfo(4, _, _, _, _, _, _))
                .WillOnce([=](LONG, BSTR* t1, BSTR* t2, BSTR* t3, DOUBLE*, DOUBLE*, BSTR* n) {
                    *t1 = BStr("1").release(), *t2 = BStr("2").release(), *t3 = BStr("3").release();
                    *n = BStr(std::string_view(notes)).release();
                    return infoAnswer;
                });
        }
        const int result = client->SelectBlock("B1");
        EXPECT_EQ(client->GetBlockSupplement(), supplements);
        return std::to_string(result) + " " + std::to_string(supplements->GetSize());
    };
    const std::string two = "user[USERNOTEDELIMITER]NAME=StoreName;VALUE=Wav1;\r\n[STOREHDRITEM]"
                            "NAME=StoreName;VALUE=Snip;\r\n[STOREHDRITEM]";
    EXPECT_EQ(select(3, 1, two), "1 2");
    EXPECT_EQ((*supplements)[0]->StoreName + (*supplements)[1]->StoreName, "Wav1Snip");
    const CStoreSupplement* first = (*supplements)[0];
    EXPECT_EQ(select(0, 0, ""), "0 2");
    EXPECT_EQ((*supplements)[0], first);
    EXPECT_EQ(select(3, 0, two), "1 0");
    EXPECT_EQ(select(3, 1, two), "1 2");
    EXPECT_EQ(select(3, 1, "NAME=StoreName;VALUE=Wav1;\r\n[STOREHDRITEM]"), "1 0");
}

// Both replace, not append to, the error text gathered before.
TEST_F(BlocksTest, RemovalsAreRefusedWithTheirOwnMessage)
{
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_EQ(client->RemoveEvents("B1", 0.0, 1.0), 0);
    EXPECT_EQ(client->RemoveBlock("B1"), 0);
    EXPECT_EQ(client->GetError(), "RemoveBlock is not supported in current OrvoEng release. Using windows "
                                  "explorer to remove block for new Data Tank format");
    EXPECT_EQ(client->RemoveEvents("B1", 0.0, 1.0), 0);
    EXPECT_EQ(client->GetError(), "RemoveEvents is not supported in current OrvoEng release.");
}

}  // namespace
}  // namespace orvo::test
