#include "platform/com.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "platform/errors.h"
#include "platform/format_message.h"

namespace {

std::atomic<int> g_liveObjects{0};

constexpr IID MakeIid(BYTE last)
{
    return {0x6f1c2a10, 0x1d2e, 0x4b3f, {0x8a, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, last}};
}
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
    explicit Widget(const char* name) : m_name(name) { ++g_liveObjects; }
    ~Widget() override { --g_liveObjects; }
    int Next() override { return ++m_count; }
    const char* Name() override { return m_name; }
    int Length() override { return static_cast<int>(std::strlen(m_name)); }

private:
    const char* m_name;
    int m_count = 0;
};

class WidgetFactory final : public ComObject<IClassFactory> {
public:
    explicit WidgetFactory(const char* name, HRESULT failure = S_OK) : m_name(name), m_failure(failure)
    {
        ++g_liveObjects;
    }
    ~WidgetFactory() override { --g_liveObjects; }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (FAILED(m_failure) || outer != nullptr) {
            return outer != nullptr ? CLASS_E_NOAGGREGATION : m_failure;
        }
        ComPtr<ICounter> widget;
        widget.attach(new Widget(m_name));
        return widget->QueryInterface(riid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    const char* m_name;
    HRESULT m_failure;
};

ULONG References(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// The vtable slot of a virtual method, read from the method pointer as this
// platform's C++ ABI lays it out.
template <class Method>
std::ptrdiff_t VtableSlot(Method method)
{
    struct {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } layout;
    static_assert(sizeof(Method) == sizeof layout);
    std::memcpy(&layout, &method, sizeof layout);
#if defined(__arm__) || defined(__aarch64__)
    return (layout.adjustment & 1) ? static_cast<std::ptrdiff_t>(layout.pointer / sizeof(void*)) : -1;
#else
    return (layout.pointer & 1) ? static_cast<std::ptrdiff_t>((layout.pointer - 1) / sizeof(void*)) : -1;
#endif
}

TEST(ComObjectTest, InterfacesKeepTheirBinaryLayout)
{
    EXPECT_EQ(VtableSlot(&IUnknown::QueryInterface), 0);
    EXPECT_EQ(VtableSlot(&IUnknown::AddRef), 1);
    EXPECT_EQ(VtableSlot(&IUnknown::Release), 2);
    EXPECT_EQ(VtableSlot(&IClassFactory::CreateInstance), 3);
    EXPECT_EQ(VtableSlot(&IClassFactory::LockServer), 4);
    EXPECT_EQ(VtableSlot(&ILabelled::Length), 4);
    const BYTE ole[8] = {0xC0, 0, 0, 0, 0, 0, 0, 0x46};  // {0000000x-0000-0000-C000-000000000046}
    EXPECT_EQ(IID_IUnknown.Data1, 0u);
    EXPECT_EQ(IID_IClassFactory.Data1, 1u);
    for (const IID& iid : {IID_IUnknown, IID_IClassFactory}) {
        EXPECT_EQ(iid.Data2 | iid.Data3, 0);
        EXPECT_EQ(std::memcmp(iid.Data4, ole, 8), 0);
    }
}

TEST(ComObjectTest, QueryInterfaceFollowsTheIdentityRules)
{
    {
        ComPtr<ICounter> counter;
        counter.attach(new Widget("w"));
        ComPtr<ILabelled> labelled;
        ComPtr<INamed> named;
        ComPtr<IUnknown> fromCounter, fromNamed;
        ASSERT_EQ(counter.As(labelled), S_OK);
        ASSERT_EQ(counter.As(named), S_OK);
        EXPECT_STREQ(named->Name(), "w");
        ASSERT_EQ(counter.As(fromCounter), S_OK);
        ASSERT_EQ(named.As(fromNamed), S_OK);
        EXPECT_EQ(fromCounter.get(), fromNamed.get());
        EXPECT_EQ(References(counter.get()), 5u);

        void* none = &none;
        EXPECT_EQ(counter->QueryInterface(kNobodysIid, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(counter->QueryInterface(ICounter::iid, nullptr), E_POINTER);
        EXPECT_EQ(References(counter.get()), 5u);

        ComPtr<ICounter> copy = counter;  // assigning what it holds must not drop it
        copy = counter;
        ComPtr<ICounter> moved = std::move(copy);
        EXPECT_EQ(References(counter.get()), 6u);
        moved.put();
        EXPECT_EQ(References(counter.get()), 5u);
    }
    EXPECT_EQ(g_liveObjects, 0);
}

TEST(ComObjectTest, ReferencesFromManyThreadsEndInOneDeletion)
{
    ICounter* widget = new Widget("shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([widget] {
            for (int i = 0; i < 20000; ++i) {
                widget->AddRef();
                widget->Release();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(g_liveObjects, 1);
    EXPECT_EQ(widget->Release(), 0u);
    EXPECT_EQ(g_liveObjects, 0);
}

TEST(ComInitializeTest, CountsPerThread)
{
    std::thread([] {
        MULTI_QI result{&ICounter::iid, nullptr, S_OK};
        auto activate = [&result] {
            return CoCreateInstanceEx(ICounter::iid, nullptr, CLSCTX_ALL, nullptr, 1, &result);
        };
        EXPECT_EQ(CoInitialize(&result), E_INVALIDARG);
        EXPECT_EQ(activate(), CO_E_NOTINITIALIZED);
        EXPECT_EQ(result.hr, CO_E_NOTINITIALIZED);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        CoUninitialize();
        std::thread([&activate] { EXPECT_EQ(activate(), CO_E_NOTINITIALIZED); }).join();
        CoUninitialize();
        EXPECT_EQ(activate(), CO_E_NOTINITIALIZED);
    }).join();
}

class ComActivationTest : public ::testing::Test {
protected:
    static constexpr CLSID kClass = {0x0b7d3c41, 0x5a6e, 0x4f10, {0x90, 0x12, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45}};

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

    void Register(HRESULT failure = S_OK, const char* name = "made")
    {
        ComPtr<IClassFactory> factory;
        factory.attach(new WidgetFactory(name, failure));
        DWORD cookie = 0;
        EXPECT_EQ(CoRegisterClassObject(kClass, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
        m_cookies.push_back(cookie);
    }

    static void ExpectAll(const std::vector<MULTI_QI>& results, HRESULT hr)
    {
        for (const MULTI_QI& result : results) {
            EXPECT_EQ(result.hr, hr);
            EXPECT_EQ(result.pItf, nullptr);
        }
    }

    static void ReleaseAll(std::vector<MULTI_QI>& results)
    {
        for (MULTI_QI& result : results) {
            if (result.pItf != nullptr) {
                result.pItf->Release();
            }
        }
    }

    std::vector<DWORD> m_cookies;
    // Not a real interface: must be cleared, never released.
    IUnknown* const m_stale = reinterpret_cast<IUnknown*>(&g_liveObjects);
};

TEST_F(ComActivationTest, EachRequestedInterfaceGetsItsOwnResult)
{
    Register();
    std::vector<MULTI_QI> results = {{&kNobodysIid, nullptr, S_OK},
                                     {&ICounter::iid, nullptr, S_OK},
                                     {&INamed::iid, nullptr, S_OK},
                                     {&ILabelled::iid, nullptr, S_OK}};
    // The first interface is missing, which must not hide the others.
    ASSERT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 4, results.data()),
              CO_S_NOTALLINTERFACES);
    EXPECT_EQ(results[0].hr, E_NOINTERFACE);
    EXPECT_EQ(results[0].pItf, nullptr);
    for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_EQ(results[i].hr, S_OK);
        ASSERT_NE(results[i].pItf, nullptr);
    }
    EXPECT_EQ(static_cast<ICounter*>(results[1].pItf)->Next(), 1);
    EXPECT_STREQ(static_cast<INamed*>(results[2].pItf)->Name(), "made");
    EXPECT_EQ(static_cast<ILabelled*>(results[3].pItf)->Length(), 4);
    ReleaseAll(results);

    std::vector<MULTI_QI> all = {{&ICounter::iid, nullptr, S_OK}, {&IID_IUnknown, nullptr, S_OK}};
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_ALL, nullptr, 2, all.data()), S_OK);
    ReleaseAll(all);
    std::vector<MULTI_QI> none = {{&kNobodysIid, m_stale, S_OK}, {&IID_IClassFactory, m_stale, S_OK}};
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_ALL, nullptr, 2, none.data()), E_NOINTERFACE);
    ExpectAll(none, E_NOINTERFACE);
}

TEST_F(ComActivationTest, FailuresReachEveryEntry)
{
    std::vector<MULTI_QI> results = {{&ICounter::iid, m_stale, S_OK}, {&INamed::iid, m_stale, S_OK}};
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 2, results.data()),
              REGDB_E_CLASSNOTREG);
    ExpectAll(results, REGDB_E_CLASSNOTREG);
    Register(E_OUTOFMEMORY);
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 2, results.data()), E_OUTOFMEMORY);
    ExpectAll(results, E_OUTOFMEMORY);

    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 0, results.data()), E_INVALIDARG);
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_INPROC_SERVER, nullptr, 1, nullptr), E_INVALIDARG);
    for (DWORD clsctx : {0u, 0x8u, CLSCTX_INPROC_SERVER | 0x40000000u,
                         CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER}) {
        EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, clsctx, nullptr, 2, results.data()), E_INVALIDARG) << clsctx;
        ExpectAll(results, E_INVALIDARG);
    }
}

