#include <orvo/OrvoCI.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "protocol/Installation.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using ::testing::InSequence;

std::string FailureBlock(const std::string& message) { return LocalErrorBlock("ConnectServer", message, "NA"); }

class ConnectionTest : public EngineTest {
protected:
    // GetError is the one engine call that shows the current client id.
    void ExpectCurrent(LONG id)
    {
        EXPECT_CALL(*engine, GetError(id, _)).WillOnce(Return(0));
        client->GetError();
    }
};

// Stored credentials must not send a local address to another machine.
TEST_F(ConnectionTest, ThisMachineIsActivatedLocally)
{
    ASSERT_EQ(client->AddServer("Bench", "127.0.0.1", "bob", "LAB", "pw"), 1);
    ASSERT_EQ(client->AddServer("Zero", "0.0.0.0", "bob", "LAB", "pw"), 1);
    for (const char* server : {"", "local", "LOCAL", "Bench", "Zero"}) {
        SCOPED_TRACE(server);
        Connect("MyApp", 0, server);  // no client, so the next connection only releases
        EXPECT_EQ(ClientReferences(), 1u);
    }
    EXPECT_TRUE(remoteRequests.empty());
}

TEST_F(ConnectionTest, ListedServersAreReachedWithTheirStoredCredentials)
{
    ASSERT_EQ(client->AddServer("Rig2", "rig-host", "", "", ""), 1);
    ASSERT_EQ(client->AddServer("Rig3", "", "bob", "LAB", "s3cret"), 1);
    Connect("MyApp", 0, "Rig2");
    Connect("MyApp", 0, "Rig3");
    ASSERT_EQ(remoteRequests.size(), 2u);
    EXPECT_EQ(remoteRequests[0].clsctx, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER);
    EXPECT_EQ(remoteRequests[0].server, "rig-host");
    EXPECT_FALSE(remoteRequests[0].auth);  // the user "*" has none

    const RemoteRequest& rig3 = remoteRequests[1];
    EXPECT_EQ(rig3.server, "Rig3");  // the address "*" stands for the server's name
    ASSERT_TRUE(rig3.auth);
    EXPECT_EQ(rig3.auth->dwAuthnSvc, RPC_C_AUTHN_WINNT);
    EXPECT_EQ(rig3.auth->dwImpersonationLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
    EXPECT_EQ(rig3.identity, "bob/LAB/s3cret");
    EXPECT_EQ(rig3.flags, SEC_WINNT_AUTH_IDENTITY_ANSI);
}

// An unlisted server is the caller's mistake: no box. A failed activation
// shows all local text waiting, in a box too.
TEST_F(ConnectionTest, FailuresAreLocalErrors)
{
    ASSERT_EQ(client->AddServer("Rig2", "rig-host", "", "", ""), 1);
    Connect();
    {
        InSequence order;  // the old connection ends first
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    }
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_TRUE(messageBoxes.empty());
    EXPECT_EQ(ClientReferences(), 0u);

    remoteAnswers = {HRESULT_RPC_SERVER_UNAVAILABLE, E_ACCESSDENIED};
    EXPECT_EQ(client->ConnectServer("Rig2", "MyApp"), 0);
    const std::string unlisted = LocalErrorBlock("ConnectServer", "Server name given is not enumerated in server list.", "Nowhere");
    EXPECT_EQ(messageBoxes, std::vector<std::string>{unlisted + FailureBlock("The RPC server is unavailable.\r\n")});

    EXPECT_EQ(client->ConnectServer("Rig2", "MyApp"), 0);
    ASSERT_EQ(messageBoxes.size(), 2u);
    EXPECT_EQ(messageBoxes[1], messageBoxes[0] + FailureBlock("Access is denied.\r\n"));
    EXPECT_EQ(ClientReferences(), 0u);

    // Only a refused bitness is retried.
    remoteAnswers = {E_INVALIDARG};
    Connect("MyApp", 1, "Rig2");
    ASSERT_EQ(remoteRequests.size(), 4u);
    EXPECT_EQ(remoteRequests[3].clsctx, CLSCTX_LOCAL_SERVER);
}

// Below 0 the engine failed: the box is the only report, and the engine
// stays held. A check id of 0 is no client to delete.
TEST_F(ConnectionTest, ConnectionCheck)
{
    EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(-1));
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 0);
    EXPECT_EQ(messageBoxes, std::vector<std::string>{FailureBlock("Unspecified error")});
    EXPECT_EQ(ClientReferences(), 1u);

    InSequence order;
    EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(0));
    EXPECT_CALL(*engine, AddClient(BstrIs("MyApp"))).WillOnce(Return(1));
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 1);
}

