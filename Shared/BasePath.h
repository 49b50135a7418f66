// The installation folder (base path): read once per process from the
// registry, "SOFTWARE\Kivratech\Kivra Drivers" and then
// "SOFTWARE\Kivratech\OrvoMin", value "BasePath"; "/opt/Kivra" when neither
// holds one. The log file and the support library are found under it.
#pragma once

#include <string>

constexpr const char* kDefaultBasePath = "/opt/Kivra";

// Reads "BasePath" of "SOFTWARE\Kivratech\<subkey>" into the base path.
// Returns 1 when the key opened with full access and the value was read,
// else 0 (the base path is then unchanged).
int ReadBasePath(const char* subkey);

// The base path, asking the registry on the first call of the process.
std::string ResolveBasePath();
