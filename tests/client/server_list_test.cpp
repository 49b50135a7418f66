#include "client/OrvoCI.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/mock_tank_engine.h"
#include "tests/support/scratch.h"

namespace orvo::test {
namespace {

class ServerListTest : public ::testing::Test {
protected:
    std::string Item(const char* server, const char* item) { return std::string(client.GetServerItem(server, item)); }

    ScratchRegistry registry;
    OrvoCI client;
};

TEST_F(ServerListTest, AddServerStoresFourItemsWithAsterisksForEmptyOnes)
{
    ASSERT_EQ(client.AddServer("Rig2", "", "bob", "", ""), 1);
    EXPECT_EQ(ReadRegistryText(kServersKey, "Rig2"), "* bob * *");

    const std::vector<std::pair<const char*, const char*>> items = {
        {"IP", "*"}, {"UN", "bob"}, {"DM", "*"}, {"PW", "*"},
        // Any other item names the server, as its address is "*".
        {"Host", "Rig2"}, {"un", "Rig2"}, {"", "Rig2"}};
    for (const auto& [item, expected] : items) {
        EXPECT_EQ(Item("Rig2", item), expected) << item;
    }

    ASSERT_EQ(client.AddServer("Rig3", "rig3.lab", "ann", "LAB", "pw1"), 1);
    EXPECT_EQ(Item("Rig3", "Host"), "rig3.lab");
    EXPECT_EQ(Item("Rig3", "DM"), "LAB");
    EXPECT_EQ(Item("Unlisted", "IP"), "");
}

TEST_F(ServerListTest, LocalIsNeverLookedUpNorRemoved)
{
    WriteRegistryText(kServersKey, "Local", "far.host ann LAB secret");
    for (const char* name : {"Local", "local", "LOCAL"}) {
        for (const char* item : {"IP", "UN", "DM", "PW", "Other"}) {
            EXPECT_EQ(Item(name, item), "*") << name << ' ' << item;
        }
        EXPECT_EQ(client.RemoveServer(name), 0) << name;
    }
    EXPECT_EQ(ReadRegistryText(kServersKey, "Local"), "far.host ann LAB secret");

    ASSERT_EQ(client.AddServer("Rig2", "", "bob", "", ""), 1);
    EXPECT_EQ(client.RemoveServer("Rig2"), 1);
    EXPECT_EQ(ReadRegistryText(kServersKey, "Rig2"), std::nullopt);
    EXPECT_EQ(client.RemoveServer("Rig2"), 0);
}

// Words are taken whole, however long; a value the 1000-byte read cannot
// hold is not read at all.
TEST_F(ServerListTest, ValuesUpTo1000BytesAreRead)
{
    const std::string user(994, 'u');
    WriteRegistryText(kServersKey, "Long", "* " + user + " * *");  // 1000 bytes, no NUL
    EXPECT_EQ(Item("Long", "UN"), user);
    EXPECT_EQ(Item("Long", "PW"), "*");

    WriteRegistryText(kServersKey, "TooLong", "* " + user + "u * *");
    for (const char* item : {"IP", "UN", "Other"}) {
        EXPECT_EQ(Item("TooLong", item), "") << item;
    }
}

TEST_F(ServerListTest, EnumerationSkipsTheFirstValueForLocal)
{
    for (LONG index : {-1, 1, 5, 100}) {
        EXPECT_EQ(client.GetEnumServer(index), "") << index;
    }
    for (const char* name : {"A", "B", "C"}) {
        ASSERT_EQ(client.AddServer(name, "", "", "", ""), 1);
    }
    const std::vector<std::pair<LONG, const char*>> listed = {
        {0, "Local"}, {1, "B"}, {2, "C"}, {3, ""}, {100, ""}, {-1, ""}};
    for (const auto& [index, expected] : listed) {
        EXPECT_EQ(client.GetEnumServer(index), expected) << index;
    }

    // The cached names stay until the next refresh, which also forgets the
    // slots past the new end.
    ASSERT_EQ(client.RemoveServer("B"), 1);
    EXPECT_EQ(client.GetEnumServer(1), "B");
    EXPECT_EQ(client.GetEnumServer(0), "Local");
    EXPECT_EQ(client.GetEnumServer(1), "C");
    EXPECT_EQ(client.GetEnumServer(2), "");
}

TEST_F(ServerListTest, EnumerationHoldsAtMost100Names)
{
    const std::string longName = "N" + std::string(998, 'x');  // the longest name enumerated
    WriteRegistryText(kServersKey, "first", "*");
    WriteRegistryText(kServersKey, longName, "*");
    for (int k = 2; k < 160; ++k) {
        WriteRegistryText(kServersKey, "S" + std::to_string(k), "*");
    }
    EXPECT_EQ(client.GetEnumServer(0), "Local");
    EXPECT_EQ(std::string(client.GetEnumServer(1)), longName);
    EXPECT_EQ(client.GetEnumServer(99), "S99");
    EXPECT_EQ(client.GetEnumServer(100), "");
    // Writing past the slots would have trampled the members after them.
    EXPECT_EQ(client.GetError(), "No server connection made.");
}

}  // namespace
}  // namespace orvo::test