TEST_F(ComActivationTest, NewestRegistrationAnswersAndRevokeReleasesIt)
{
    auto nameMade = [] {
        MULTI_QI result{&INamed::iid, nullptr, S_OK};
        EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER, nullptr,
                                     1, &result),
                  S_OK);
        ComPtr<INamed> named;
        named.attach(static_cast<INamed*>(result.pItf));
        return std::string(named ? named->Name() : "");
    };
    Register(S_OK, "default");
    auto* factory = new WidgetFactory("test");
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kClass, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    factory->Release();
    EXPECT_EQ(nameMade(), "test");

    const int liveBefore = g_liveObjects;
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(g_liveObjects, liveBefore - 1);  // the table held the last reference
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(nameMade(), "default");
    EXPECT_EQ(CoRegisterClassObject(kClass, nullptr, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), E_INVALIDARG);
}

TEST_F(ComActivationTest, RemoteMachineWithoutTransportIsUnavailable)
{
    std::u16string name = u"build-server-7";
    COSERVERINFO server{0, name.data(), nullptr, 0};
    std::vector<MULTI_QI> results = {{&ICounter::iid, m_stale, S_OK}, {&INamed::iid, m_stale, S_OK}};
    EXPECT_EQ(CoCreateInstanceEx(kClass, nullptr, CLSCTX_REMOTE_SERVER, &server, 2, results.data()),
              MakeHResult(0x800706BAu));
    ExpectAll(results, HRESULT_RPC_SERVER_UNAVAILABLE);
}

