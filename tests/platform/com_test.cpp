#include "platform/com.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/errors.h"
#include "platform/format_message.h"
#include "tests/support/vtable.h"

using orvo::test::VtableSlot;

namespace {

std::atomic<int> g_liveObjects{0};

constexpr IID MakeIid(BYTE last) { return {0x6f1c2a10, 0x1d2e, 0x4b3f, {0x8a, 1, 0x11, 0x22, 0x33, 0x44, 0x55, last}}; }
constexpr IID kNobodysIid = MakeIid(0xFF);

struct ICounter : IUnknown {
    static constexpr IID iid = MakeIid(1);
    virtual int Next() = 0;
};
struct INamed : IUnknown {
    static constexpr IID iid = MakeIid(2);
    virtual const char* Name() = 0;
};
// Derives from an interface other than IUnknown: a query for INamed finds it.
struct ILabelled : INamed {
    using base_interface = INamed;
    static constexpr IID iid = MakeIid(3);
    virtual int Length() = 0;
};

class Widget final : public ComObject<ICounter, ILabelled> {
public:
    Widget() { ++g_liveObjects; }
    ~Widget() override { --g_liveObjects; }
    int Next() override { return 1; }
    const char* Name() override { return "widget"; }
    int Length() override { return 6; }
};

// Makes Widgets, or fails with the result it was given.
class WidgetFactory final : public ComObject<IClassFactory> {
public:
    explicit WidgetFactory(HRESULT failure = S_OK) : m_failure(failure) { ++g_liveObjects; }
    ~WidgetFactory() override { --g_liveObjects; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override
    {
        ComPtr<ICounter> widget;
        widget.attach(new Widget);
        return FAILED(m_failure) ? m_failure : widget->QueryInterface(riid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    HRESULT m_failure;
};

TEST(ComObjectTest, InterfacesKeepTheirBinaryLayout)
{
    EXPECT_EQ(VtableSlot(&IUnknown::QueryInterface), 0);
    EXPECT_EQ(VtableSlot(&IUnknown::AddRef), 1);
    EXPECT_EQ(VtableSlot(&IUnknown::Release), 2);
    EXPECT_EQ(VtableSlot(&IClassFactory::CreateInstance), 3);
    EXPECT_EQ(VtableSlot(&ILabelled::Length), 4);  // after its base interface's own method
}

TEST(ComObjectTest, QueryInterfaceFollowsTheIdentityRules)
{
    {
        ComPtr<ICounter> counter;
        counter.attach(new Widget);
        ComPtr<INamed> named;
        ComPtr<IUnknown> fromCounter, fromNamed;
        ASSERT_EQ(counter.As(named), S_OK);
        EXPECT_STREQ(named->Name(), "widget");
        ASSERT_EQ(counter.As(fromCounter), S_OK);
        ASSERT_EQ(named.As(fromNamed), S_OK);
        EXPECT_EQ(fromCounter.get(), fromNamed.get());

        void* none = &none;
        EXPECT_EQ(counter->QueryInterface(kNobodysIid, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        // A reference dropped too often or never shows below, or to the sanitizer.
        ComPtr<ICounter> copy = counter;
        copy = counter;  // assigning what it holds must not drop it
        ComPtr<ICounter> moved = std::move(copy);
        moved.put();
    }
    EXPECT_EQ(g_liveObjects, 0);
}

TEST(ComObjectTest, ReferencesFromManyThreadsEndInOneDeletion)
{
    ICounter* widget = new Widget;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([widget] {
                for (int i = 0; i < 5000; ++i) {
                    widget->AddRef();
                    widget->Release();
                }
            });
        }
    }
    EXPECT_EQ(g_liveObjects, 1);
    EXPECT_EQ(widget->Release(), 0u);
    EXPECT_EQ(g_liveObjects, 0);
}

class ComActivationTest : public ::testing::Test {
protected:
    static constexpr CLSID kClass = {0x0b7d3c41, 0x5a6e, 0x4f10, {0x90, 0x12, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45}};
    using Outcome = std::pair<HRESULT, std::vector<HRESULT>>;
    static Outcome Everywhere(HRESULT hr) { return Outcome(hr, {hr, hr}); }

    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override
    {
        for (DWORD cookie : m_cookies) {
            CoRevokeClassObject(cookie);
        }
        SetRemoteActivationHandler(nullptr);
        CoUninitialize();
        EXPECT_EQ(g_liveObjects, 0);
    }

    // Leaves the table holding the factory's only reference.
    DWORD Register(HRESULT failure = S_OK)
    {
        ComPtr<IClassFactory> factory;
        factory.attach(new WidgetFactory(failure));
        DWORD cookie = 0;
        EXPECT_EQ(CoRegisterClassObject(kClass, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
        return m_cookies.emplace_back(cookie);
    }

    // The overall and each entry's result. Entries start with a pItf that is
    // no interface, which a failure must clear, never release. Each interface
    // got must be the one asked for, all of one object.
    static Outcome Activate(const std::vector<const IID*>& iids, COSERVERINFO* server = nullptr,
                            IUnknown* outer = nullptr)
    {
        std::vector<MULTI_QI> results;
        for (const IID* iid : iids) {
            results.push_back({iid, reinterpret_cast<IUnknown*>(&g_liveObjects), S_OK});
        }
        const auto count = static_cast<DWORD>(results.size());
        Outcome outcome{CoCreateInstanceEx(kClass, outer, CLSCTX_SERVER, server, count, results.data()), {}};
        ComPtr<IUnknown> identity;
        for (const MULTI_QI& result : results) {
            outcome.second.push_back(result.hr);
            if (result.hr != S_OK || result.pItf == nullptr) {
                EXPECT_TRUE(result.hr != S_OK && result.pItf == nullptr);
                continue;
            }
            ComPtr<IUnknown> got, same, unknown;
            got.attach(result.pItf);
            EXPECT_EQ(got->QueryInterface(*result.pIID, same.put_void()), S_OK);
            EXPECT_EQ(same.get(), got.get());
            EXPECT_EQ(got.As(unknown), S_OK);
            EXPECT_TRUE(!identity || identity.get() == unknown.get());
            identity = unknown;
        }
        return outcome;
    }

    std::vector<DWORD> m_cookies;
};

TEST_F(ComActivationTest, InitialisationCountsPerThread)
{
    std::thread([] {
        const Outcome uninitialised(CO_E_NOTINITIALIZED, {CO_E_NOTINITIALIZED});
        EXPECT_EQ(Activate({&ICounter::iid}), uninitialised);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        CoUninitialize();
        EXPECT_EQ(Activate({&ICounter::iid}).first, REGDB_E_CLASSNOTREG);  // still initialised once
        std::thread([&] { EXPECT_EQ(Activate({&ICounter::iid}), uninitialised); }).join();
        CoUninitialize();
        EXPECT_EQ(Activate({&ICounter::iid}), uninitialised);
    }).join();
}

TEST_F(ComActivationTest, EachRequestedInterfaceGetsItsOwnResult)
{
    Register();
    // A missing first interface must not hide the others.
    EXPECT_EQ(Activate({&kNobodysIid, &ICounter::iid, &INamed::iid, &IID_IUnknown}),
              Outcome(CO_S_NOTALLINTERFACES, {E_NOINTERFACE, S_OK, S_OK, S_OK}));
    EXPECT_EQ(Activate({&ICounter::iid, &ILabelled::iid}), Outcome(S_OK, {S_OK, S_OK}));
    EXPECT_EQ(Activate({&kNobodysIid, &IID_IClassFactory}), Outcome(E_NOINTERFACE, {E_NOINTERFACE, E_NOINTERFACE}));
}

TEST_F(ComActivationTest, FailuresReachEveryEntryAndRevokeReleasesTheFactory)
{
    const std::vector<const IID*> iids = {&ICounter::iid, &INamed::iid};
    EXPECT_EQ(Activate(iids), Everywhere(REGDB_E_CLASSNOTREG));
    Register(E_OUTOFMEMORY);
    EXPECT_EQ(Activate(iids), Everywhere(E_OUTOFMEMORY));

    // A newer registration answers until it is revoked.
    const DWORD cookie = Register();
    EXPECT_EQ(Activate(iids), Everywhere(S_OK));
    const int liveBefore = g_liveObjects;
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(g_liveObjects, liveBefore - 1);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(Activate(iids), Everywhere(E_OUTOFMEMORY));
}

TEST_F(ComActivationTest, RemoteHandlerGetsTheRequestAsMade)
{
    std::u16string host = u"\\\\Plant-Floor-2";
    std::vector<USHORT> plant = {'P', 'L', 'A', 'N', 'T'};
    COAUTHIDENTITY identity{plant.data(), 2, plant.data(), 5, plant.data(), 3, SEC_WINNT_AUTH_IDENTITY_UNICODE};
    COAUTHINFO auth{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, host.data(), RPC_C_AUTHN_LEVEL_CONNECT,
                    RPC_C_IMP_LEVEL_IMPERSONATE, &identity, EOAC_NONE};
    COSERVERINFO server{0, host.data(), &auth, 0};
    int calls = 0;
    // The transport reads the caller's own records; nothing may be copied
    // or rewritten on the way.
    SetRemoteActivationHandler([&](REFCLSID clsid, DWORD context, COSERVERINFO* info, DWORD count, MULTI_QI* asked) {
        ++calls;
        EXPECT_EQ(clsid, kClass);
        EXPECT_EQ(context, CLSCTX_SERVER);
        EXPECT_EQ(info, &server);
        EXPECT_EQ(info->pwszName, host);
        EXPECT_EQ(info->pAuthInfo->pAuthIdentityData, &identity);
        EXPECT_EQ(identity.DomainLength, 5u);
        EXPECT_EQ(count, 2u);
        asked[0] = {asked[0].pIID, static_cast<ICounter*>(new Widget), S_OK};
        asked[1] = {asked[1].pIID, nullptr, E_NOINTERFACE};
        return CO_S_NOTALLINTERFACES;
    });
    EXPECT_EQ(Activate({&ICounter::iid, &INamed::iid}, &server), Outcome(CO_S_NOTALLINTERFACES, {S_OK, E_NOINTERFACE}));
    // Aggregation cannot span machines; the handler is not asked.
    ComPtr<ICounter> outer;
    outer.attach(new Widget);
    EXPECT_EQ(Activate({&ICounter::iid}, &server, outer.get()).first, CLASS_E_NOAGGREGATION);
    EXPECT_EQ(calls, 1);
}

TEST_F(ComActivationTest, NamesOfThisMachineActivateHere)
{
    Register();
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::u16string ours(host, host + std::strlen(host));
    std::u16string shouted;
    std::transform(ours.begin(), ours.end(), std::back_inserter(shouted), [](int c) { return std::toupper(c); });
    const HRESULT remote = MakeHResult(0x800706BAu);  // no transport installed
    const std::pair<std::u16string, HRESULT> names[] = {
        {u"", S_OK}, {u"LocalHost", S_OK}, {u"127.0.0.1", S_OK}, {u"::1", S_OK}, {u"\\\\localhost", S_OK},
        {shouted, S_OK}, {u"localhost2", remote}, {u"127.0.0.10", remote}, {ours + u"x", remote},
    };
    for (auto [name, expected] : names) {
        COSERVERINFO server{0, name.data(), nullptr, 0};
        EXPECT_EQ(Activate({&ICounter::iid, &INamed::iid}, &server), Everywhere(expected))
            << std::string(name.begin(), name.end());
    }
}

// FormatMessageA --------------------------------------------------------

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::optional<std::string> SystemText(DWORD id)
{
    char* text = nullptr;
    SetLastError(0);
    const DWORD length = FormatMessageA(kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, id, 0,
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    EXPECT_EQ(text != nullptr, length > 0);
    std::optional<std::string> result = text ? std::optional<std::string>(text) : std::nullopt;
    EXPECT_EQ(result.value_or("").size(), length);
    LocalFree(text);
    return result;
}

TEST(FormatMessageTest, TextIsAllocatedOrCopiedWhenItFits)
{
    EXPECT_EQ(SystemText(E_INVALIDARG), "The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS)), "No more data is available.\r\n");
    EXPECT_EQ(SystemText(0x2FFFFu), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    // Buffers of exactly the size given; one short gets nothing written, so a
    // sanitizer would see any overrun.
    const std::string text = std::string("Class not registered\r\n") + '\0';
    const auto length = static_cast<DWORD>(text.size() - 1);
    for (DWORD size : {length + 1, length}) {
        std::vector<char> buffer(size, 'x');
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, REGDB_E_CLASSNOTREG, 0, buffer.data(), size, nullptr),
                  size > length ? length : 0u);
        EXPECT_EQ(GetLastError(), size > length ? 0u : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), size > length ? text : std::string(size, 'x'));
    }
}

// Every error code errors.h defines, one a line as "constexpr LONG|HRESULT
// NAME = value;", so that a code added there without a text here is caught.
std::map<std::string, ULONG> CodesOfErrorsHeader()
{
    std::ifstream header(std::filesystem::path(__FILE__).parent_path() / "../../platform/errors.h");
    EXPECT_TRUE(header) << "errors.h not found beside the tests";
    std::map<std::string, ULONG> codes;
    for (std::string line; std::getline(header, line);) {
        char name[64], text[64];
        if (std::sscanf(line.c_str(), "constexpr %*[A-Z] %63s = %63[^;]", name, text) != 2) {
            continue;
        }
        // A number, MakeHResult(number) or HRESULT_FROM_WIN32(NAME).
        std::string value = text;
        const bool win32 = value.starts_with("HRESULT_FROM_WIN32(");
        value = value.substr(value.find('(') + 1);
        value = value.substr(0, value.find_first_of(")u"));
        char* end = nullptr;
        const ULONG number = codes.contains(value) ? codes[value] : std::strtoul(value.c_str(), &end, 0);
        EXPECT_TRUE(end == nullptr || (!value.empty() && *end == '\0')) << "cannot read " << line;
        codes[name] = win32 ? static_cast<ULONG>(HRESULT_FROM_WIN32(static_cast<LONG>(number))) : number;
    }
    return codes;
}

TEST(FormatMessageTest, EveryCodeOfTheLayerHasAText)
{
    const std::map<std::string, ULONG> codes = CodesOfErrorsHeader();
    ASSERT_GE(codes.size(), 35u);
    EXPECT_EQ(codes.at("HRESULT_RPC_SERVER_UNAVAILABLE"), static_cast<ULONG>(HRESULT_RPC_SERVER_UNAVAILABLE));
    for (const auto& [name, code] : codes) {
        std::optional<std::string> text = SystemText(code);
        ASSERT_TRUE(text) << name;
        EXPECT_TRUE(text->ends_with("\r\n")) << name;
        if (code > 0 && code <= 0xFFFF) {  // a Win32 code reads the same as its HRESULT
            EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(static_cast<LONG>(code))), text) << name;
        }
    }
}

}  // namespace
