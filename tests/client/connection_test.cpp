#include "client/OrvoCI.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/support/mock_tank_engine.h"

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

std::string FailureBlock(const std::string& message) { return LocalErrorBlock("ConnectServer", message, "NA"); }

struct LocalCase {
    const char* server;
    const char* address;  // null: not added to the list
};

void PrintTo(const LocalCase& target, std::ostream* out)
{
    *out << '"' << target.server << "\" at " << (target.address != nullptr ? target.address : "-");
}

class LocalActivation : public EngineTest, public ::testing::WithParamInterface<LocalCase> {};

// Stored credentials do not send a local address to another machine.
TEST_P(LocalActivation, UsesTheLocalEngine)
{
    if (GetParam().address != nullptr) {
        ASSERT_EQ(client->AddServer(GetParam().server, GetParam().address, "bob", "LAB", "pw"), 1);
    }
    ServeRemotely();
    Connect("MyApp", 1, GetParam().server);
    EXPECT_TRUE(remoteRequests.empty());
    EXPECT_EQ(ClientEngineReferences(), 1u);
    EXPECT_TRUE(messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, LocalActivation,
                         ::testing::Values(LocalCase{"", nullptr}, LocalCase{"local", nullptr},
                                           LocalCase{"Bench", "127.0.0.1"}, LocalCase{"Zero", "0.0.0.0"}));

using ConnectionTest = EngineTest;

void ExpectEngineRequest(const RemoteRequest& request, const char* server)
{
    EXPECT_TRUE(request.clsid == CLSID_TankEngine);
    EXPECT_EQ(request.clsctx, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER);
    EXPECT_EQ(request.server, server);
    EXPECT_EQ(request.reserved1, 0u);
    EXPECT_EQ(request.reserved2, 0u);
    EXPECT_EQ(request.count, 1u);
    EXPECT_TRUE(request.iid == ITankEngine::iid);
}

TEST_F(ConnectionTest, ListedAddressWithoutUserIsReachedWithoutCredentials)
{
    ASSERT_EQ(client->AddServer("Rig2", "rig-host", "", "", ""), 1);
    ServeRemotely();
    Connect("MyApp", 1, "Rig2");
    ASSERT_EQ(remoteRequests.size(), 1u);
    ExpectEngineRequest(remoteRequests[0], "rig-host");
    EXPECT_FALSE(remoteRequests[0].hasAuthInfo);
}

TEST_F(ConnectionTest, ListedUserIsSentAsAnsiIdentityToTheServerName)
{
    ASSERT_EQ(client->AddServer("Rig3", "", "bob", "LAB", "s3cret"), 1);
    ServeRemotely();
    Connect("MyApp", 1, "Rig3");
    ASSERT_EQ(remoteRequests.size(), 1u);
    const RemoteRequest& request = remoteRequests[0];
    ExpectEngineRequest(request, "Rig3");  // the address is "*"
    ASSERT_TRUE(request.hasAuthInfo);
    EXPECT_EQ(request.auth.dwAuthnSvc, RPC_C_AUTHN_WINNT);
    EXPECT_EQ(request.auth.dwAuthzSvc, RPC_C_AUTHZ_NONE);
    EXPECT_FALSE(request.hasPrincipal);
    EXPECT_EQ(request.auth.dwAuthnLevel, RPC_C_AUTHN_LEVEL_CONNECT);
    EXPECT_EQ(request.auth.dwImpersonationLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
    EXPECT_EQ(request.auth.dwCapabilities, EOAC_NONE);
    ASSERT_TRUE(request.hasIdentity);
    EXPECT_EQ(request.user, "bob");
    EXPECT_EQ(request.userLength, 3u);
    EXPECT_EQ(request.domain, "LAB");
    EXPECT_EQ(request.domainLength, 3u);
    EXPECT_EQ(request.password, "s3cret");
    EXPECT_EQ(request.passwordLength, 6u);
    EXPECT_EQ(request.flags, SEC_WINNT_AUTH_IDENTITY_ANSI);
}

TEST_F(ConnectionTest, RefusedBitnessIsRetriedAsPlainLocalServer)
{
    ASSERT_EQ(client->AddServer("Rig2", "rig-host", "", "", ""), 1);
    ServeRemotely();
    remoteAnswers = {E_INVALIDARG};
    Connect("MyApp", 1, "Rig2");
    ASSERT_EQ(remoteRequests.size(), 2u);
    EXPECT_EQ(remoteRequests[1].clsctx, CLSCTX_LOCAL_SERVER);
    EXPECT_EQ(remoteRequests[1].server, "rig-host");
}

TEST_F(ConnectionTest, UnlistedServerIsALocalErrorWithoutMessageBox)
{
    Connect();
    {
        InSequence order;  // the old connection ends first
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    }
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_TRUE(messageBoxes.empty());
    EXPECT_EQ(ClientEngineReferences(), 0u);
    EXPECT_EQ(std::string(client->GetError()), UnlistedBlock("Nowhere"));
}

// The box shows all local text waiting, an earlier block included.
TEST_F(ConnectionTest, FailedActivationShowsTheSystemTextInAMessageBox)
{
    ASSERT_EQ(client->AddServer("Rig2", "rig-host", "", "", ""), 1);
    EXPECT_EQ(client->ConnectServer("Nowhere", "MyApp"), 0);
    EXPECT_EQ(client->ConnectServer("Rig2", "MyApp"), 0);  // no remote handler
    const std::string expected = UnlistedBlock("Nowhere") + FailureBlock("The RPC server is unavailable.\r\n");
    EXPECT_EQ(messageBoxes, std::vector<std::string>{expected});
    EXPECT_EQ(std::string(client->GetError()), expected);

    ServeRemotely();
    remoteAnswers = {E_ACCESSDENIED};
    EXPECT_EQ(client->ConnectServer("Rig2", "MyApp"), 0);
    EXPECT_EQ(remoteRequests.size(), 1u);  // only E_INVALIDARG is retried
    ASSERT_EQ(messageBoxes.size(), 2u);
    EXPECT_EQ(messageBoxes[1], FailureBlock("Access is denied.\r\n"));
    EXPECT_EQ(ClientEngineReferences(), 0u);
}

TEST_F(ConnectionTest, CheckClientIsHandedBackAndZeroPasses)
{
    for (LONG check : {7, 0}) {
        SCOPED_TRACE(check);
        InSequence order;
        EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(check));
        if (check > 0) {
            EXPECT_CALL(*engine, DeleteClient(check)).WillOnce(Return(1));
        }
        EXPECT_CALL(*engine, AddClient(BstrIs("MyApp"))).WillOnce(Return(1));
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
        EXPECT_EQ(client->ConnectServer("", "MyApp"), 1);
        client->ReleaseServer();
        testing::Mock::VerifyAndClearExpectations(engine);
    }
}

// The engine stays held: the box is the only report, and no client is added.
TEST_F(ConnectionTest, NegativeCheckResultFailsTheConnection)
{
    EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(-1));
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 0);
    EXPECT_EQ(messageBoxes, std::vector<std::string>{FailureBlock("Unspecified error")});
    EXPECT_EQ(ClientEngineReferences(), 1u);
    EXPECT_EQ(std::string(client->GetError()), FailureBlock("Unspecified error"));
    EXPECT_EQ(client->GetClientID("MyApp"), 0);
}

