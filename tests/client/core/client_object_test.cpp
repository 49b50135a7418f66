#include <orvo/OrvoCI.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/fixtures/mock_tank_engine.h"
#include "tests/fixtures/vtable.h"

namespace orvo::test {
namespace {

using ::testing::InSequence;

TEST(TankEngineInterface, SlotsKeepTheirPlaces)
{
    EXPECT_EQ(VtableSlot(&ITankEngine::AddClient), 3);
    EXPECT_EQ(VtableSlot(&ITankEngine::GetError), 9);
    EXPECT_EQ(VtableSlot(&ITankEngine::Reserved16), 16);
    EXPECT_EQ(VtableSlot(&ITankEngine::Reserved35), 35);
    EXPECT_EQ(VtableSlot(&ITankEngine::SetRecordOption), 60);
}

using ClientObjectTest = EngineTest;

// Local text is handed out once, after the engine's own text.
TEST_F(ClientObjectTest, GetErrorJoinsEngineAndLocalText)
{
    const auto unlisted = [](const char* name) {
        return LocalErrorBlock("ConnectServer", "Server name given is not enumerated in server list.", name);
    };
    EXPECT_EQ(client->GetError(), "No server connection made.");
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_EQ(std::string(client->GetError()), unlisted("Nowhere"));
    EXPECT_EQ(client->GetError(), "No server connection made.");

    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    Connect();
    EXPECT_CALL(*engine, GetError(1, _)).WillOnce(Return(0));
    EXPECT_EQ(std::string(client->GetError()), unlisted("Nowhere"));

    EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
    EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    EXPECT_EQ(client->ConnectServer("Elsewhere", "MyApp"), 0);
    Connect();
    {
        InSequence order;
        EXPECT_CALL(*engine, GetError(1, _)).WillOnce(ReturnText<1>("Tank not open", 1));
        EXPECT_CALL(*engine, GetError(1, _)).WillOnce(Return(0));
    }
    EXPECT_EQ(std::string(client->GetError()), "Tank not open\n" + unlisted("Elsewhere"));
    EXPECT_EQ(client->GetError(), "No error to report.");
}

TEST_F(ClientObjectTest, ReleaseAndDestructorCloseTheTankThenDeleteClientsInRisingOrder)
{
    client->ReleaseServer();  // unconnected: the strict mock sees nothing
    Connect("MyApp", 5);
    EXPECT_CALL(*engine, AddClient(BstrIs("B"))).WillOnce(Return(9));
    EXPECT_CALL(*engine, AddClient(BstrIs("C"))).WillOnce(Return(2));
    client->AddClient("B");
    client->AddClient("C");
    ASSERT_EQ(client->SwitchClient(9), 1);
    {
        InSequence order;
        EXPECT_CALL(*engine, CloseTank(9)).WillOnce(Return(1));
        for (LONG id : {2, 5, 9}) {
            EXPECT_CALL(*engine, DeleteClient(id)).WillOnce(Return(1));
        }
    }
    client->ReleaseServer();
    testing::Mock::VerifyAndClearExpectations(engine);
    EXPECT_EQ(ClientReferences(), 0u);
    EXPECT_EQ(client->GetClientID("B"), 0);
    client->ReleaseServer();

    Connect();  // and the destructor releases it too
    InSequence order;
    EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
    EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    client.reset();
}

}  // namespace
}  // namespace orvo::test
