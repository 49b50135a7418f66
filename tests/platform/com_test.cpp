#include <orvo/platform/com.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include <orvo/platform/errors.h>
#include "platform/format_message.h"
#include "platform/registry.h"
#include "tests/fixtures/scratch.h"
#include "tests/fixtures/vtable.h"

using orvo::test::VtableSlot;

namespace {

std::atomic<int> g_liveObjects{0};

constexpr IID MakeIid(BYTE last) { return {0x6f1c2a10, 0x1d2e, 0x4b3f, {0x8a, 1, 0x11, 0x22, 0x33, 0x44, 0x55, last}}; }
constexpr IID kNobodysIid = MakeIid(0xFF);

struct ICounter : IUnknown {
    static constexpr IID iid = MakeIid(1);
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
    const char* Name() override { return "widget"; }
    int Length() override { return 6; }
};

class WidgetFactory final : public ComObject<IClassFactory> {
public:
    WidgetFactory() { ++g_liveObjects; }
    ~WidgetFactory() override { --g_liveObjects; }
    HRESULT CreateInstance(IUnknown*, REFIID riid, void** object) override
    {
        ComPtr<ICounter> widget;
        widget.attach(new Widget);
        return widget->QueryInterface(riid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

TEST(ComObjectTest, InterfacesKeepTheirBinaryLayout)
{
    EXPECT_EQ(VtableSlot(&IUnknown::QueryInterface), 0);
    EXPECT_EQ(VtableSlot(&IUnknown::AddRef), 1);
    EXPECT_EQ(VtableSlot(&IUnknown::Release), 2);
    EXPECT_EQ(VtableSlot(&IClassFactory::CreateInstance), 3);
    EXPECT_EQ(VtableSlot(&ILabelled::Length), 4);  // after its base interface's own method
}

// A reference dropped too often or never shows in the count, or to the sanitizer.
TEST(ComObjectTest, ReferencesEndInExactlyOneDeletion)
{
    {
        ComPtr<ICounter> counter;
        counter.attach(new Widget);
        void* none = &none;
        EXPECT_EQ(counter->QueryInterface(kNobodysIid, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        ComPtr<ICounter> copy = counter;
        copy = counter;  // assigning what it holds must not drop it
        ComPtr<ICounter> moved = std::move(copy);
        moved.put();
    }
    EXPECT_EQ(g_liveObjects, 0);

    ICounter* widget = new Widget;
    const auto churn = [widget] {
        for (int i = 0; i < 5000; ++i) {
            widget->AddRef();
            widget->Release();
        }
    };
    {
        std::jthread a(churn), b(churn), c(churn), d(churn);
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
        CoRevokeClassObject(m_cookie);
        SetRemoteActivationHandler(nullptr);
        CoUninitialize();
        EXPECT_EQ(g_liveObjects, 0);
    }

    // Leaves the table holding the factory's only reference.
    DWORD Register()
    {
        ComPtr<IClassFactory> factory;
        factory.attach(new WidgetFactory);
        EXPECT_EQ(CoRegisterClassObject(kClass, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
        return m_cookie;
    }

    // The overall and each entry's result. Entries start with a pItf that is
    // no interface, which a failure must clear, never release. Each interface
    // got must be the one asked for, all of one object.
    static Outcome Activate(const std::vector<const IID*>& iids, COSERVERINFO* server = nullptr)
    {
        std::vector<MULTI_QI> results;
        for (const IID* iid : iids) {
            results.push_back({iid, reinterpret_cast<IUnknown*>(&g_liveObjects), S_OK});
        }
        const auto count = static_cast<DWORD>(results.size());
        Outcome outcome{CoCreateInstanceEx(kClass, nullptr, CLSCTX_SERVER, server, count, results.data()), {}};
        ComPtr<IUnknown> identity;
        for (const MULTI_QI& result : results) {
            outcome.second.push_back(result.hr);
            if (result.hr != S_OK || result.pItf == nullptr) {
                EXPECT_TRUE(result.hr != S_OK && result.pItf == nullptr);
                continue;
            }
            ComPtr<IUnknown> got, same, unknown;
            got.attach(result.pItf);
            EXPECT_TRUE(got->QueryInterface(*result.pIID, same.put_void()) == S_OK && same.get() == got.get());
            EXPECT_EQ(got.As(unknown), S_OK);
            EXPECT_TRUE(!identity || identity.get() == unknown.get());
            identity = unknown;
        }
        return outcome;
    }

    DWORD m_cookie = 0;
};

TEST_F(ComActivationTest, InitialisationCountsPerThread)
{
    std::thread([] {
        EXPECT_EQ(Activate({&ICounter::iid}), Outcome(CO_E_NOTINITIALIZED, {CO_E_NOTINITIALIZED}));
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        CoUninitialize();
        EXPECT_EQ(Activate({&ICounter::iid}).first, REGDB_E_CLASSNOTREG);  // still initialised once
        CoUninitialize();
        EXPECT_EQ(Activate({&ICounter::iid}).first, CO_E_NOTINITIALIZED);
    }).join();
}

TEST_F(ComActivationTest, EachEntryGetsItsOwnResultUntilTheClassIsRevoked)
{
    const std::vector<const IID*> both = {&ICounter::iid, &INamed::iid};
    EXPECT_EQ(Activate(both), Everywhere(REGDB_E_CLASSNOTREG));
    const DWORD cookie = Register();
    EXPECT_EQ(Activate(both), Everywhere(S_OK));
    // A missing first interface must not hide the others.
    EXPECT_EQ(Activate({&kNobodysIid, &ICounter::iid, &ILabelled::iid, &IID_IUnknown}),
              Outcome(CO_S_NOTALLINTERFACES, {E_NOINTERFACE, S_OK, S_OK, S_OK}));
    EXPECT_EQ(Activate({&kNobodysIid, &IID_IClassFactory}), Outcome(E_NOINTERFACE, {E_NOINTERFACE, E_NOINTERFACE}));
    EXPECT_EQ(g_liveObjects, 1);  // the factory alone
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(g_liveObjects, 0);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(Activate(both), Everywhere(REGDB_E_CLASSNOTREG));
}

TEST_F(ComActivationTest, RemoteHandlerGetsTheRequestAsMade)
{
    std::u16string host = u"\\\\Plant-Floor-2";
    COAUTHINFO auth{};
    COSERVERINFO server{0, host.data(), &auth, 0};
    SetRemoteActivationHandler([&](REFCLSID clsid, DWORD context, COSERVERINFO* info, DWORD count, MULTI_QI* asked) {
        // The transport reads the caller's own records, neither copied nor rewritten.
        EXPECT_TRUE(clsid == kClass && context == CLSCTX_SERVER && count == 2u);
        EXPECT_TRUE(info == &server && info->pwszName == host.data() && info->pAuthInfo == &auth);
        asked[0] = {asked[0].pIID, static_cast<ICounter*>(new Widget), S_OK};
        asked[1] = {asked[1].pIID, nullptr, E_NOINTERFACE};
        return CO_S_NOTALLINTERFACES;
    });
    EXPECT_EQ(Activate({&ICounter::iid, &INamed::iid}, &server), Outcome(CO_S_NOTALLINTERFACES, {S_OK, E_NOINTERFACE}));
}

TEST_F(ComActivationTest, NamesOfThisMachineActivateHere)
{
    Register();
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::string mine = host;
    const std::u16string ours(mine.begin(), mine.end());
    const HRESULT remote = MakeHResult(0x800706BAu);  // no transport installed
    const std::pair<std::u16string, HRESULT> names[] = {
        {u"", S_OK},           {u"LocalHost", S_OK},      {u"127.0.0.1", S_OK},   {u"::1", S_OK},
        {u"\\\\localhost", S_OK}, {ours, S_OK},           {u"localhost2", remote}, {u"127.0.0.10", remote},
        {ours + u"x", remote},
    };
    for (auto [name, expected] : names) {
        COSERVERINFO server{0, name.data(), nullptr, 0};
        EXPECT_EQ(Activate({&ICounter::iid, &INamed::iid}, &server), Everywhere(expected))
            << std::string(name.begin(), name.end());
    }
}

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::optional<std::string> SystemText(DWORD id)
{
    char* text = nullptr;
    SetLastError(0);
    const DWORD length = FormatMessageA(kFromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, id, 0,
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::optional<std::string> result = text ? std::optional<std::string>(text) : std::nullopt;
    EXPECT_EQ(result.value_or("").size(), length);
    LocalFree(text);
    return result;
}

// A class without a registered class object is started as its local server
// names it in the registry, and only for a local activation. The registry
// alone decides what runs, so only a module named by its full path that no
// other user could have put there is loaded; the refusal says why.
TEST_F(ComActivationTest, LocalServersStartFromTheRegistryOnlyFromTrustedFiles)
{
    namespace fs = std::filesystem;
    orvo::test::ScratchRegistry registry;
    static constexpr CLSID kServed = {0x0b7d3c41, 0x5a6e, 0x4f10, {0x90, 0x12, 0xab, 0xcd, 0xef, 0x01, 0x77, 0x77}};
    auto activate = [](DWORD clsctx) {
        MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
        return CoCreateInstanceEx(kServed, nullptr, clsctx, nullptr, 1, &result);
    };
    auto registerModule = [](const std::string& module) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                                  "Software\\Classes\\CLSID\\{0B7D3C41-5A6E-4F10-9012-ABCDEF017777}\\LocalServer32",
                                  0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(module.c_str()),
                       static_cast<DWORD>(module.size() + 1));
        RegCloseKey(key);
    };
    EXPECT_EQ(activate(CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoLastLocalServerProblem(), "");  // nothing registered, nothing refused

    const fs::path built = ORVO_TEST_LOCAL_SERVER;
    orvo::test::ScratchDir scratch;
    const fs::path folder = fs::canonical(scratch.path());
    fs::create_directory(folder / "open");
    fs::permissions(folder / "open", fs::perms::all);
    fs::copy_file(built, folder / "open" / built.filename());
    fs::create_directory(folder / "shut");
    fs::copy_file(built, folder / "shut" / built.filename());
    fs::permissions(folder / "shut" / built.filename(), fs::perms::others_write, fs::perm_options::add);
    const std::pair<std::string, std::string> refused[] = {
        {built.filename().string(), "not an absolute path"},
        {"lib/" + built.filename().string(), "not an absolute path"},
        {(folder / "open" / built.filename()).string(), "its folder " + (folder / "open").string() + ": writable by others"},
        {(folder / "shut" / built.filename()).string(), "writable by others"},
        {(folder / "missing.so").string(), "does not exist"},
    };
    for (const auto& [module, cause] : refused) {
        registerModule(module);
        EXPECT_EQ(activate(CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG) << module;
        EXPECT_EQ(CoLastLocalServerProblem(), "the module " + module + ": " + cause);
    }

    registerModule(built.string());
    EXPECT_EQ(activate(CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(activate(CLSCTX_LOCAL_SERVER), E_NOTIMPL);  // its factory was reached
}

TEST(FormatMessageTest, TextIsAllocatedOrCopiedWhenItFits)
{
    EXPECT_EQ(SystemText(E_INVALIDARG), "The parameter is incorrect.\r\n");
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

// Every code errors.h spells as a number, so that one added there without a
// text here is caught. Codes made from a Win32 name are checked through it.
TEST(FormatMessageTest, EveryCodeOfTheLayerHasAText)
{
    std::ifstream header(std::filesystem::path(__FILE__).parent_path() / "../../include/orvo/platform/errors.h");
    ASSERT_TRUE(header) << "errors.h not found beside the tests";
    int numbered = 0;
    for (std::string line; std::getline(header, line);) {
        char name[64];
        long value = 0;
        if (std::sscanf(line.c_str(), "constexpr %*[A-Z] %63s = %li", name, &value) != 2 &&
            std::sscanf(line.c_str(), "constexpr %*[A-Z] %63s = MakeHResult(%li", name, &value) != 2) {
            continue;
        }
        ++numbered;
        const auto code = static_cast<ULONG>(value);
        const std::optional<std::string> text = SystemText(code);
        ASSERT_TRUE(text && text->ends_with("\r\n")) << name;
        if (code > 0 && code <= 0xFFFF) {  // a Win32 code reads the same as its HRESULT
            EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(static_cast<LONG>(code))), text) << name;
        }
    }
    EXPECT_GE(numbered, 38);
}

}  // namespace