// ReleaseServer forgets the old client, so a refused reconnect has none.
TEST_F(ConnectionTest, ReconnectAnswersOnlyTheNewClient)
{
    Connect("MyApp", 1);
    {
        InSequence order;
        EXPECT_CALL(*engine, CloseTank(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
        EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(Return(7));
        EXPECT_CALL(*engine, DeleteClient(7)).WillOnce(Return(1));
        EXPECT_CALL(*engine, AddClient(BstrIs("MyApp"))).WillOnce(Return(0));
    }
    EXPECT_EQ(client->ConnectServer("", "MyApp"), 0);
    testing::Mock::VerifyAndClearExpectations(engine);
    EXPECT_EQ(ClientEngineReferences(), 1u);
    EXPECT_EQ(client->GetError(), kNoConnection);
    EXPECT_EQ(client->GetClientID("MyApp"), 0);

    // Without a client the release closes nothing.
    Connect("MyApp", 3);
    EXPECT_EQ(CurrentClientId(), 3);
}

TEST_F(ConnectionTest, SameNameTwiceGetsTwoIdsAndTheSmallerIsFound)
{
    EXPECT_EQ(client->AddClient("MyApp"), 0);  // no connection
    Connect("MyApp", 4);
    EXPECT_CALL(*engine, AddClient(BstrIs("MyApp"))).WillOnce(Return(2));
    EXPECT_EQ(client->AddClient("MyApp"), 2);
    EXPECT_EQ(client->GetClientID("MyApp"), 2);
    EXPECT_EQ(client->GetClientID("myapp"), 0);
    EXPECT_EQ(CurrentClientId(), 2);
}

// Below 1 is a refusal; above 999 has no slot and is handed back at once.
TEST_F(ConnectionTest, IdsOutsideOneTo999AreNotStored)
{
    Connect("MyApp", 1);
    for (LONG id : {0, -3, 1000}) {
        SCOPED_TRACE(id);
        EXPECT_CALL(*engine, AddClient(BstrIs("Extra"))).WillOnce(Return(id));
        if (id > 0) {
            EXPECT_CALL(*engine, DeleteClient(id)).WillOnce(Return(1));
        }
        EXPECT_EQ(client->AddClient("Extra"), 0);
        EXPECT_EQ(client->GetClientID("Extra"), 0);
        EXPECT_EQ(client->SwitchClient(id), 0);
        client->DeleteClient(id);
        EXPECT_EQ(CurrentClientId(), 1);
    }
    EXPECT_CALL(*engine, AddClient(BstrIs("Last"))).WillOnce(Return(999));
    EXPECT_EQ(client->AddClient("Last"), 999);
    EXPECT_EQ(CurrentClientId(), 999);
}

TEST_F(ConnectionTest, SwitchClientTakesOnlyRegisteredClients)
{
    Connect("MyApp", 1);
    EXPECT_CALL(*engine, AddClient(BstrIs("B"))).WillOnce(Return(2));
    client->AddClient("B");
    for (LONG id : {0, 3, -1, 1000}) {
        EXPECT_EQ(client->SwitchClient(id), 0) << id;
    }
    EXPECT_EQ(client->SwitchClient("Nobody"), 0);
    EXPECT_EQ(CurrentClientId(), 2);

    EXPECT_EQ(client->SwitchClient("MyApp"), 1);
    EXPECT_EQ(CurrentClientId(), 1);
    EXPECT_EQ(client->SwitchClient(2), 1);
    EXPECT_EQ(CurrentClientId(), 2);
}

TEST_F(ConnectionTest, DeleteClientUnregistersButKeepsTheCurrentId)
{
    Connect("MyApp", 1);
    EXPECT_CALL(*engine, AddClient(BstrIs("B"))).WillOnce(Return(2));
    client->AddClient("B");
    ASSERT_EQ(client->SwitchClient(1), 1);

    EXPECT_CALL(*engine, DeleteClient(1)).WillOnce(Return(1));
    client->DeleteClient(1);
    EXPECT_EQ(CurrentClientId(), 1);
    EXPECT_EQ(client->GetClientID("MyApp"), 0);
    EXPECT_EQ(client->SwitchClient(1), 0);

    EXPECT_CALL(*engine, DeleteClient(2)).WillOnce(Return(1));
    client->DeleteClient("B");
    // Nothing registered is left: none of these reaches the engine.
    client->DeleteClient(1);
    client->DeleteClient("B");
    client->DeleteClient(0);
    client->DeleteClient(-1);
    client->DeleteClient(1000);
}

}  // namespace
}  // namespace orvo::test
