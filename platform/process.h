// The current process: its id, its pseudo-handle, and ending it at once.
#pragma once

#include <orvo/platform/types.h>

HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

// Ends the current process immediately with exitCode (its low eight bits
// become the exit status, so -1 is seen as 255). No destructors or exit
// handlers run. Any other process handle fails with ERROR_INVALID_HANDLE.
BOOL TerminateProcess(HANDLE process, UINT exitCode);
