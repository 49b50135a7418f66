#include "protocol/Installation.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/modules.h"
#include "platform/registry.h"
#include "tests/fixtures/scratch.h"

namespace {

// The default value of a key of the engine's class, or "(absent)".
std::string EngineModule(const char* role = "LocalServer32")
{
    UniqueHKey key;
    char name[256] = {};
    DWORD size = sizeof name - 1;
    const std::string keyName = std::string("Software\\Classes\\CLSID\\{6F52564F-0001-4E47-9A3C-54414E4B454E}\\") + role;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
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

// Makes the key and sets the value to bytes, as given.
LONG StoreValue(const char* keyName, const char* name, const std::string& bytes)
{
    UniqueHKey key;
    const LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                       nullptr);
    return error != ERROR_SUCCESS ? error
                                  : RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                                                   static_cast<DWORD>(bytes.size()));
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
    // By its full path beside the platform library, not left to the loader's search.
    const std::string engine = EngineModule();
    EXPECT_EQ(engine, PlatformLibraryFolder() + "/libOrvoTankEngine.so");
    EXPECT_TRUE(std::filesystem::path(engine).is_absolute()) << engine;
    EXPECT_EQ(EngineModule("RemoteActivation"), PlatformLibraryFolder() + "/libOrvoRemote.so");
    EXPECT_TRUE(std::filesystem::is_regular_file(engine)) << engine;
    EXPECT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
}

TEST(Installation, BareEngineNameOfEarlierInstallationsIsReplacedByItsPath)
{
    orvo::test::ScratchRegistry registry;
    // Written with and without its NUL, as installers and hands have.
    for (const std::size_t bytes : {21u, 20u}) {
        ASSERT_EQ(StoreValue(orvo::kTankEngineServerKey, "", std::string("libOrvoTankEngine.so", bytes)),
                  ERROR_SUCCESS);
        ASSERT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
        EXPECT_EQ(EngineModule(), PlatformLibraryFolder() + "/libOrvoTankEngine.so") << bytes;
    }
}

TEST(Installation, MachinesOwnRegistrationAndListsAreKept)
{
    orvo::test::ScratchRegistry registry;
    const std::string own = "/opt/lab/libOwnEngine.so";
    ASSERT_EQ(StoreValue(orvo::kTankEngineServerKey, "", own + '\0'), ERROR_SUCCESS);
    ASSERT_EQ(StoreValue(orvo::kTankListKey, "Rig", std::string("/data/rig", 10)), ERROR_SUCCESS);

    ASSERT_EQ(orvo::RegisterInstallation(), ERROR_SUCCESS);
    EXPECT_EQ(EngineModule(), own);
    UniqueHKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, orvo::kTankListKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Rig", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}
