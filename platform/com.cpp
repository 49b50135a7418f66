#include <orvo/platform/com.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "platform/files.h"
#include "platform/modules.h"
#include "platform/registry.h"

namespace {

thread_local ULONG t_initialisations = 0;
thread_local std::string t_localServerProblem;

constexpr DWORD kExecutionContexts =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kBitnessContexts = CLSCTX_ACTIVATE_32_BIT_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER;
constexpr DWORD kKnownContexts = kExecutionContexts | kBitnessContexts | CLSCTX_NO_CODE_DOWNLOAD |
                                 CLSCTX_NO_CUSTOM_MARSHAL | CLSCTX_ENABLE_CODE_DOWNLOAD | CLSCTX_NO_FAILURE_LOG |
                                 CLSCTX_DISABLE_AAA | CLSCTX_ENABLE_AAA | CLSCTX_FROM_DEFAULT_CONTEXT;

bool IsValidContext(DWORD clsctx)
{
    return (clsctx & ~kKnownContexts) == 0 && (clsctx & kExecutionContexts) != 0 &&
           (clsctx & kBitnessContexts) != kBitnessContexts;
}

struct Registration {
    DWORD cookie;
    CLSID clsid;
    ComPtr<IUnknown> object;
};

// References are only ever dropped after the lock is released: the last
// Release of a class object may run code that calls back into this table.
struct ClassTable {
    std::mutex mutex;
    std::vector<Registration> entries;
    DWORD lastCookie = 0;
};

ClassTable& Classes()
{
    // Never destroyed: objects registered by libraries must not be released
    // during static destruction, after their code may have been unloaded.
    static ClassTable* table = new ClassTable;
    return *table;
}

struct RemoteSlot {
    std::mutex mutex;
    std::shared_ptr<const RemoteActivationHandler> handler;
};

RemoteSlot& Remote()
{
    static RemoteSlot* slot = new RemoteSlot;
    return *slot;
}

// Called with the table locked. Cookies only repeat after 2^32
// registrations, and even then never one still in use, nor 0.
DWORD NextCookie(ClassTable& table)
{
    for (;;) {
        DWORD cookie = ++table.lastCookie;
        bool inUse = std::any_of(table.entries.begin(), table.entries.end(),
                                 [cookie](const Registration& entry) { return entry.cookie == cookie; });
        if (cookie != 0 && !inUse) {
            return cookie;
        }
    }
}

ComPtr<IUnknown> FindClassObject(REFCLSID clsid)
{
    ClassTable& table = Classes();
    std::lock_guard lock(table.mutex);
    auto newest = std::find_if(table.entries.rbegin(), table.entries.rend(),
                               [&clsid](const Registration& entry) { return entry.clsid == clsid; });
    return newest == table.entries.rend() ? ComPtr<IUnknown>() : newest->object;
}

bool EqualsIgnoringAsciiCase(LPCWSTR name, std::string_view ascii)
{
    auto lower = [](unsigned c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    std::size_t i = 0;
    for (; name[i] != 0; ++i) {
        if (i == ascii.size() || lower(name[i]) != lower(static_cast<unsigned char>(ascii[i]))) {
            return false;
        }
    }
    return i == ascii.size();
}

bool NamesThisMachine(LPCWSTR name)
{
    if (name == nullptr) {
        return true;
    }
    // Machine names may be written in the UNC form, "\\name".
    if (name[0] == u'\\' && name[1] == u'\\') {
        name += 2;
    }
    if (name[0] == 0) {
        return true;
    }
    for (std::string_view local : {"localhost", "127.0.0.1", "::1"}) {
        if (EqualsIgnoringAsciiCase(name, local)) {
            return true;
        }
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == 0) {
        return false;
    }
    return EqualsIgnoringAsciiCase(name, host);
}

HRESULT FailAll(DWORD count, MULTI_QI* results, HRESULT hr)
{
    for (DWORD i = 0; results != nullptr && i < count; ++i) {
        results[i].pItf = nullptr;
        results[i].hr = hr;
    }
    return hr;
}

// Loads the module that the registry names for clsid under its class key
// (the default value of Software\Classes\CLSID\{clsid}\<role>), which
// registers what it serves as it loads. It stays loaded for the process's
// life, like a running server. Only a module that no other user could have
// put there is loaded, since the registry entry alone decides what runs.
void LoadRegisteredModule(REFCLSID clsid, const char* role)
{
    char keyName[128];
    std::snprintf(keyName, sizeof keyName,
                  "Software\\Classes\\CLSID\\{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\\%s",
                  static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7],
                  role);
    HKEY key = nullptr;
    char module[MAX_PATH] = {};
    DWORD size = sizeof module - 1;
    DWORD type = 0;
    LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key);
    if (read == ERROR_SUCCESS) {
        read = RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(module), &size);
        RegCloseKey(key);
    }
    if (read != ERROR_SUCCESS) {
        t_localServerProblem = RegLastStoreProblem();
    } else if (type == REG_SZ && module[0] != '\0') {
        LoadTrustedLibrary(module, t_localServerProblem);
    }
}

std::shared_ptr<const RemoteActivationHandler> InstalledRemoteHandler()
{
    RemoteSlot& slot = Remote();
    std::lock_guard lock(slot.mutex);
    return slot.handler;
}

