// A strict mock tank engine, and a fixture in which the client activates it
// as it would the engine, locally or on another machine:
//
//     TEST_F(EngineTest, OpensTheTank) {
//         Connect();                                   // client id 1, "MyApp"
//         EXPECT_CALL(*engine, OpenTank(1, BstrIs("T1"), 0)).WillOnce(Return(1));
//         EXPECT_EQ(client->OpenTank("T1", 0), 1);
//     }
//
// Texts handed back are real BSTRs and those passed in are never freed, so
// the sanitizers see every ownership mistake of the client.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/OrvoCI.h"
#include "engine/ITankEngine.h"
#include "events/SQHead.h"
#include "platform/com_error.h"
#include "platform/com.h"
#include "platform/safearray.h"
#include "tests/support/scratch.h"

namespace orvo::test {

// The matchers and actions every engine test uses.
using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;


// Its own class object too, so that registering it is all activation needs.
class MockTankEngine : public ComObject<ITankEngine, IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override { return QueryInterface(riid, object); }
    HRESULT LockServer(BOOL) override { return S_OK; }

    MOCK_METHOD(LONG, AddClient, (BSTR), (override));
    MOCK_METHOD(LONG, AddTank, (BSTR, BSTR), (override));
    MOCK_METHOD(LONG, CloseTank, (LONG), (override));
    MOCK_METHOD(LONG, DeleteClient, (LONG), (override));
    MOCK_METHOD(LONG, RemoveTank, (BSTR), (override));
    MOCK_METHOD(LONG, GetBlockInfo, (LONG, BSTR*, BSTR*, BSTR*, DOUBLE*, DOUBLE*, BSTR*), (override));
    MOCK_METHOD(LONG, GetError, (LONG, BSTR*), (override));
    MOCK_METHOD(LONG, ReadEvents, (LONG, VARIANT*, LONG, LONG, LONG, LONG, DOUBLE, DOUBLE, LONG), (override));
    MOCK_METHOD(LONG, GetStatus, (LONG, LONG), (override));
    MOCK_METHOD(LONG, InitializeTank, (BSTR), (override));
    MOCK_METHOD(LONG, OpenTank, (LONG, BSTR, LONG), (override));
    MOCK_METHOD(LONG, SaveEvents, (LONG, VARIANT*), (override));
    MOCK_METHOD(LONG, SelectBlock, (LONG, BSTR), (override));
    MOCK_METHOD(LONG, Reserved16, (), (override));
    MOCK_METHOD(LONG, StartRecord, (LONG, BSTR), (override));
    MOCK_METHOD(LONG, StopRecord, (LONG), (override));
    MOCK_METHOD(LONG, Reserved19, (), (override));
    MOCK_METHOD(LONG, SetOSTime, (LONG, DOUBLE), (override));
    MOCK_METHOD(LONG, QueryBlockName, (LONG, LONG, BSTR*), (override));
    MOCK_METHOD(LONG, GetEventCodes, (LONG, VARIANT*, LONG), (override));
    MOCK_METHOD(LONG, ResetTank, (BSTR), (override));
    MOCK_METHOD(LONG, CheckTank, (BSTR), (override));
    MOCK_METHOD(LONG, GetEnumTank, (LONG, BSTR*), (override));
    MOCK_METHOD(LONG, GetDebug, (BSTR, BSTR*), (override));
    MOCK_METHOD(LONG, EnabTankDebug, (BSTR, LONG), (override));
    MOCK_METHOD(LONG, GetTankItem, (BSTR, BSTR, BSTR*), (override));
    MOCK_METHOD(LONG, Reserved29, (), (override));
    MOCK_METHOD(LONG, GetHotBlock, (LONG, BSTR*), (override));
    MOCK_METHOD(LONG, Reserved31, (), (override));
    MOCK_METHOD(LONG, GetEpocCodes, (LONG, VARIANT*), (override));
    MOCK_METHOD(LONG, GetEpocs, (LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG), (override));
    MOCK_METHOD(LONG, ResetFilters, (LONG, LONG, LONG, DOUBLE, DOUBLE), (override));
    MOCK_METHOD(LONG, Reserved35, (), (override));
    MOCK_METHOD(LONG, CreateEpocIndexing, (LONG), (override));
    MOCK_METHOD(LONG, ClearEpocIndexing, (LONG), (override));
    MOCK_METHOD(LONG, IndexEvent, (LONG, LONG, LONG, LONG), (override));
    MOCK_METHOD(LONG, SetBlockInfo, (LONG, BSTR, LONG, BSTR), (override));
    MOCK_METHOD(LONG, QryEpocAtIdx, (LONG, LONG, LONG, LONG, DOUBLE*), (override));
    MOCK_METHOD(LONG, GetFilterTolerance, (LONG, DOUBLE*), (override));
    MOCK_METHOD(LONG, SetFilterTolerance, (LONG, DOUBLE), (override));
    MOCK_METHOD(LONG, SetFilterEx, (LONG, LONG, LONG, DOUBLE, DOUBLE, LONG, LONG), (override));
    MOCK_METHOD(LONG, GetCacheDelay, (LONG, DOUBLE*), (override));
    MOCK_METHOD(LONG, SetCacheDelay, (LONG, DOUBLE), (override));
    MOCK_METHOD(LONG, SetFilterWithDescEx, (LONG, BSTR, LONG), (override));
    MOCK_METHOD(LONG, SetFilterWithDimension, (LONG, LONG, LONG, BSTR, LONG, LONG), (override));
    MOCK_METHOD(LONG, SetEpocTimeFilter, (LONG, LONG, DOUBLE, DOUBLE, LONG), (override));
    MOCK_METHOD(LONG, SetTimeRefEpoc, (LONG, LONG, LONG), (override));
    MOCK_METHOD(LONG, GetEpocsEx, (LONG, VARIANT*, LONG, DOUBLE, DOUBLE, LONG, LONG), (override));
    MOCK_METHOD(LONG, GetValidTimeRanges, (LONG, VARIANT*, DOUBLE, DOUBLE, LONG), (override));
    MOCK_METHOD(LONG, QryEpocAtEx, (LONG, VARIANT*, LONG, DOUBLE, LONG), (override));
    MOCK_METHOD(LONG, StartRecordEx, (LONG, BSTR, BSTR), (override));
    MOCK_METHOD(LONG, SetUseSortName, (LONG, BSTR, LONG), (override));
    MOCK_METHOD(LONG, SaveSortCode, (LONG, LONG, LONG, BSTR, VARIANT*, BSTR, LONG), (override));
    MOCK_METHOD(LONG, GetSortNameList, (LONG, LONG, LONG, LONG, VARIANT*), (override));
    MOCK_METHOD(LONG, GetSortCondition, (LONG, LONG, LONG, BSTR, LONG, BSTR*), (override));
    MOCK_METHOD(LONG, DeleteSortCode, (LONG, LONG, LONG, BSTR, LONG), (override));
    MOCK_METHOD(LONG, GetSortChanMap, (LONG, LONG, BSTR, LONG, BSTR*), (override));
    MOCK_METHOD(LONG, SetRecordOption, (LONG, DOUBLE, LONG, BSTR), (override));
};

// A null BSTR reads as "".
MATCHER_P(BstrIs, text, "is the BSTR \"" + std::string(text) + "\"")
{
    const std::string got = BstrToAnsi(arg);
    *result_listener << "which holds \"" << got << "\"";
    return got == std::string(text);
}

// A non-null out BSTR would be lost when overwritten.
ACTION_TEMPLATE(ReturnText, HAS_1_TEMPLATE_PARAMS(std::size_t, k), AND_2_VALUE_PARAMS(text, result))
{
    BSTR* out = std::get<k>(args);
    EXPECT_EQ(*out, nullptr) << "an out BSTR must start null";
    *out = BStr(std::string_view(text)).release();
    return result;
}

// A record's words: its header, then its data words.
inline std::vector<LONG> Words(const SQHead& head, std::vector<LONG> data = {})
{
    std::vector<LONG> words(kHeaderWords);
    WriteHeader(words.data(), head);
    words.insert(words.end(), data.begin(), data.end());
    return words;
}

// Event rows as the engine makes them, for the engine's VARIANT out
// argument (its second): declared (rows, words), so the descriptor holds the
// words of a row first. Each record is padded or cut to width words.
inline auto Rows(ULONG width, std::vector<std::vector<LONG>> records, LONG result, VARTYPE vt = VT_I4,
                 UINT dims = 2)
{
    return [=](LONG, VARIANT* out, auto&&...) {
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(records.size()), 0}, {width, 0}};
        out->vt = VT_ARRAY | VT_I4, out->parray = SafeArrayCreate(vt, dims, bounds);
        for (std::size_t i = 0; i < records.size() && dims == 2; ++i) {
            std::memcpy(static_cast<LONG*>(out->parray->pvData) + i * width, records[i].data(),
                        std::min<std::size_t>(records[i].size(), width) * sizeof(LONG));
        }
        return result;
    };
}