TEST_F(ComActivationTest, RemoteHandlerGetsTheRequestAsMade)
{
    std::u16string host = u"\\\\Plant-Floor-2", principal = u"svc@plant";
    std::vector<USHORT> user = {'o', 'p'}, domain = {'P', 'L', 'A', 'N', 'T'}, password = {'s', '3'};
    COAUTHIDENTITY identity{user.data(), 2, domain.data(), 5, password.data(), 2, SEC_WINNT_AUTH_IDENTITY_UNICODE};
    COAUTHINFO auth{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, principal.data(), RPC_C_AUTHN_LEVEL_CONNECT,
                    RPC_C_IMP_LEVEL_IMPERSONATE, &identity, EOAC_NONE};
    COSERVERINFO server{0, host.data(), &auth, 0};
    std::vector<MULTI_QI> results = {{&ICounter::iid, nullptr, S_OK}, {&INamed::iid, nullptr, S_OK}};
    const DWORD clsctx = CLSCTX_REMOTE_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER;
    int calls = 0;
    // The transport reads the caller's own records; nothing may be copied
    // or rewritten on the way.
    SetRemoteActivationHandler([&](REFCLSID clsid, DWORD context, COSERVERINFO* info, DWORD count, MULTI_QI* asked) {
        ++calls;
        EXPECT_EQ(clsid, kClass);
        EXPECT_EQ(context, clsctx);
        EXPECT_EQ(info, &server);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(asked, results.data());
        EXPECT_EQ(info->pwszName, host);
        EXPECT_EQ(info->pAuthInfo->dwAuthnLevel, RPC_C_AUTHN_LEVEL_CONNECT);
        EXPECT_EQ(info->pAuthInfo->pAuthIdentityData->DomainLength, 5u);
        ComPtr<ICounter> made;
        made.attach(new Widget("remote"));
        asked[0] = {asked[0].pIID, made.detach(), S_OK};
        asked[1] = {asked[1].pIID, nullptr, E_NOINTERFACE};
        return CO_S_NOTALLINTERFACES;
    });
    ASSERT_EQ(CoCreateInstanceEx(kClass, nullptr, clsctx, &server, 2, results.data()), CO_S_NOTALLINTERFACES);
    EXPECT_EQ(calls, 1);
    ASSERT_NE(results[0].pItf, nullptr);
    EXPECT_EQ(static_cast<ICounter*>(results[0].pItf)->Next(), 1);
    ReleaseAll(results);

    // Aggregation cannot span machines; the handler is not asked.
    ComPtr<ICounter> outer;
    outer.attach(new Widget("outer"));
    EXPECT_EQ(CoCreateInstanceEx(kClass, outer.get(), clsctx, &server, 2, results.data()), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(calls, 1);
}

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST_F(ComActivationTest, NamesOfThisMachineActivateHere)
{
    Register();
    int remoteCalls = 0;
    SetRemoteActivationHandler([&remoteCalls](REFCLSID, DWORD, COSERVERINFO*, DWORD, MULTI_QI* results) {
        ++remoteCalls;
        results[0].hr = E_FAIL;
        return E_FAIL;
    });
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string shouted = host;
    for (char& c : shouted) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    auto activate = [](std::u16string name) {
        COSERVERINFO server{0, name.data(), nullptr, 0};
        MULTI_QI result{&ICounter::iid, nullptr, S_OK};
        HRESULT hr = CoCreateInstanceEx(kClass, nullptr, CLSCTX_REMOTE_SERVER, &server, 1, &result);
        if (result.pItf) {
            result.pItf->Release();
        }
        return hr;
    };
    for (const std::u16string& local : {std::u16string(), std::u16string(u"LocalHost"), std::u16string(u"127.0.0.1"),
                                        std::u16string(u"::1"), std::u16string(u"\\\\localhost"), Utf16(shouted)}) {
        EXPECT_EQ(activate(local), S_OK);
    }
    EXPECT_EQ(remoteCalls, 0);
    for (const std::u16string& remote :
         {std::u16string(u"localhost2"), std::u16string(u"127.0.0.10"), Utf16(host) + u"x"}) {
        EXPECT_EQ(activate(remote), E_FAIL);
    }
    EXPECT_EQ(remoteCalls, 3);
}

// FormatMessageA --------------------------------------------------------

constexpr DWORD kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::optional<std::string> SystemText(DWORD id, DWORD flags = kFromSystem, DWORD language = 0,
                                      va_list* args = nullptr)
{
    char* text = nullptr;
    SetLastError(0);
    DWORD length = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, id, language,
                                  reinterpret_cast<LPSTR>(&text), 0, args);
    if (length == 0) {
        EXPECT_EQ(text, nullptr);
        return std::nullopt;
    }
    std::string result(text);
    EXPECT_EQ(result.size(), length);
    LocalFree(text);
    return result;
}

