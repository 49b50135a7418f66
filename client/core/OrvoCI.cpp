#include <orvo/OrvoCI.h>

#include <utility>

#include "client/core/CallFrame.h"
#include "protocol/Installation.h"
#include "toolbox/CUDPSocket.h"

namespace {
// The port that listeners of the read notice expect.
constexpr unsigned short kNotifierPort = 41257;
}  // namespace

OrvoCI::OrvoCI() : m_notifier(std::make_unique<CUDPSocket>(kNotifierPort))
{
    // Where no installer has run, the library sets the machine up as one
    // would; a registry it may not write is used as it is.
    (void)orvo::RegisterInstallation();
    CoInitialize(nullptr);
    ResetGlobals();
}

OrvoCI::~OrvoCI()
{
    ClearSupplementArray();
    ReleaseServer();
}

void OrvoCI::ReleaseServer()
{
    if (!m_engine) {
        return;
    }
    if (m_clientId != 0) {
        m_engine->CloseTank(m_clientId);
        for (LONG id = 1; id < kClientSlots; ++id) {
            if (m_clientNames[id]) {
                m_engine->DeleteClient(id);
            }
        }
    }
    // The ids and names belonged to the connection that ends here: none of
    // them names a client of the next one.
    for (auto& name : m_clientNames) {
        name.reset();
    }
    m_clientId = 0;
    m_engine.reset();
}

CString OrvoCI::GetError()
{
    CString local = std::exchange(m_localError, CString());
    if (!HasClient()) {
        return local.IsEmpty() ? CString("No server connection made.") : local;
    }
    BStr text;
    const LONG result = m_engine->GetError(m_clientId, text.out());
    if (result == 0) {
        return local.IsEmpty() ? CString("No error to report.") : local;
    }
    CString error = orvo::TextResult(result, text);
    if (!local.IsEmpty()) {
        error += "\n";
        error += local;
    }
    return error;
}

CString OrvoCI::GetDebug(CString name)
{
    if (!m_engine) {
        return CString();
    }
    BStr text;
    return orvo::TextResult(m_engine->GetDebug(BStr(name).get(), text.out()), text);
}

void OrvoCI::EnabTankDebug(CString name, int enable)
{
    if (m_engine) {
        m_engine->EnabTankDebug(BStr(name).get(), enable);
    }
}

LONG OrvoCI::RCE(CString call, CString message, CString badArg)
{
    m_localError += "Local Error >>>\n";
    m_localError += "     Call: " + call + "\n";
    m_localError += "  Message: " + message + "\n";
    m_localError += "  Bad Arg: " + badArg + "\n";
    return 0;
}

void OrvoCI::ClearSupplementArray()
{
    for (int i = 0; i < m_supplements.GetSize(); ++i) {
        delete m_supplements[i];
    }
    m_supplements.RemoveAll();
}

bool OrvoCI::IsRegistered(LONG id) const
{
    return id > 0 && id < kClientSlots && m_clientNames[id] != nullptr;
}
