// The engine's call frame: an exception inside an operation becomes that
// operation's failure answer and an error text naming it, and the engine
// serves on. The exceptions come from the engine's test hook.
#include "tankengine/server/OperationHook.h"
#include "tankengine/server/TankEngine.h"

#include <orvo/platform/bstr.h>
#include "platform/ansi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace orvo::engine::test {
namespace {

void ThrowBadAlloc(std::string_view) { throw std::bad_alloc(); }
void ThrowRuntimeError(std::string_view) { throw std::runtime_error("disk on fire"); }
void ThrowInt(std::string_view) { throw 7; }

class EngineFrame : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine.attach(new TankEngine);
        client = engine->AddClient(nullptr);
        ASSERT_GT(client, 0);
    }
    void TearDown() override { g_operationHookForTests = nullptr; }

    // Runs call with the hook throwing, then answers the call's answer.
    LONG Throwing(OperationHook hook, const std::function<LONG()>& call)
    {
        g_operationHookForTests = hook;
        LONG answer = call();
        g_operationHookForTests = nullptr;
        return answer;
    }

    std::string Error()
    {
        BSTR text = nullptr;
        if (engine->GetError(client, &text) == 0) {
            return {};
        }
        std::string error = WideToAnsi(std::u16string_view(text, SysStringLen(text)));
        SysFreeString(text);
        return error;
    }

    // The client still has its state and the lock is free again.
    void ExpectServing() { EXPECT_EQ(engine->GetStatus(client, 0), 'C'); }

    ComPtr<ITankEngine> engine;
    LONG client = 0;
};

TEST_F(EngineFrame, AnExceptionFailsTheCallWithItsText)
{
    const struct {
        OperationHook hook;
        const char* error;
    } cases[] = {
        {ThrowBadAlloc, "ReadEvents: out of memory"},
        {ThrowRuntimeError, "ReadEvents: disk on fire"},
        {ThrowInt, "ReadEvents: unknown exception"},
    };
    for (const auto& c : cases) {
        VARIANT events;
        VariantInit(&events);
        EXPECT_EQ(Throwing(c.hook, [&] { return engine->ReadEvents(client, &events, 10, 0, 0, 0, 0, 0, 0); }), -1);
        EXPECT_EQ(events.vt, VT_EMPTY) << c.error;
        EXPECT_EQ(Error(), c.error);
        EXPECT_EQ(Error(), "") << "reported once";
        ExpectServing();
    }
}

TEST_F(EngineFrame, EveryKindOfCallAnswersItsFailure)
{
    BSTR text = nullptr;
    VARIANT codes;
    VariantInit(&codes);
    const struct {
        const char* error;
        std::function<LONG()> call;
        LONG failure;
    } cases[] = {
        {"GetHotBlock: out of memory", [&] { return engine->GetHotBlock(client, &text); }, 0},
        // Without a client: kept engine-wide, which every client's GetError reports.
        {"CheckTank: out of memory", [&] { return engine->CheckTank(nullptr); }, 0},
        {"AddClient: out of memory", [&] { return engine->AddClient(nullptr); }, 0},
        // The sort operations answer 0 for success.
        {"SetRecordOption: out of memory", [&] { return engine->SetRecordOption(client, 1, 1, nullptr); }, 1},
        {"GetSortChanMap: out of memory", [&] { return engine->GetSortChanMap(client, 1, nullptr, 0, &text); }, 1},
        // Reads that answer a count answer -1, as 0 is "nothing" for them.
        {"GetEventCodes: out of memory", [&] { return engine->GetEventCodes(client, &codes, 0); }, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Throwing(ThrowBadAlloc, c.call), c.failure) << c.error;
        EXPECT_EQ(text, nullptr) << c.error;
        EXPECT_EQ(codes.vt, VT_EMPTY) << c.error;
        EXPECT_EQ(Error(), c.error);
        ExpectServing();
    }
}

TEST_F(EngineFrame, AFailedGetErrorSaysSoNextTime)
{
    EXPECT_EQ(engine->GetStatus(client, 9), 0);
    BSTR text = nullptr;
    EXPECT_EQ(Throwing(ThrowRuntimeError, [&] { return engine->GetError(client, &text); }), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(Error(), "GetError: disk on fire");
    ExpectServing();
}

// A read slow on disk: ReadEvents waits until the test lets it go.
std::atomic<bool> g_readEntered{false};
std::atomic<bool> g_readMayGoOn{false};
void SlowRead(std::string_view operation)
{
    if (operation == "ReadEvents") {
        g_readEntered = true;
        while (!g_readMayGoOn) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

TEST_F(EngineFrame, OneClientBusyOnDiskHoldsUpNoOtherClient)
{
    g_readEntered = false;
    g_readMayGoOn = false;
    g_operationHookForTests = SlowRead;
    std::future<LONG> read = std::async(std::launch::async, [&] {
        VARIANT events;
        VariantInit(&events);
        return engine->ReadEvents(client, &events, 10, 0, 0, 0, 0, 0, 0);
    });
    while (!g_readEntered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Another client comes, works, reports and goes while the read waits.
    std::future<bool> other = std::async(std::launch::async, [&] {
        const LONG id = engine->AddClient(nullptr);
        BSTR report = nullptr;
        const bool served = id > 0 && engine->GetStatus(id, 0) == 'C' && engine->GetDebug(nullptr, &report) == 1 &&
                            engine->DeleteClient(id) == 1;
        SysFreeString(report);
        return served;
    });
    const bool servedWhileReading = other.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    g_readMayGoOn = true;
    EXPECT_TRUE(servedWhileReading);
    EXPECT_TRUE(other.get());
    EXPECT_EQ(read.get(), -1);
    EXPECT_EQ(Error(), "ReadEvents: the client has no tank open");
}

}  // namespace
}  // namespace orvo::engine::test
