#include "tests/support/mock_tank_engine.h"

#include <filesystem>

#include "platform/message_box.h"
#include "tests/shared/base_path.h"

namespace orvo::test {

using ::testing::_;

// The lengths, not a terminator, bound what the engine's machine reads.
static std::string AnsiText(const USHORT* text, ULONG length)
{
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), length);
}

EngineTest::EngineTest(bool fileLog)
{
    if (fileLog) {
        StoreBasePath("Kivra Drivers", base.path().string());
        std::filesystem::create_directory(base.path() / "exe.logs");
    }
    SetMessageBoxHandler([this](const char* text, const char*, UINT) {
        messageBoxes.emplace_back(text);
        return IDOK;
    });
    SetRemoteActivationHandler([this](REFCLSID, DWORD clsctx, COSERVERINFO* info, DWORD, MULTI_QI* results) {
        RemoteRequest& request = remoteRequests.emplace_back();
        request.clsctx = clsctx;
        for (const WCHAR* c = info->pwszName; *c != 0; ++c) {
            request.server += static_cast<char>(*c);
        }
        if (info->pAuthInfo != nullptr) {
            request.auth = *info->pAuthInfo;
            if (const COAUTHIDENTITY* id = info->pAuthInfo->pAuthIdentityData) {
                request.identity = AnsiText(id->User, id->UserLength) + "/" + AnsiText(id->Domain, id->DomainLength) +
                                   "/" + AnsiText(id->Password, id->PasswordLength);
                request.flags = id->Flags;
            }
        }
        const HRESULT answer = remoteAnswers.empty() ? S_OK : remoteAnswers.front();
        if (!remoteAnswers.empty()) {
            remoteAnswers.pop_front();
        }
        results[0].pItf = nullptr;  // the client asks for the engine alone
        results[0].hr = FAILED(answer) ? answer : engine->QueryInterface(*results[0].pIID, reinterpret_cast<void**>(&results[0].pItf));
        return results[0].hr;
    });
    EXPECT_EQ(CoRegisterClassObject(CLSID_TankEngine, static_cast<ITankEngine*>(engine), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &m_cookie),
              S_OK);
    client.emplace();
}

void EngineTest::TearDown()
{
    if (client) {
        testing::Mock::VerifyAndClearExpectations(engine);
        EXPECT_CALL(*engine, CloseTank(_)).Times(testing::AnyNumber());
        EXPECT_CALL(*engine, DeleteClient(_)).Times(testing::AnyNumber());
        client.reset();
    }
    SetRemoteActivationHandler(nullptr);
    SetMessageBoxHandler(nullptr);
    CoRevokeClassObject(m_cookie);
    EXPECT_EQ(engine->Release(), 0u) << "the client still holds the engine";
}

void EngineTest::ExpectConnect(const char* clientName, LONG id)
{
    testing::InSequence order;
    EXPECT_CALL(*engine, AddClient(BstrIs("TestClient"))).WillOnce(testing::Return(7));
    EXPECT_CALL(*engine, DeleteClient(7)).WillOnce(testing::Return(1));
    EXPECT_CALL(*engine, AddClient(BstrIs(std::string(clientName)))).WillOnce(testing::Return(id));
}

void EngineTest::Connect(const char* clientName, LONG id, const char* server)
{
    ExpectConnect(clientName, id);
    EXPECT_EQ(client->ConnectServer(server, clientName), id);
    testing::Mock::VerifyAndClearExpectations(engine);
}

}  // namespace orvo::test
