// Points the installation folder of the processes started by a test at a
// folder of the test's own, through the registry.
#pragma once

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

}  // namespace orvo::test
