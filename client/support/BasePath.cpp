#include "client/support/BasePath.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/registry.h"
#include "protocol/Installation.h"

namespace {

std::mutex g_basePathLock;
std::string g_basePath = orvo::kDefaultBasePath;
bool g_basePathPending = true;

// Caller holds g_basePathLock.
int ReadBasePathLocked(const char* subkey)
{
    if (subkey == nullptr) {
        return 0;
    }
    char keyName[MAX_PATH];
    const int keyLength = std::snprintf(keyName, sizeof keyName, orvo::kInstallationKeyFormat, subkey);
    // A cut key name would name another key.
    if (keyLength < 0 || static_cast<std::size_t>(keyLength) >= sizeof keyName) {
        return 0;
    }

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return 0;
    }
    char value[MAX_PATH];
    DWORD valueBytes = sizeof value;
    const LONG read = RegQueryValueExA(key, orvo::kBasePathValue, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &valueBytes);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS) {
        return 0;
    }
    // The stored text need not end in a NUL; it ends at the first NUL or
    // after the bytes read, whichever comes first.
    g_basePath.assign(value, strnlen(value, valueBytes));
    return 1;
}

}  // namespace

int ReadBasePath(const char* subkey)
{
    std::lock_guard lock(g_basePathLock);
    return ReadBasePathLocked(subkey);
}

std::string ResolveBasePath()
{
    std::lock_guard lock(g_basePathLock);
    if (g_basePathPending) {
        for (const char* name : orvo::kInstallationNames) {
            if (ReadBasePathLocked(name) == 1) {
                break;
            }
        }
        g_basePathPending = false;
    }
    return g_basePath;
}