// A table of doubles (epocs, ranges), declared (doubles, rows), so the
// descriptor holds the rows first.
inline auto DoubleRows(ULONG width, std::vector<double> values, LONG result)
{
    return [=](LONG, VARIANT* out, auto&&...) {
        SAFEARRAYBOUND bounds[2] = {{width, 0}, {static_cast<ULONG>(values.size() / width), 0}};
        out->vt = VT_ARRAY | VT_R8, out->parray = SafeArrayCreate(VT_R8, 2, bounds);
        std::copy(values.begin(), values.end(), static_cast<double*>(out->parray->pvData));
        return result;
    };
}

inline std::string LocalErrorBlock(const std::string& call, const std::string& message, const std::string& badArg)
{
    return "Local Error >>>\n     Call: " + call + "\n  Message: " + message + "\n  Bad Arg: " + badArg + "\n";
}

// Copied while the remote activation ran.
struct RemoteRequest {
    DWORD clsctx = 0;
    std::string server;
    std::optional<COAUTHINFO> auth;  // its pointers dangle afterwards
    std::string identity;            // "user/domain/password", as the lengths bound them
    ULONG flags = 0;
};

// The engine is held by the fixture, and by the class table until teardown.
// Teardown settles the test's expectations first; then the client ends, free
// to close the tank and delete its clients; then the fixture's release must
// be the last one, which deletes the mock.
class EngineTest : public ::testing::Test {
protected:
    // With fileLog, the installation folder is a scratch folder with a log
    // folder, set before the client resolves it.
    explicit EngineTest(bool fileLog = false);
    void TearDown() override;

    // The connection check ("TestClient", id 7, deleted again), then client.
    void ExpectConnect(const char* clientName = "MyApp", LONG id = 1);
    // ConnectServer must answer id (0: the engine refuses the client);
    // leaves no expectation behind.
    void Connect(const char* clientName = "MyApp", LONG id = 1, const char* server = "");
    // Beyond the fixture's and the class table's.
    ULONG ClientReferences() { return (engine->AddRef(), engine->Release()) - 2; }

    ScratchRegistry registry;
    ScratchDir base;
    testing::StrictMock<MockTankEngine>* engine = new testing::StrictMock<MockTankEngine>;
    std::optional<OrvoCI> client;           // reset it to end the client early
    std::vector<std::string> messageBoxes;  // texts shown, in order
    // Remote activations answer the front of remoteAnswers (popped), else
    // hand out the mock.
    std::vector<RemoteRequest> remoteRequests;
    std::deque<HRESULT> remoteAnswers;

private:
    DWORD m_cookie = 0;
};

}  // namespace orvo::test
