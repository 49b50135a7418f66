// A scripted tank engine for the client's tests, and a fixture that wires it
// up: every test gets its own registry store, a strict mock that the client
// activates as if it were the engine, and a client object.
//
//     TEST_F(EngineTest, OpensTheTank) {
//         Connect();                                   // client id 1, "MyApp"
//         EXPECT_CALL(*engine, OpenTank(1, BstrIs("T1"), 0)).WillOnce(Return(1));
//         EXPECT_EQ(client->OpenTank("T1", 0), 1);
//     }
//
// The mock is strict: any engine call a test did not expect fails it. Texts
// the mock hands back (ReturnText, StoreText) are real BSTRs that the client
// must free, and it never frees the BSTRs the client passes in, so the
// sanitizers see every ownership mistake of the client.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/OrvoCI.h"
#include "engine/ITankEngine.h"
#include "platform/bstr.h"
#include "platform/com.h"
#include "platform/com_error.h"
#include "platform/message_box.h"
#include "tests/support/scratch.h"

namespace orvo::test {

class MockTankEngine : public ComObject<ITankEngine> {
public:
    MockTankEngine();
    ~MockTankEngine() override;

    // Mock objects alive in the process; a client that leaks a reference
    // keeps one alive.
    static int Live();

    MOCK_METHOD(LONG, AddClient, (BSTR name), (override));
    MOCK_METHOD(LONG, AddTank, (BSTR name, BSTR path), (override));
    MOCK_METHOD(LONG, CloseTank, (LONG clientId), (override));
    MOCK_METHOD(LONG, DeleteClient, (LONG clientId), (override));
    MOCK_METHOD(LONG, RemoveTank, (BSTR name), (override));
    MOCK_METHOD(LONG, GetBlockInfo,
                (LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3, DOUBLE* startTime,
                 DOUBLE* stopTime, BSTR* notes),
                (override));
    MOCK_METHOD(LONG, GetError, (LONG clientId, BSTR* text), (override));
    MOCK_METHOD(LONG, ReadEvents,
                (LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel,
                 LONG sortCode, DOUBLE startTime, DOUBLE endTime, LONG options),
                (override));
    MOCK_METHOD(LONG, GetStatus, (LONG clientId, LONG code), (override));
    MOCK_METHOD(LONG, InitializeTank, (BSTR name), (override));
    MOCK_METHOD(LONG, OpenTank, (LONG clientId, BSTR name, LONG mode), (override));
    MOCK_METHOD(LONG, SaveEvents, (LONG clientId, VARIANT* records), (override));
    MOCK_METHOD(LONG, SelectBlock, (LONG clientId, BSTR name), (override));
    MOCK_METHOD(LONG, Reserved16, (), (override));
    MOCK_METHOD(LONG, StartRecord, (LONG clientId, BSTR name), (override));
    MOCK_METHOD(LONG, StopRecord, (LONG clientId), (override));
    MOCK_METHOD(LONG, Reserved19, (), (override));
    MOCK_METHOD(LONG, SetOSTime, (LONG clientId, DOUBLE time), (override));
    MOCK_METHOD(LONG, QueryBlockName, (LONG clientId, LONG index, BSTR* name), (override));
    MOCK_METHOD(LONG, GetEventCodes, (LONG clientId, VARIANT* codes, LONG eventType), (override));
    MOCK_METHOD(LONG, ResetTank, (BSTR name), (override));
    MOCK_METHOD(LONG, CheckTank, (BSTR name), (override));
    MOCK_METHOD(LONG, GetEnumTank, (LONG index, BSTR* name), (override));
    MOCK_METHOD(LONG, GetDebug, (BSTR name, BSTR* text), (override));
    MOCK_METHOD(LONG, EnabTankDebug, (BSTR name, LONG enable), (override));
    MOCK_METHOD(LONG, GetTankItem, (BSTR tank, BSTR item, BSTR* text), (override));
    MOCK_METHOD(LONG, Reserved29, (), (override));
    MOCK_METHOD(LONG, GetHotBlock, (LONG clientId, BSTR* name), (override));
    MOCK_METHOD(LONG, Reserved31, (), (override));
    MOCK_METHOD(LONG, GetEpocCodes, (LONG clientId, VARIANT* codes), (override));
    MOCK_METHOD(LONG, GetEpocs,
                (LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime,
                 LONG option),
                (override));
    MOCK_METHOD(LONG, ResetFilters, (LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3, DOUBLE arg4),
                (override));
    MOCK_METHOD(LONG, Reserved35, (), (override));
    MOCK_METHOD(LONG, CreateEpocIndexing, (LONG clientId), (override));
    MOCK_METHOD(LONG, ClearEpocIndexing, (LONG clientId), (override));
    MOCK_METHOD(LONG, IndexEvent, (LONG clientId, LONG arg1, LONG arg2, LONG arg3), (override));
    MOCK_METHOD(LONG, SetBlockInfo, (LONG clientId, BSTR text1, LONG number, BSTR text2),
                (override));
    MOCK_METHOD(LONG, QryEpocAtIdx, (LONG clientId, LONG code, LONG index, LONG item, DOUBLE* value),
                (override));
    MOCK_METHOD(LONG, GetFilterTolerance, (LONG clientId, DOUBLE* tolerance), (override));
    MOCK_METHOD(LONG, SetFilterTolerance, (LONG clientId, DOUBLE tolerance), (override));
    MOCK_METHOD(LONG, SetFilterEx,
                (LONG clientId, LONG code, LONG op, DOUBLE value1, DOUBLE value2, LONG extra1,
                 LONG extra2),
                (override));
    MOCK_METHOD(LONG, GetCacheDelay, (LONG clientId, DOUBLE* delay), (override));
    MOCK_METHOD(LONG, SetCacheDelay, (LONG clientId, DOUBLE delay), (override));
    MOCK_METHOD(LONG, SetFilterWithDescEx, (LONG clientId, BSTR description, LONG respectOffset),
                (override));
    MOCK_METHOD(LONG, SetFilterWithDimension,
                (LONG clientId, LONG dim1, LONG dim2, BSTR description, LONG flag,
                 LONG respectOffset),
                (override));
    MOCK_METHOD(LONG, SetEpocTimeFilter,
                (LONG clientId, LONG code, DOUBLE startTime, DOUBLE endTime, LONG ignoreOffset),
                (override));
    MOCK_METHOD(LONG, SetTimeRefEpoc, (LONG clientId, LONG code, LONG enable), (override));
    MOCK_METHOD(LONG, GetEpocsEx,
                (LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime,
                 LONG arg3, LONG arg4),
                (override));
    MOCK_METHOD(LONG, GetValidTimeRanges,
                (LONG clientId, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime, LONG maxRanges),
                (override));
    MOCK_METHOD(LONG, QryEpocAtEx,
                (LONG clientId, VARIANT* values, LONG code, DOUBLE time, LONG respectOffset),
                (override));
    MOCK_METHOD(LONG, StartRecordEx, (LONG clientId, BSTR name, BSTR supplements), (override));
    MOCK_METHOD(LONG, SetUseSortName, (LONG clientId, BSTR sortName, LONG option), (override));
    MOCK_METHOD(LONG, SaveSortCode,
                (LONG clientId, LONG code, LONG channel, BSTR sortName, VARIANT* pairs, BSTR memo,
                 LONG kind),
                (override));
    MOCK_METHOD(LONG, GetSortNameList,
                (LONG clientId, LONG code, LONG arg1, LONG arg2, VARIANT* names), (override));
    MOCK_METHOD(LONG, GetSortCondition,
                (LONG clientId, LONG code, LONG channel, BSTR sortName, LONG kind,
                 BSTR* condition),
                (override));
    MOCK_METHOD(LONG, DeleteSortCode,
                (LONG clientId, LONG code, LONG channel, BSTR sortName, LONG option), (override));
    MOCK_METHOD(LONG, GetSortChanMap,
                (LONG clientId, LONG code, BSTR sortName, LONG option, BSTR* map), (override));
    MOCK_METHOD(LONG, SetRecordOption, (LONG clientId, DOUBLE value, LONG option, BSTR data),
                (override));
};

// A BSTR argument whose text, in the ANSI code page, is text. A null BSTR
// reads as "".
MATCHER_P(BstrIs, text, "is the BSTR \"" + std::string(text) + "\"")
{
    const std::string got = BstrToAnsi(arg);
    *result_listener << "which holds \"" << got << "\"";
    return got == std::string(text);
}

// Stores a new BSTR of text (which the client must free) into the k-th
// argument, a BSTR*. The client must hand in a null BSTR: anything else would
// be lost. Only for the leading actions of DoAll.
ACTION_TEMPLATE(StoreText, HAS_1_TEMPLATE_PARAMS(std::size_t, k), AND_1_VALUE_PARAMS(text))
{
    BSTR* out = std::get<k>(args);
    EXPECT_EQ(*out, nullptr) << "an out BSTR must start null";
    *out = BStr(std::string_view(text)).release();
}

// StoreText<k>(text), then returns result.
ACTION_TEMPLATE(ReturnText, HAS_1_TEMPLATE_PARAMS(std::size_t, k), AND_2_VALUE_PARAMS(text, result))
{
    BSTR* out = std::get<k>(args);
    EXPECT_EQ(*out, nullptr) << "an out BSTR must start null";
    *out = BStr(std::string_view(text)).release();
    return result;
}

// One block of the client's own error text, as GetError hands it back.
inline std::string LocalErrorBlock(const std::string& call, const std::string& message,
                                   const std::string& badArg)
{
    return "Local Error >>>\n     Call: " + call + "\n  Message: " + message + "\n  Bad Arg: " + badArg + "\n";
}

// The server list's key, and raw access to its values, past the client.
inline constexpr const char* kServersKey = "Software\\Kivra\\Orvo\\EnumServers";
void WriteRegistryText(const char* key, const std::string& name, const std::string& bytes);
// The value's bytes as stored; nullopt when it cannot be read.
std::optional<std::string> ReadRegistryText(const char* key, const std::string& name);

// What the remote activation handler was given, copied while it ran.
struct RemoteRequest {
    CLSID clsid{};
    DWORD clsctx = 0;
    DWORD reserved1 = 0;
    DWORD reserved2 = 0;
    std::string server;
    DWORD count = 0;
    IID iid{};
    bool hasAuthInfo = false;
    COAUTHINFO auth{};  // its pointers are cleared
    bool hasPrincipal = false;
    bool hasIdentity = false;
    std::string user, domain, password;  // as the lengths give them
    ULONG userLength = 0, domainLength = 0, passwordLength = 0, flags = 0;
};

// At the end of a test its expectations are checked first; then the client
// ends, free to close the tank and delete its clients (the tests of that end
// the client themselves); then the engine must have no reference left but
// the fixture's, whose release ends the mock.
class EngineTest : public ::testing::Test {
protected:
    EngineTest();
    ~EngineTest() override;
    void TearDown() override;

