#include "client/support/DelayLoad.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include <orvo/platform/errors.h>
#include "client/support/BasePath.h"
#include "client/support/Log.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/process.h"

namespace {

// Set when the handler has pointed the loader at "<base path>/lib64" during
// the load in progress, so that only a load it steered is logged.
std::atomic<bool> g_directorySet{false};

// Resolutions of different threads must not interleave: they share the
// directory flag and the module handles.
std::mutex g_resolveLock;

std::string ExecutableName()
{
    return std::filesystem::path(ModulePath(nullptr)).filename().string();
}

[[noreturn]] void EndProcessWithMessage(const char* text)
{
    MessageBoxA(nullptr, text, "DLL Loading Error", MB_OK);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
    std::abort();  // not reached: TerminateProcess of this process does not return
}

}  // namespace

FARPROC delayHookHandler(unsigned notification, DelayLoadInfo* info)
{
    char message[512];
    switch (notification) {
    case dliStartProcessing:
        g_directorySet = false;
        break;
    case dliNotePreLoadLibrary: {
        const std::string folder = ResolveBasePath() + "/lib64";
        // Code is taken only from a folder that no other user could have put
        // it in; else the standard search finds the library beside ours.
        const std::string untrusted = PathFileExistsA(folder.c_str()) ? UntrustedBecause(folder) : "";
        if (!untrusted.empty()) {
            SetDllDirectoryA(nullptr);
            LogMessage("../../Shared/DelayLoad", 297, "delayHookHandler", kLogWarning,
                       "Not loading \"%s\" from \"%s\": %s\r\n", info && info->szDll ? info->szDll : "",
                       folder.c_str(), untrusted.c_str());
        } else if (folder.size() < MAX_PATH && SetDllDirectoryA(folder.c_str())) {
            // A folder name that would have to be cut is not set: a cut name
            // would send the loader to some other folder.
            g_directorySet = true;
        }
        break;
    }
    case dliFailLoadLib:
        std::snprintf(message, sizeof message,
                      "The application \"%s\" failed to load \"%s\" library.\n\n"
                      "You may need to reinstall the application or its dependencies.  If\n"
                      "that does not fix the problem please contact Kivra.\n\n"
                      "The application will now terminate.",
                      ExecutableName().c_str(), info && info->szDll ? info->szDll : "");
        EndProcessWithMessage(message);
    case dliFailGetProc:
        std::snprintf(message, sizeof message,
                      "The application \"%s\" failed to find function \"%s\"\n"
                      "in the \"%s\" library.\n\n"
                      "This is most likely due to a version mistmatch between the application\n"
                      "and the library.  You may need to reinstall the application or its\n"
                      "dependencies.  If that does not fix the problem please contact Kivra.\n\n"
                      "The application will now terminate.",
                      ExecutableName().c_str(),
                      info && info->dlp.szProcName ? info->dlp.szProcName : "",
                      info && info->szDll ? info->szDll : "");
        EndProcessWithMessage(message);
    case dliNoteEndProcessing:
        if (g_directorySet && info != nullptr) {
            LogMessage("../../Shared/DelayLoad", 303, "delayHookHandler", kLogNormal,
                       "Loaded \"%s\" from \"%s\"\r\n", info->szDll ? info->szDll : "",
                       ModulePath(info->hmodCur).c_str());
        }
        break;
    default:
        break;
    }
    return nullptr;
}

FARPROC ResolveDelayedImport(DelayedImport& import)
{
    std::lock_guard lock(g_resolveLock);
    if (*import.address != nullptr) {
        return *import.address;
    }
    DelayLoadInfo info{import.library, {true, import.function}, *import.module, nullptr, 0};
    delayHookHandler(dliStartProcessing, &info);
    if (info.hmodCur == nullptr) {
        delayHookHandler(dliNotePreLoadLibrary, &info);
        info.hmodCur = LoadLibraryA(import.library);
        if (info.hmodCur == nullptr) {
            info.dwLastError = GetLastError();
            delayHookHandler(dliFailLoadLib, &info);
        }
        *import.module = info.hmodCur;
    }
    delayHookHandler(dliNotePreGetProcAddress, &info);
    info.pfnCur = GetProcAddress(info.hmodCur, import.function);
    if (info.pfnCur == nullptr) {
        info.dwLastError = GetLastError();
        delayHookHandler(dliFailGetProc, &info);
    }
    delayHookHandler(dliNoteEndProcessing, &info);
    *import.address = info.pfnCur;
    return info.pfnCur;
}
