#include "protocol/Installation.h"

#include <cstring>
#include <initializer_list>

#include "platform/registry.h"

namespace orvo {
namespace {

LONG CreateKey(const char* name, UniqueHKey& key)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
}

}  // namespace

LONG RegisterInstallation()
{
    for (const char* list : {kServerListKey, kTankListKey}) {
        UniqueHKey key;
        if (const LONG error = CreateKey(list, key); error != ERROR_SUCCESS) {
            return error;
        }
    }
    UniqueHKey server;
    if (const LONG error = CreateKey(kTankEngineServerKey, server); error != ERROR_SUCCESS) {
        return error;
    }
    if (RegQueryValueExA(server.get(), "", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    // Stored with its NUL, as installers write REG_SZ values.
    return RegSetValueExA(server.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(kTankEngineModule),
                          static_cast<DWORD>(std::strlen(kTankEngineModule) + 1));
}

}  // namespace orvo
