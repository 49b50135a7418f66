// The installation folder (base path): read once per process from the
// registry keys of the installation names in turn; the default when none
// holds one. The log file and the support library are found under it.
#pragma once

#include <string>

// Reads the base-path value of the installation key of subkey into the base path.
// Returns 1 when the key opened with full access and the value was read,
// else 0 (the base path is then unchanged).
int ReadBasePath(const char* subkey);

// The base path, asking the registry on the first call of the process.
std::string ResolveBasePath();
