#include <orvo/platform/errors.h>

namespace {

// Each thread sees only the failures of its own calls, as callers expect when
// they read the value right after a call returned its failure result.
thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }
