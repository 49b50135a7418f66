#include "protocol/Installation.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "tests/fixtures/scratch.h"

namespace {

// The default value of the engine's class key, or "(absent)".
std::string EngineModule()
{
    UniqueHKey key;
    char name[256] = {};
    DWORD size = sizeof name - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{6F52564F-0001-4E47-9A3C-54414E4B454E}\\LocalServer32",
                      0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.get(), "", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size) != ERROR_SUCCESS) {
        return "(absent)";
    }
    return name;
}

bool KeyExists(const char* name)
{
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

}  // namespace

TEST(Installation, FreshRegistryGetsTheListsAndTheEngine)
{
    orvo::test::ScratchRegistry registry;
    EXPECT_FALSE(KeyExists("Software\\Kivra\\Orvo\\EnumServers"));
    EXPECT_EQ(EngineModule(), "(absent)");

    ASSERT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
    EXPECT_TRUE(KeyExists("Software\\Kivra\\Orvo\\EnumServers"));
    EXPECT_TRUE(KeyExists("SOFTWARE\\kivra\\orvo\\enumtanks"));
    EXPECT_EQ(EngineModule(), "libOrvoTankEngine.so");
    EXPECT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
}

TEST(Installation, MachinesOwnRegistrationAndListsAreKept)
{
    orvo::test::ScratchRegistry registry;
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, orvo::kTankEngineServerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    const std::string own = "/opt/lab/libOwnEngine.so";
    ASSERT_EQ(RegSetValueExA(key.get(), "", 0, REG_SZ, reinterpret_cast<const BYTE*>(own.c_str()),
                             static_cast<DWORD>(own.size() + 1)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, orvo::kTankListKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), "Rig", 0, REG_SZ, reinterpret_cast<const BYTE*>("/data/rig"), 10),
              ERROR_SUCCESS);
    key.reset();

    ASSERT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
    EXPECT_EQ(EngineModule(), own);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, orvo::kTankListKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Rig", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}
