// Loading the support library on first use. The client library does not
// link the support library: the first call of one of its functions loads it
// from "<base path>/lib64", else by the standard search, and resolves the
// function by its exported name. A library or function that cannot be found
// ends the process after a message box, since the client cannot work
// without it.
//
// Every step is announced to delayHookHandler with the notification codes
// below, which is where the folder is set, the load logged and the failures
// reported.
#pragma once

#include <orvo/platform/types.h>
#include "platform/modules.h"

enum DelayLoadNotification : unsigned {
    dliStartProcessing = 0,
    dliNotePreLoadLibrary = 1,
    dliNotePreGetProcAddress = 2,
    dliFailLoadLib = 3,
    dliFailGetProc = 4,
    dliNoteEndProcessing = 5,
};

struct DelayLoadProc {
    bool fImportByName;
    const char* szProcName;
};

// The load in progress, as the handler sees it.
struct DelayLoadInfo {
    const char* szDll;
    DelayLoadProc dlp;
    HMODULE hmodCur;
    FARPROC pfnCur;
    DWORD dwLastError;
};

// Returns null in every case: the standard loading always goes on, or fails,
// on its own.
FARPROC delayHookHandler(unsigned notification, DelayLoadInfo* info);

// One delay-imported function: its library, its exported name, the library's
// module (shared by all imports of that library) and the resolved address.
struct DelayedImport {
    const char* library;
    const char* function;
    HMODULE* module;
    FARPROC* address;
};

// The function's address, loading its library first when needed. Never
// returns null: a failure ends the process.
FARPROC ResolveDelayedImport(DelayedImport& import);

// The support library's file name.
constexpr const char* kSupportLibrary = "libKivraToolBox.so";