DWORD FormatWithArguments(DWORD id, char* buffer, DWORD size, ...)
{
    va_list args;
    va_start(args, size);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, id, 0, buffer, size, &args);
    va_end(args);
    return length;
}

TEST(FormatMessageTest, TextIsAllocatedOrCopiedWhenItFits)
{
    EXPECT_EQ(SystemText(E_INVALIDARG), "The parameter is incorrect.\r\n");
    EXPECT_EQ(SystemText(E_OUTOFMEMORY), "Not enough memory resources are available to complete this operation.\r\n");
    EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS)), "No more data is available.\r\n");
    EXPECT_EQ(SystemText(MakeHResult(0x800706BAu)), "The RPC server is unavailable.\r\n");
    EXPECT_EQ(SystemText(ERROR_MORE_DATA, kFromSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK), "More data is available. ");

    const std::string expected = "Class not registered\r\n";
    const auto length = static_cast<DWORD>(expected.size());
    const DWORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    std::vector<char> exact(length + 1, 'x');
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, REGDB_E_CLASSNOTREG, english, exact.data(), length + 1, nullptr),
              length);
    EXPECT_EQ(std::string(exact.data()), expected);
    // One short: nothing written, so a sanitizer would see any overrun.
    std::vector<char> small(length, 'x');
    EXPECT_EQ(FormatMessageA(kFromSystem, nullptr, REGDB_E_CLASSNOTREG, 0, small.data(), length, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small.begin(), small.end()), std::string(length, 'x'));
}