HRESULT ActivateHere(REFCLSID clsid, IUnknown* outer, DWORD clsctx, DWORD count, MULTI_QI* results)
{
    t_localServerProblem.clear();
    ComPtr<IUnknown> classObject = FindClassObject(clsid);
    if (!classObject && (clsctx & CLSCTX_LOCAL_SERVER) != 0) {
        // As a server process would on starting, the local server's module
        // registers its class objects.
        LoadRegisteredModule(clsid, "LocalServer32");
        classObject = FindClassObject(clsid);
    }
    if (!classObject) {
        return FailAll(count, results, REGDB_E_CLASSNOTREG);
    }
    ComPtr<IClassFactory> factory;
    HRESULT hr = classObject.As(factory);
    if (FAILED(hr)) {
        return FailAll(count, results, hr);
    }
    // The object is asked for IUnknown first and for the requested
    // interfaces after, so that a missing first interface does not hide the
    // others; an aggregated object must be created through IUnknown anyway.
    ComPtr<IUnknown> object;
    hr = factory->CreateInstance(outer, IID_IUnknown, object.put_void());
    if (FAILED(hr)) {
        return FailAll(count, results, hr);
    }
    if (!object) {
        return FailAll(count, results, E_UNEXPECTED);
    }
    DWORD found = 0;
    for (DWORD i = 0; i < count; ++i) {
        void* itf = nullptr;
        results[i].hr = object->QueryInterface(*results[i].pIID, &itf);
        if (SUCCEEDED(results[i].hr) && itf != nullptr) {
            results[i].pItf = static_cast<IUnknown*>(itf);
            ++found;
        } else {
            results[i].pItf = nullptr;
            if (SUCCEEDED(results[i].hr)) {
                results[i].hr = E_NOINTERFACE;
            }
        }
    }
    return found == count ? S_OK : found > 0 ? CO_S_NOTALLINTERFACES : E_NOINTERFACE;
}

}  // namespace

HRESULT CoInitialize(LPVOID reserved)
{
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    if (t_initialisations == std::numeric_limits<ULONG>::max()) {
        return E_UNEXPECTED;
    }
    return ++t_initialisations == 1 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (t_initialisations > 0) {
        --t_initialisations;
    }
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsctx, DWORD flags, LPDWORD cookie)
{
    if (cookie == nullptr) {
        return E_INVALIDARG;
    }
    *cookie = 0;
    if (object == nullptr || !IsValidContext(clsctx) || (flags & ~REGCLS_AGILE) > REGCLS_MULTI_SEPARATE) {
        return E_INVALIDARG;
    }
    // Declared before the lock, so that on failure the reference is dropped
    // after the lock is released.
    ComPtr<IUnknown> held(object);
    ClassTable& table = Classes();
    std::lock_guard lock(table.mutex);
    try {
        table.entries.reserve(table.entries.size() + 1);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *cookie = NextCookie(table);
    table.entries.push_back(Registration{*cookie, clsid, std::move(held)});
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
    ComPtr<IUnknown> released;
    ClassTable& table = Classes();
    {
        std::lock_guard lock(table.mutex);
        auto entry = std::find_if(table.entries.begin(), table.entries.end(),
                                  [cookie](const Registration& candidate) { return candidate.cookie == cookie; });
        if (cookie == 0 || entry == table.entries.end()) {
            return E_INVALIDARG;
        }
        released = std::move(entry->object);
        table.entries.erase(entry);
    }
    return S_OK;
}

HRESULT CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD clsctx, COSERVERINFO* serverInfo,
                           DWORD count, MULTI_QI* results)
{
    if (t_initialisations == 0) {
        return FailAll(count, results, CO_E_NOTINITIALIZED);
    }
    if (count == 0 || results == nullptr) {
        return E_INVALIDARG;
    }
    bool everyIid = std::all_of(results, results + count, [](const MULTI_QI& entry) { return entry.pIID != nullptr; });
    if (!everyIid || !IsValidContext(clsctx)) {
        return FailAll(count, results, E_INVALIDARG);
    }
    if (serverInfo == nullptr || NamesThisMachine(serverInfo->pwszName)) {
        return ActivateHere(clsid, outer, clsctx, count, results);
    }
    if (outer != nullptr) {
        return FailAll(count, results, CLASS_E_NOAGGREGATION);
    }
    t_localServerProblem.clear();
    std::shared_ptr<const RemoteActivationHandler> handler = InstalledRemoteHandler();
    if (!handler) {
        // The transport to other machines, registered for the class, installs
        // its handler as it loads.
        LoadRegisteredModule(clsid, "RemoteActivation");
        handler = InstalledRemoteHandler();
    }
    if (!handler) {
        return FailAll(count, results, HRESULT_RPC_SERVER_UNAVAILABLE);
    }
    return (*handler)(clsid, clsctx, serverInfo, count, results);
}

std::string CoLastLocalServerProblem() { return t_localServerProblem; }

RemoteActivationHandler SetRemoteActivationHandler(RemoteActivationHandler handler)
{
    std::shared_ptr<const RemoteActivationHandler> next;
    if (handler) {
        next = std::make_shared<const RemoteActivationHandler>(std::move(handler));
    }
    RemoteSlot& slot = Remote();
    std::shared_ptr<const RemoteActivationHandler> previous;
    {
        std::lock_guard lock(slot.mutex);
        previous = std::exchange(slot.handler, std::move(next));
    }
    return previous ? *previous : RemoteActivationHandler();
}
