#include "client/OrvoCI.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <type_traits>

#include "tests/support/mock_tank_engine.h"
#include "tests/support/vtable.h"

namespace orvo::test {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Return;

constexpr const char* kNoConnection = "No server connection made.";

std::string UnlistedBlock(const std::string& name)
{
    return LocalErrorBlock("ConnectServer", "Server name given is not enumerated in server list.", name);
}

TEST(TankEngineInterface, SlotsKeepTheirPlaces)
{
    EXPECT_EQ(VtableSlot(&ITankEngine::AddClient), 3);
    EXPECT_EQ(VtableSlot(&ITankEngine::GetError), 9);
    EXPECT_EQ(VtableSlot(&ITankEngine::SelectBlock), 15);
    EXPECT_EQ(VtableSlot(&ITankEngine::Reserved16), 16);
    EXPECT_EQ(VtableSlot(&ITankEngine::GetDebug), 26);
    EXPECT_EQ(VtableSlot(&ITankEngine::Reserved35), 35);
    EXPECT_EQ(VtableSlot(&ITankEngine::SetRecordOption), 60);
}

TEST(ClientObject, IsNotCopyable)
{
    static_assert(!std::is_copy_constructible_v<OrvoCI>);
    static_assert(!std::is_copy_assignable_v<OrvoCI>);
}

// The fixture initialises its own thread, so this one starts bare.
TEST(ClientObject, InitialisesComOnItsThread)
{
    ScratchRegistry registry;
    std::thread([] {
        OrvoCI client;
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        CoUninitialize();
    }).join();
}

using ClientObjectTest = EngineTest;

TEST_F(ClientObjectTest, GetErrorWithoutConnectionReportsLocalTextOnce)
{
    EXPECT_EQ(client->GetError(), kNoConnection);

    // Two blocks, from two failed connections, come back together in order.
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_EQ(client->ConnectServer("Elsewhere", "MyApp"), 0);
    EXPECT_EQ(std::string(client->GetError()), UnlistedBlock("Nowhere") + UnlistedBlock("Elsewhere"));
    EXPECT_EQ(client->GetError(), kNoConnection);
}

TEST_F(ClientObjectTest, GetErrorAsksTheEngineForTheCurrentClient)
{
    Connect();
    {
        InSequence order;
        EXPECT_CALL(*engine, GetError(1, _)).WillOnce(ReturnText<1>("Tank not open", 1));
        EXPECT_CALL(*engine, GetError(1, _)).WillOnce(Return(0));
    }
    EXPECT_EQ(client->GetError(), "Tank not open");
    EXPECT_EQ(client->GetError(), "No error to report.");
}

// A refused connection check leaves the engine held but no client, and a
// local block waiting; a client added then makes GetError ask the engine.
TEST_F(ClientObjectTest, GetErrorJoinsEngineTextAndLocalTextOnce)
{
    EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(-1));
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 0);
    ASSERT_EQ(messageBoxes.size(), 1u);
    const std::string local = messageBoxes[0];

    EXPECT_CALL(*engine, AddClient(BstrIs("Other"))).WillOnce(Return(4));
    EXPECT_EQ(client->AddClient("Other"), 4);
    {
        InSequence order;
        EXPECT_CALL(*engine, GetError(4, _)).WillOnce(ReturnText<1>("Engine says no", 1));
        EXPECT_CALL(*engine, GetError(4, _)).WillOnce(Return(0));
    }
    EXPECT_EQ(std::string(client->GetError()), "Engine says no\n" + local);
    EXPECT_EQ(client->GetError(), "No error to report.");
}

TEST_F(ClientObjectTest, ReleaseServerClosesTheTankAndDeletesEveryClientInRisingOrder)
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
        EXPECT_CALL(*engine, DeleteClient(2)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(5)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(9)).WillOnce(Return(1));
    }
    client->ReleaseServer();
    testing::Mock::VerifyAndClearExpectations(engine);
    EXPECT_EQ(ClientEngineReferences(), 0u);
    EXPECT_EQ(client->GetClientID("B"), 0);
    EXPECT_EQ(client->GetError(), kNoConnection);

    client->ReleaseServer();  // once released, nothing more reaches the engine
}

TEST_F(ClientObjectTest, ReleaseServerWithoutClientOnlyReleasesTheEngine)
{
    Connect("MyApp", 0);
    ASSERT_EQ(ClientEngineReferences(), 1u);
    client->ReleaseServer();
    EXPECT_EQ(ClientEngineReferences(), 0u);
}

TEST_F(ClientObjectTest, DestructorReleasesTheConnection)
{
    Connect();
    {
        InSequence order;
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    }
    client.reset();
    EXPECT_EQ(ClientEngineReferences(), 0u);
}

TEST_F(ClientObjectTest, DebugOperationsNeedTheEngineButNoClient)
{
    EXPECT_EQ(client->GetDebug("Tank1"), "");
    client->EnabTankDebug("Tank1", 1);

    Connect("MyApp", 0);
    EXPECT_CALL(*engine, GetDebug(BstrIs("Tank1"), _)).WillOnce(ReturnText<1>("cache 3 blocks", 1));
    EXPECT_CALL(*engine, GetDebug(BstrIs("Tank2"), _)).WillOnce(Return(0));
    EXPECT_CALL(*engine, EnabTankDebug(BstrIs("Tank1"), 1)).WillOnce(Return(0));
    EXPECT_EQ(client->GetDebug("Tank1"), "cache 3 blocks");
    EXPECT_EQ(client->GetDebug("Tank2"), "");
    client->EnabTankDebug("Tank1", 1);
}

}  // namespace
}  // namespace orvo::test