TEST(FormatMessageTest, UnknownMessagesSourcesAndLanguagesFail)
{
    EXPECT_EQ(SystemText(0x2FFFFu), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(SystemText(E_FAIL, kFromSystem, MAKELANGID(0x07, 0x01)), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    EXPECT_EQ(SystemText(E_FAIL, FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(SystemText(E_FAIL, kFromSystem | FORMAT_MESSAGE_FROM_HMODULE), "Unspecified error\r\n");
}

TEST(FormatMessageTest, InsertsAreFilledOnlyWhenAsked)
{
    const std::string filled =
        "The system cannot find message text for message number 0x13D in the message file for System.\r\n";
    EXPECT_EQ(SystemText(ERROR_MR_MID_NOT_FOUND),
              "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n");
    const char* inserts[] = {"13D", "System"};
    EXPECT_EQ(SystemText(ERROR_MR_MID_NOT_FOUND, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, 0,
                         reinterpret_cast<va_list*>(inserts)),
              filled);
    char buffer[128];
    EXPECT_EQ(FormatWithArguments(ERROR_MR_MID_NOT_FOUND, buffer, sizeof buffer, "13D", "System"), filled.size());
    EXPECT_EQ(std::string(buffer), filled);
    // Inserts without arguments cannot be filled.
    EXPECT_EQ(SystemText(ERROR_MR_MID_NOT_FOUND, FORMAT_MESSAGE_FROM_SYSTEM), std::nullopt);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Every error code errors.h defines, one a line as "constexpr LONG|HRESULT
// NAME = value;", so that a code added there without a text here is caught.
std::map<std::string, ULONG> CodesOfErrorsHeader()
{
    std::ifstream header(std::filesystem::path(__FILE__).parent_path() / "../../platform/errors.h");
    EXPECT_TRUE(header) << "errors.h not found beside the tests";
    std::map<std::string, ULONG> codes;
    for (std::string line; std::getline(header, line);) {
        std::istringstream words(line);
        std::string word, type, name, equals, expression;
        if (!(words >> word >> type >> name >> equals) || word != "constexpr" || equals != "=" ||
            (type != "LONG" && type != "HRESULT")) {
            continue;
        }
        std::getline(words >> std::ws, expression, ';');
        // A number, MakeHResult(number) or HRESULT_FROM_WIN32(NAME or number).
        std::string token = expression.substr(expression.find('(') + 1);
        token = token.substr(0, token.find_first_of(")u"));
        char* end = nullptr;
        ULONG value = codes.count(token) ? codes[token] : static_cast<ULONG>(std::strtoul(token.c_str(), &end, 0));
        if (end != nullptr && (token.empty() || *end != '\0')) {
            ADD_FAILURE() << "cannot read the value of " << name << " = " << expression;
            continue;
        }
        const bool win32 = expression.rfind("HRESULT_FROM_WIN32(", 0) == 0;
        codes[name] = win32 ? static_cast<ULONG>(HRESULT_FROM_WIN32(static_cast<LONG>(value))) : value;
    }
    return codes;
}

TEST(FormatMessageTest, EveryCodeOfTheLayerHasAText)
{
    const std::map<std::string, ULONG> codes = CodesOfErrorsHeader();
    ASSERT_GE(codes.size(), 35u);
    EXPECT_EQ(codes.at("E_INVALIDARG"), static_cast<ULONG>(E_INVALIDARG));
    EXPECT_EQ(codes.at("HRESULT_RPC_SERVER_UNAVAILABLE"), static_cast<ULONG>(HRESULT_RPC_SERVER_UNAVAILABLE));
    EXPECT_EQ(codes.at("CO_S_NOTALLINTERFACES"), static_cast<ULONG>(CO_S_NOTALLINTERFACES));
    for (const auto& [name, code] : codes) {
        std::optional<std::string> text = SystemText(code);
        ASSERT_TRUE(text) << name;
        EXPECT_THAT(*text, ::testing::EndsWith("\r\n")) << name;
        if (code > 0 && code <= 0xFFFF) {  // a Win32 code reads the same as its HRESULT
            EXPECT_EQ(SystemText(HRESULT_FROM_WIN32(static_cast<LONG>(code))), text) << name;
        }
    }
}

}  // namespace
