// Points the installation folder of the processes started by a test at a
// folder of the test's own, through the registry.
#pragma once

#include <dlfcn.h>
#include <errno.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/registry.h"

namespace orvo::test {

// Stores "BasePath" under "SOFTWARE\Kivratech\<subkey>" with exactly the
// bytes of value (no NUL is added).
inline void StoreBasePath(const std::string& subkey, const std::string& value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Kivratech\\" + subkey).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "BasePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                             static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The file name, up to its first ".", of the module that holds code: the
// client library, or the test program where its code is linked in.
inline std::string ModuleNameOf(const void* code)
{
    Dl_info info{};
    const std::string path = dladdr(code, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.substr(0, name.find('.'));
}

// The log file the client's code writes under base for this process.
inline std::string LogFileName(const void* clientCode)
{
    return std::string(program_invocation_short_name) + "." + std::to_string(getpid()) + "." +
           ModuleNameOf(clientCode) + ".Release.log";
}

}  // namespace orvo::test
