#include "protocol/Installation.h"

#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/files.h"
#include "platform/modules.h"
#include "platform/registry.h"

namespace orvo {
namespace {

LONG CreateKey(const char* name, UniqueHKey& key)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
}

// Registers module, beside the platform library, as the default value of
// keyName, unless the machine registered a full path of its own there.
LONG RegisterModule(const char* keyName, const char* module)
{
    UniqueHKey key;
    if (const LONG error = CreateKey(keyName, key); error != ERROR_SUCCESS) {
        return error;
    }
    char registered[MAX_PATH] = {};
    DWORD size = sizeof registered - 1;
    const LONG read = RegQueryValueExA(key.get(), "", nullptr, nullptr, reinterpret_cast<BYTE*>(registered), &size);
    // A bare name left the choice of file to the loader's search.
    if ((read == ERROR_SUCCESS || read == ERROR_MORE_DATA) && std::strcmp(registered, module) != 0) {
        return ERROR_SUCCESS;
    }
    const std::string folder = PlatformLibraryFolder();
    if (folder.empty()) {
        return ERROR_MOD_NOT_FOUND;
    }
    const std::string path = folder + "/" + module;
    // Stored with its NUL, as installers write REG_SZ values.
    return RegSetValueExA(key.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>(path.size() + 1));
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
    if (const LONG error = RegisterModule(kTankEngineServerKey, kTankEngineModule); error != ERROR_SUCCESS) {
        return error;
    }
    return RegisterModule(kTankEngineRemoteKey, kTankEngineRemoteModule);
}

}  // namespace orvo