    // Expects the connection check ("TestClient" given id 7, handed back) and
    // the registration of client under id.
    void ExpectConnect(const char* clientName = "MyApp", LONG id = 1);
    // ExpectConnect, then ConnectServer(server, clientName), which must
    // answer id; leaves no expectation behind. With id 0 the engine refuses
    // the client: connected, but with no client id.
    void Connect(const char* clientName = "MyApp", LONG id = 1, const char* server = "");

    // Installs a remote activation handler that records each request in
    // remoteRequests and answers the front of remoteAnswers (popped), or with
    // S_OK the mock when none is queued.
    void ServeRemotely();

    // References the client holds on the engine.
    ULONG ClientEngineReferences();
    // The client id GetError hands the engine, or 0 when it makes no engine
    // call. Verifies and clears the expectations set so far, and takes any
    // local error text waiting.
    LONG CurrentClientId();

    ScratchRegistry registry;
    testing::StrictMock<MockTankEngine>* engine;  // the fixture holds one reference
    std::optional<OrvoCI> client;                  // reset it to end the client early
    std::vector<std::string> messageBoxes;         // texts shown, in order
    std::vector<RemoteRequest> remoteRequests;
    std::deque<HRESULT> remoteAnswers;

private:
    ULONG EngineReferences();

    DWORD m_cookie = 0;
    ULONG m_ownReferences = 0;
    MessageBoxHandler m_previousMessageBox;
    RemoteActivationHandler m_previousRemote;
};

}  // namespace orvo::test
