#include "platform/process.h"

#include <cstdint>

#include <unistd.h>

#include <orvo/platform/errors.h>

namespace {

// The value Windows reserves for "the calling process"; it never names a
// real handle, so it is safe to compare against.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    if (process != kCurrentProcess) {
        // No other process can be opened through this layer, so any other
        // value is not a handle at all.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // _exit rather than exit: termination must not run exit handlers or
    // static destructors, which may be what is stuck or corrupt.
    _exit(static_cast<int>(exitCode));
}
