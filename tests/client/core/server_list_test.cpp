#include <orvo/OrvoCI.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "tests/fixtures/scratch.h"

namespace orvo::test {
namespace {

class ServerListTest : public ::testing::Test {
protected:
    // The value's bytes as other programs of the machine read them.
    static std::string Stored(const char* name)
    {
        UniqueHKey key;
        char text[64];
        DWORD size = sizeof text;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kivra\\Orvo\\EnumServers", 0, KEY_READ, key.put());
        const LONG read = RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        return read == ERROR_SUCCESS ? std::string(text, size) : "(none)";
    }

    ScratchRegistry registry;
    OrvoCI client;
};

TEST_F(ServerListTest, AddServerStoresFourItemsWithAsterisksForEmptyOnes)
{
    ASSERT_EQ(client.AddServer("Rig2", "", "bob", "", ""), 1);
    EXPECT_EQ(Stored("Rig2"), "* bob * *");
    const std::vector<std::pair<const char*, const char*>> items = {
        {"IP", "*"}, {"UN", "bob"}, {"DM", "*"}, {"PW", "*"}, {"Host", "Rig2"}, {"un", "Rig2"}};
    for (const auto& [item, expected] : items) {
        EXPECT_EQ(client.GetServerItem("Rig2", item), expected) << item;
    }
    ASSERT_EQ(client.AddServer("Rig3", "rig3.lab", "ann", "LAB", "pw1"), 1);
    EXPECT_EQ(client.GetServerItem("Rig3", "Host"), "rig3.lab");  // other items name the address
    EXPECT_EQ(client.GetServerItem("Rig3", "DM"), "LAB");
    EXPECT_EQ(client.GetServerItem("Unlisted", "IP"), "");

    EXPECT_EQ(client.RemoveServer("Rig2"), 1);
    EXPECT_EQ(Stored("Rig2"), "(none)");
}

// The server list holds passwords, and the machine's other users may have
// been able to read the store until one was stored.
TEST_F(ServerListTest, StoringAPasswordFirstMakesTheStoreOwnerOnly)
{
    ASSERT_EQ(chmod(registry.path().c_str(), 0644), 0);
    ASSERT_EQ(client.AddServer("Rig3", "rig3.lab", "ann", "LAB", "pw1"), 1);
    struct stat info {};
    ASSERT_EQ(stat(registry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(ServerListTest, LocalIsNeverLookedUpNorRemoved)
{
    ASSERT_EQ(client.AddServer("Local", "far.host", "ann", "LAB", "secret"), 1);
    for (const char* name : {"Local", "local", "LOCAL"}) {
        for (const char* item : {"IP", "UN", "PW", "Other"}) {
            EXPECT_EQ(client.GetServerItem(name, item), "*") << name << ' ' << item;
        }
        EXPECT_EQ(client.RemoveServer(name), 0) << name;
    }
    EXPECT_EQ(Stored("Local"), "far.host ann LAB secret");
}

// The slots are followed by the client's error text: anything written or
// read past them would trample or misread it.
TEST_F(ServerListTest, EnumerationPutsLocalInTheFirstValuesPlaceAndHoldsAtMost100Names)
{
    EXPECT_EQ(client.ConnectServer("Nowhere", "MyApp"), 0);
    for (int k = 0; k < 160; ++k) {
        ASSERT_EQ(client.AddServer(("S" + std::to_string(k)).c_str(), "", "", "", ""), 1);
    }
    for (const auto& [index, expected] : std::vector<std::pair<LONG, const char*>>{
             {0, "Local"}, {1, "S1"}, {99, "S99"}, {100, ""}, {-1, ""}}) {
        EXPECT_EQ(client.GetEnumServer(index), expected) << index;
    }
    EXPECT_NE(std::string(client.GetError()).find("Bad Arg: Nowhere"), std::string::npos);

    // A refresh (index 0) also forgets the slots past a shorter list's end.
    for (int k = 3; k < 160; ++k) {
        ASSERT_EQ(client.RemoveServer(("S" + std::to_string(k)).c_str()), 1);
    }
    EXPECT_EQ(client.GetEnumServer(0), "Local");
    EXPECT_EQ(client.GetEnumServer(2), "S2");
    EXPECT_EQ(client.GetEnumServer(3), "");
}

}  // namespace
}  // namespace orvo::test
