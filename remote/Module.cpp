// Loading the module lets activation reach engines on other machines: it
// installs the platform's remote activation handler, which connects to the
// server that a COSERVERINFO names, logs in with its COAUTHIDENTITY and
// answers with an engine whose every call crosses the network.
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include <orvo/platform/com.h>

#include "platform/ansi.h"
#include "protocol/EngineWire.h"
#include "protocol/Installation.h"
#include "remote/RemoteEngine.h"

namespace orvo::remote {
namespace {

// Seconds a call or a connection may wait for the server.
constexpr const char* kTimeoutVariable = "ORVO_REMOTE_TIMEOUT";
constexpr long kDefaultTimeoutSeconds = 30;
// MiB of one answer's array that the client takes from a server, which
// bounds what a server can make it allocate.
constexpr const char* kMaxAnswerVariable = "ORVO_REMOTE_MAX_ANSWER_MB";
constexpr long kDefaultMaxAnswerMiB = 256;

// The whole number from 1 to most that the variable holds, else fallback.
long Setting(const char* variable, long most, long fallback)
{
    const char* text = std::getenv(variable);
    char* end = nullptr;
    const long value = text != nullptr ? std::strtol(text, &end, 10) : 0;
    const bool valid = text != nullptr && end != text && *end == '\0' && value > 0 && value <= most;
    return valid ? value : fallback;
}

kj::Duration CallTimeout() { return Setting(kTimeoutVariable, 86400, kDefaultTimeoutSeconds) * kj::SECONDS; }

std::uint64_t MaxAnswerBytes()
{
    const auto mebibytes = Setting(kMaxAnswerVariable, wire::kMaxArrayBytes >> 20, kDefaultMaxAnswerMiB);
    return static_cast<std::uint64_t>(mebibytes) << 20;
}

std::string Text(const USHORT* text, ULONG length, ULONG flags)
{
    if (text == nullptr) {
        return "";
    }
    if (flags == SEC_WINNT_AUTH_IDENTITY_UNICODE) {
        return WideToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
    }
    return std::string(reinterpret_cast<const char*>(text), length);
}

Credentials CredentialsOf(const COSERVERINFO& server)
{
    Credentials credentials;
    if (server.pAuthInfo == nullptr || server.pAuthInfo->pAuthIdentityData == nullptr) {
        return credentials;
    }
    const COAUTHIDENTITY& identity = *server.pAuthInfo->pAuthIdentityData;
    credentials.user = Text(identity.User, identity.UserLength, identity.Flags);
    credentials.domain = Text(identity.Domain, identity.DomainLength, identity.Flags);
    credentials.password = Text(identity.Password, identity.PasswordLength, identity.Flags);
    // The server list writes "*" for an item left empty.
    if (credentials.domain == "*") {
        credentials.domain.clear();
    }
    return credentials;
}

HRESULT FailAll(DWORD count, MULTI_QI* results, HRESULT hr)
{
    for (DWORD i = 0; i < count; ++i) {
        results[i].pItf = nullptr;
        results[i].hr = hr;
    }
    return hr;
}

HRESULT Activate(REFCLSID clsid, DWORD, COSERVERINFO* server, DWORD count, MULTI_QI* results)
{
    if (clsid != CLSID_TankEngine) {
        return FailAll(count, results, REGDB_E_CLASSNOTREG);
    }
    std::string address = WideToAnsi(server->pwszName);
    // Machine names may be written in the UNC form, "\\name".
    if (address.rfind("\\\\", 0) == 0) {
        address.erase(0, 2);
    }
    ComPtr<ITankEngine> engine;
    try {
        engine.attach(new RemoteEngine(std::make_unique<Link>(address, CredentialsOf(*server), CallTimeout()),
                                       MaxAnswerBytes()));
    } catch (const LinkFailure& failure) {
        return FailAll(count, results, failure.code);
    } catch (const std::bad_alloc&) {
        return FailAll(count, results, E_OUTOFMEMORY);
    }
    DWORD found = 0;
    for (DWORD i = 0; i < count; ++i) {
        void* itf = nullptr;
        results[i].hr = engine->QueryInterface(*results[i].pIID, &itf);
        results[i].pItf = static_cast<IUnknown*>(itf);
        found += SUCCEEDED(results[i].hr) ? 1 : 0;
    }
    return found == count ? S_OK : found > 0 ? CO_S_NOTALLINTERFACES : E_NOINTERFACE;
}

// The handler stays installed while the module is loaded, which activation
// keeps it for the process's life.
class Installation {
public:
    Installation() { SetRemoteActivationHandler(Activate); }
    ~Installation() { SetRemoteActivationHandler({}); }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
};

const Installation g_installation;

}  // namespace
}  // namespace orvo::remote
