// Connecting to an engine, locally or on a listed server with its stored
// credentials, and the named clients registered on the connection.
#include <string>

#include <orvo/OrvoCI.h>
#include <orvo/platform/com_error.h>
#include "platform/format_message.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "protocol/Installation.h"

namespace {

constexpr DWORD kUsEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

bool IsThisMachine(const CString& target)
{
    return target.CompareNoCase("Local") == 0 || target == "127.0.0.1" || target == "0.0.0.0";
}

// The system's text for a failure code, or "Unspecified error".
CString FailureText(HRESULT code)
{
    LPSTR text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), kUsEnglish,
                       reinterpret_cast<LPSTR>(&text), 0, nullptr);
    const CString message = length != 0 ? CString(text) : CString("Unspecified error");
    LocalFree(text);
    return message;
}

// The registry's reason when the registry call just made failed on its
// store, else otherwise.
CString RegistryProblemOr(const CString& otherwise)
{
    const std::string problem = RegLastStoreProblem();
    return problem.empty() ? otherwise : CString(problem);
}

USHORT* IdentityText(const CString& text)
{
    return reinterpret_cast<USHORT*>(const_cast<char*>(text.GetString()));
}

}  // namespace

LONG OrvoCI::ConnectServer(CString server, CString client)
{
    if (m_engine) {
        ReleaseServer();
    }
    CString target = server.IsEmpty() ? CString("Local") : server;
    const CString user = GetServerItem(target, "UN");
    if (user.IsEmpty()) {
        return RCE("ConnectServer",
                   RegistryProblemOr("Server name given is not enumerated in server list."), server);
    }
    const CString domain = GetServerItem(target, "DM");
    const CString password = GetServerItem(target, "PW");
    const CString address = GetServerItem(target, "IP");
    m_serverName = target;
    if (address != "*") {
        target = address;
    }

    const BStr targetName(target);
    COAUTHIDENTITY identity{IdentityText(user),     static_cast<ULONG>(user.GetLength()),
                            IdentityText(domain),   static_cast<ULONG>(domain.GetLength()),
                            IdentityText(password), static_cast<ULONG>(password.GetLength()),
                            SEC_WINNT_AUTH_IDENTITY_ANSI};
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT,        RPC_C_AUTHZ_NONE,
                              nullptr,                  RPC_C_AUTHN_LEVEL_CONNECT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, &identity,
                              0};
    const bool withCredentials = !user.IsEmpty() && user != "*";
    COSERVERINFO serverInfo{0, targetName.get(), withCredentials ? &authentication : nullptr, 0};
    COSERVERINFO* where = IsThisMachine(target) ? nullptr : &serverInfo;

    MULTI_QI request{&ITankEngine::iid, nullptr, S_OK};
    HRESULT result = CoCreateInstanceEx(orvo::CLSID_TankEngine, nullptr,
                                        CLSCTX_LOCAL_SERVER | CLSCTX_ACTIVATE_32_BIT_SERVER, where,
                                        1, &request);
    if (result == E_INVALIDARG) {
        request = {&ITankEngine::iid, nullptr, S_OK};
        result = CoCreateInstanceEx(orvo::CLSID_TankEngine, nullptr, CLSCTX_LOCAL_SERVER, where, 1,
                                    &request);
    }
    m_engine.attach(static_cast<ITankEngine*>(request.pItf));

    if (SUCCEEDED(result) && m_engine) {
        // A throw-away client proves that the engine answers.
        const LONG check = m_engine->AddClient(BStr("TestClient").get());
        if (check > 0) {
            m_engine->DeleteClient(check);
        }
        if (check >= 0) {
            AddClient(client);
            return m_clientId;
        }
        result = check;
    }

    const HRESULT failure = SUCCEEDED(result) ? E_NOINTERFACE : result;
    // A class not found because the registry failed, or because the module it
    // names was refused, has its reason waiting.
    const CString reason = FailureText(failure);
    const std::string notStarted = failure == REGDB_E_CLASSNOTREG ? CoLastLocalServerProblem() : "";
    RCE("ConnectServer", notStarted.empty() ? reason : CString(notStarted), "NA");
    AfxMessageBox(m_localError, MB_OK);
    return 0;
}

LONG OrvoCI::AddClient(CString client)
{
    if (!m_engine) {
        return 0;
    }
    const LONG id = m_engine->AddClient(BStr(client).get());
    if (id <= 0) {
        return 0;
    }
    if (id >= kClientSlots) {
        // No slot can hold it, so nothing could ever delete it again.
        m_engine->DeleteClient(id);
        return 0;
    }
    m_clientNames[id] = std::make_unique<CString>(client);
    m_clientId = id;
    return id;
}

LONG OrvoCI::GetClientID(CString client)
{
    for (LONG id = 1; id < kClientSlots; ++id) {
        if (m_clientNames[id] && *m_clientNames[id] == client) {
            return id;
        }
    }
    return 0;
}

int OrvoCI::SwitchClient(LONG id)
{
    if (!IsRegistered(id)) {
        return 0;
    }
    m_clientId = id;
    return 1;
}

int OrvoCI::SwitchClient(CString client) { return SwitchClient(GetClientID(client)); }

void OrvoCI::DeleteClient(LONG id)
{
    if (IsRegistered(id) && m_engine) {
        m_engine->DeleteClient(id);
        m_clientNames[id].reset();
    }
}

void OrvoCI::DeleteClient(CString client) { DeleteClient(GetClientID(client)); }
