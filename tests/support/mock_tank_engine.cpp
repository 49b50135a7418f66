#include "tests/support/mock_tank_engine.h"

#include <atomic>

#include "platform/registry.h"

namespace orvo::test {

using ::testing::_;

namespace {

std::atomic<int> g_liveEngines{0};

// Hands out the one mock for every activation on this machine.
class EngineFactory final : public ComObject<IClassFactory> {
public:
    explicit EngineFactory(ITankEngine* engine) : m_engine(engine) {}

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (outer != nullptr) {
            *object = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return m_engine->QueryInterface(riid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    ComPtr<ITankEngine> m_engine;
};

// The texts of these tests are ASCII.
std::string Narrow(const WCHAR* text)
{
    std::string narrow;
    for (; text != nullptr && *text != 0; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

std::string AnsiField(const USHORT* text, ULONG length)
{
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), length);
}

}  // namespace

MockTankEngine::MockTankEngine() { ++g_liveEngines; }
MockTankEngine::~MockTankEngine() { --g_liveEngines; }
int MockTankEngine::Live() { return g_liveEngines; }

void WriteRegistryText(const char* key, const std::string& name, const std::string& bytes)
{
    HKEY handle = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

std::optional<std::string> ReadRegistryText(const char* key, const std::string& name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string bytes(8192, '\0');
    DWORD size = static_cast<DWORD>(bytes.size());
    const LONG read = RegQueryValueExA(handle, name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(bytes.data()), &size);
    RegCloseKey(handle);
    if (read != ERROR_SUCCESS) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

EngineTest::EngineTest()
{
    CoInitialize(nullptr);
    m_previousMessageBox = SetMessageBoxHandler([this](const char* text, const char*, UINT) {
        messageBoxes.emplace_back(text != nullptr ? text : "");
        return IDOK;
    });
    // No test reaches another machine unless it asks to.
    m_previousRemote = SetRemoteActivationHandler(nullptr);

    engine = new testing::StrictMock<MockTankEngine>;
    ComPtr<IClassFactory> factory;
    factory.attach(new EngineFactory(engine));
    EXPECT_EQ(CoRegisterClassObject(CLSID_TankEngine, factory.get(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &m_cookie),
              S_OK);
    m_ownReferences = EngineReferences();
    client.emplace();
}

EngineTest::~EngineTest()
{
    SetRemoteActivationHandler(std::move(m_previousRemote));
    SetMessageBoxHandler(std::move(m_previousMessageBox));
    CoUninitialize();
}

void EngineTest::TearDown()
{
    if (client) {
        // What the test expected is settled first. Ending the client closes
        // the tank and deletes its clients; the tests of that expect it
        // themselves.
        testing::Mock::VerifyAndClearExpectations(engine);
        EXPECT_CALL(*engine, CloseTank(_)).Times(testing::AnyNumber());
        EXPECT_CALL(*engine, DeleteClient(_)).Times(testing::AnyNumber());
        client.reset();
    }
    EXPECT_EQ(ClientEngineReferences(), 0u) << "the ended client still holds the engine";
    CoRevokeClassObject(m_cookie);
    SetRemoteActivationHandler(nullptr);
    remoteAnswers.clear();
    // The last reference: the mock ends here and checks its expectations.
    engine->Release();
    engine = nullptr;
    EXPECT_EQ(MockTankEngine::Live(), 0);
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

void EngineTest::ServeRemotely()
{
    SetRemoteActivationHandler([this](REFCLSID clsid, DWORD clsctx, COSERVERINFO* info, DWORD count,
                                      MULTI_QI* results) -> HRESULT {
        RemoteRequest& request = remoteRequests.emplace_back();
        request.clsid = clsid;
        request.clsctx = clsctx;
        request.count = count;
        if (count > 0 && results[0].pIID != nullptr) {
            request.iid = *results[0].pIID;
        }
        if (info != nullptr) {
            request.reserved1 = info->dwReserved1;
            request.reserved2 = info->dwReserved2;
            request.server = Narrow(info->pwszName);
            if (const COAUTHINFO* auth = info->pAuthInfo) {
                request.hasAuthInfo = true;
                request.auth = *auth;
                request.hasPrincipal = auth->pwszServerPrincName != nullptr;
                request.auth.pwszServerPrincName = nullptr;
                request.auth.pAuthIdentityData = nullptr;
                if (const COAUTHIDENTITY* identity = auth->pAuthIdentityData) {
                    request.hasIdentity = true;
                    request.user = AnsiField(identity->User, identity->UserLength);
                    request.domain = AnsiField(identity->Domain, identity->DomainLength);
                    request.password = AnsiField(identity->Password, identity->PasswordLength);
                    request.userLength = identity->UserLength;
                    request.domainLength = identity->DomainLength;
                    request.passwordLength = identity->PasswordLength;
                    request.flags = identity->Flags;
                }
            }
        }

        HRESULT answer = S_OK;
        if (!remoteAnswers.empty()) {
            answer = remoteAnswers.front();
            remoteAnswers.pop_front();
        }
        bool all = true;
        for (DWORD i = 0; i < count; ++i) {
            results[i].pItf = nullptr;
            results[i].hr = FAILED(answer) ? answer
                                           : engine->QueryInterface(*results[i].pIID,
                                                                    reinterpret_cast<void**>(&results[i].pItf));
            all = all && SUCCEEDED(results[i].hr);
        }
        return FAILED(answer) ? answer : all ? S_OK : E_NOINTERFACE;
    });
}

ULONG EngineTest::EngineReferences()
{
    engine->AddRef();
    return engine->Release();
}

ULONG EngineTest::ClientEngineReferences() { return EngineReferences() - m_ownReferences; }

LONG EngineTest::CurrentClientId()
{
    testing::Mock::VerifyAndClearExpectations(engine);
    std::optional<LONG> id;
    EXPECT_CALL(*engine, GetError(_, _)).Times(testing::AtMost(1)).WillOnce([&id](LONG clientId, BSTR*) {
        id = clientId;
        return 0;
    });
    client->GetError();
    testing::Mock::VerifyAndClearExpectations(engine);
    EXPECT_NE(id, 0) << "GetError handed the engine client id 0";
    return id.value_or(0);
}

}  // namespace orvo::test
