// The client library's own definitions of the support library's CUDPSocket
// members. Each forwards to the member of that name in the support library,
// which is loaded and resolved on the first call. They are kept out of the
// client library's exports (client/exports.map), so that a program linking
// the support library directly still gets the real members.
//
// The names are the members' exported (mangled) names; a member is called
// through a plain function pointer with the object as first argument, which
// is how the platform's C++ ABI passes it.
#include "client/support/DelayLoad.h"
#include "toolbox/CUDPSocket.h"

namespace {

HMODULE g_supportLibrary = nullptr;
FARPROC g_constructor = nullptr;
FARPROC g_destructor = nullptr;
FARPROC g_send = nullptr;

DelayedImport g_importConstructor{kSupportLibrary, "_ZN10CUDPSocketC1Et", &g_supportLibrary,
                                  &g_constructor};
DelayedImport g_importDestructor{kSupportLibrary, "_ZN10CUDPSocketD1Ev", &g_supportLibrary,
                                 &g_destructor};
DelayedImport g_importSend{kSupportLibrary, "_ZN10CUDPSocket4sendEPKci", &g_supportLibrary,
                           &g_send};

template <class Function>
Function Resolve(DelayedImport& import)
{
    return reinterpret_cast<Function>(ResolveDelayedImport(import));
}

}  // namespace

CUDPSocket::CUDPSocket(unsigned short port)
{
    Resolve<void (*)(CUDPSocket*, unsigned short)>(g_importConstructor)(this, port);
}

CUDPSocket::~CUDPSocket()
{
    Resolve<void (*)(CUDPSocket*)>(g_importDestructor)(this);
}

bool CUDPSocket::send(const char* text, int length)
{
    return Resolve<bool (*)(CUDPSocket*, const char*, int)>(g_importSend)(this, text, length);
}