// ReleaseServer forgets the old clients, so a refused reconnect has none.
TEST_F(ConnectionTest, RefusedReconnectLeavesNoClient)
{
    Connect("MyApp", 1);
    {
        InSequence order;
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
        ExpectConnect("MyApp", 0);
    }
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 0);
    EXPECT_EQ(client->GetError(), "No server connection made.");
    EXPECT_EQ(client->GetClientID("MyApp"), 0);
    Connect("MyApp", 3);  // without a client the release closes nothing
    ExpectCurrent(3);
}

// Below 1 is a refusal; above 999 has no slot and is handed back at once.
TEST_F(ConnectionTest, IdsOutsideOneTo999AreNotStored)
{
    Connect("MyApp", 1);
    for (LONG id : {0, -3, 1000}) {
        EXPECT_CALL(*engine, AddClient(BstrIs("Extra"))).WillOnce(Return(id));
        if (id > 0) {
            EXPECT_CALL(*engine, DeleteClient(id)).WillOnce(Return(1));
        }
        EXPECT_EQ(client->AddClient("Extra"), 0);
        EXPECT_EQ(client->GetClientID("Extra"), 0);
        ExpectCurrent(1);
    }
    EXPECT_CALL(*engine, AddClient(BstrIs("Last"))).WillOnce(Return(999));
    EXPECT_EQ(client->AddClient("Last"), 999);
    ExpectCurrent(999);
}

TEST_F(ConnectionTest, SwitchAndDeleteTakeOnlyRegisteredClientsAndKeepTheCurrentId)
{
    EXPECT_EQ(client->AddClient("B"), 0);  // no connection
    Connect("MyApp", 4);
    EXPECT_CALL(*engine, AddClient(BstrIs("B"))).WillOnce(Return(2));
    EXPECT_CALL(*engine, AddClient(BstrIs("MyApp"))).WillOnce(Return(3));
    client->AddClient("B");
    client->AddClient("MyApp");
    EXPECT_EQ(client->GetClientID("MyApp"), 3);  // the smaller of two
    EXPECT_EQ(client->GetClientID("myapp"), 0);
    for (LONG id : {0, 1, -1, 1000}) {
        EXPECT_EQ(client->SwitchClient(id), 0) << id;
    }
    EXPECT_EQ(client->SwitchClient("Nobody"), 0);
    ExpectCurrent(3);
    EXPECT_EQ(client->SwitchClient("B"), 1);
    ExpectCurrent(2);
    EXPECT_EQ(client->SwitchClient(4), 1);

    EXPECT_CALL(*engine, DeleteClient(4)).WillOnce(Return(1));
    client->DeleteClient(4);
    ExpectCurrent(4);
    EXPECT_EQ(client->SwitchClient(4), 0);
    EXPECT_CALL(*engine, DeleteClient(2)).WillOnce(Return(1));
    client->DeleteClient("B");
    for (LONG id : {4, 2, 0, -1, 1000}) {
        client->DeleteClient(id);  // none registered: the strict mock sees nothing
    }
}

// An unusable registry hides both the engine's registration and the server
// list; either failure names the file rather than a class or server.
TEST(ConnectionWithoutRegistry, FailuresNameTheRegistry)
{
    ScratchRegistry registry;
    WriteRandomBytes(registry.path(), 4096);
    std::vector<std::string> boxes;
    SetMessageBoxHandler([&boxes](const char* text, const char*, UINT) {
        boxes.emplace_back(text);
        return IDOK;
    });
    OrvoCI client;
    const std::string problem = "the registry " + registry.path() + ": damaged or not a registry file";
    EXPECT_EQ(client.ConnectServer("", "MyApp"), 0);
    EXPECT_EQ(boxes, std::vector<std::string>{FailureBlock(problem)});
    EXPECT_EQ(std::string(client.GetError()), FailureBlock(problem));
    EXPECT_EQ(client.ConnectServer("Rig2", "MyApp"), 0);
    EXPECT_EQ(std::string(client.GetError()), LocalErrorBlock("ConnectServer", problem, "Rig2"));
    SetMessageBoxHandler(nullptr);
}

// The registry alone decides what activation runs, so an engine it names by
// a relative path is refused, and the failure says why.
TEST(ConnectionToRegisteredEngine, OneNamedByARelativePathIsRefusedWithTheReason)
{
    HMODULE loaded = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, kTankEngineModule, &loaded)) {
        GTEST_SKIP() << "the engine is already loaded into this process";
    }
    ScratchRegistry registry;
    const std::string relative = std::string("lib64/") + kTankEngineModule;
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTankEngineServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(relative.c_str()),
                             static_cast<DWORD>(relative.size() + 1)),
              ERROR_SUCCESS);
    SetMessageBoxHandler([](const char*, const char*, UINT) { return IDOK; });
    OrvoCI client;
    EXPECT_EQ(client.ConnectServer("", "MyApp"), 0);
    EXPECT_EQ(std::string(client.GetError()), FailureBlock("the module " + relative + ": not an absolute path"));
    SetMessageBoxHandler(nullptr);
}

}  // namespace
}  // namespace orvo::test
