#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/support/scratch.h"

namespace {

using orvo::test::ScopedEnv;
using orvo::test::ScratchDir;
using orvo::test::ScratchRegistry;

constexpr const char* kTestKey = "Software\\Kivra\\Orvo\\Test";

// Closes the key when the test ends, whichever assertion ends it.
struct Key {
    HKEY handle = nullptr;
    ~Key()
    {
        if (handle != nullptr) {
            RegCloseKey(handle);
        }
    }
};

LONG Open(Key& key, const char* path = kTestKey, REGSAM access = KEY_READ)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key.handle);
}

LONG Create(Key& key, const char* path = kTestKey, DWORD* disposition = nullptr)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &key.handle, disposition);
}

LONG SetText(HKEY key, const char* name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size()));
}

std::string Failed(LONG error) { return "error " + std::to_string(error); }

// The value's bytes as text, or Failed(code).
std::string Read(HKEY key, const char* name, DWORD* type = nullptr)
{
    char buffer[64];
    DWORD bytes = sizeof buffer;
    const LONG result =
        RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &bytes);
    return result == ERROR_SUCCESS ? std::string(buffer, bytes) : Failed(result);
}

std::vector<std::string> Names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD chars = sizeof name;
        const LONG result =
            RegEnumValueA(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, chars);
    }
}

mode_t Mode(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

void Patch(const std::string& path, std::streamoff offset, const std::string& bytes)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh store with the test key open for everything.
class KeyTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Create(key), ERROR_SUCCESS); }
    ScratchRegistry store;
    Key key;
};

}  // namespace

// ------------------------------------------------------------------ the store

TEST(RegistryStore, IsCreatedPrivateWithTheInstalledKeys)
{
    ScratchRegistry store;
    Key servers;
    Key tanks;
    EXPECT_EQ(Open(servers, "Software\\Kivra\\Orvo\\EnumServers"), ERROR_SUCCESS);
    EXPECT_EQ(Open(tanks, "SOFTWARE\\kivra\\orvo\\enumtanks"), ERROR_SUCCESS);
    EXPECT_EQ(Mode(store.path()), 0600u);
}

TEST(RegistryStore, DefaultsToThePrivateConfigFolder)
{
    ScratchDir scratch;
    ScopedEnv noStore(kRegistryPathVariable, std::nullopt);
    {
        ScopedEnv config("XDG_CONFIG_HOME", scratch.file("config"));
        Key key;
        ASSERT_EQ(Create(key), ERROR_SUCCESS);
        EXPECT_EQ(Mode(scratch.file("config/orvo")), 0700u);
        EXPECT_EQ(Mode(scratch.file("config/orvo/registry.db")), 0600u);
    }
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", scratch.path().string());
    Key key;
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_regular_file(scratch.file(".config/orvo/registry.db")));
}

TEST(RegistryStore, UnusableFileIsAnErrorNotACrash)
{
    ScratchRegistry store;
    Key key;
    std::ofstream(store.path()) << std::string(8192, 'x');
    EXPECT_EQ(Open(key, "Software"), ERROR_BADDB);
    EXPECT_EQ(key.handle, nullptr);
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_BADDB));

    // A sound file with another program's mark, then ours with damaged pages.
    std::filesystem::remove(store.path());
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(HKEY_LOCAL_MACHINE, "v", "x"), ERROR_SUCCESS);
    RegCloseKey(key.handle);
    key.handle = nullptr;
    Patch(store.path(), 68, "ABCD");  // the application id
    EXPECT_EQ(Create(key), ERROR_BADDB);
    Patch(store.path(), 68, "ORVO");
    const auto size = static_cast<std::streamoff>(std::filesystem::file_size(store.path()));
    ASSERT_GT(size, 4096);
    Patch(store.path(), 4096, std::string(static_cast<std::size_t>(size - 4096), '\xFF'));
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_BADDB));

    std::filesystem::remove(store.path());
    std::filesystem::create_directory(store.path());
    EXPECT_NE(Create(key), ERROR_SUCCESS);
}

TEST(RegistryStore, UnwritableFileAllowsReadingOnly)
{
    ScratchRegistry store;
    {
        Key key;
        ASSERT_EQ(Create(key), ERROR_SUCCESS);
        ASSERT_EQ(SetText(key.handle, "v", "x"), ERROR_SUCCESS);
    }
    ASSERT_EQ(chmod(store.path().c_str(), 0444), 0);
    ASSERT_EQ(chmod(store.dir().path().c_str(), 0755), 0);

    // Root writes whatever the mode says, so the checks run as nobody then.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        Key reader;
        Key writer;
        const bool ok = Open(reader) == ERROR_SUCCESS && Read(reader.handle, "v") == "x" &&
                        Open(writer, kTestKey, KEY_SET_VALUE) == ERROR_ACCESS_DENIED &&
                        SetText(HKEY_LOCAL_MACHINE, "v", "y") == ERROR_ACCESS_DENIED;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(RegistryStore, HandleKeepsTheStoreItWasOpenedIn)
{
    ScratchRegistry first;
    Key key;
    ASSERT_EQ(Create(key), ERROR_SUCCESS);

    ScratchRegistry second;
    ASSERT_EQ(SetText(key.handle, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(Read(key.handle, "v"), "x");
    Key other;
    ASSERT_EQ(Create(other), ERROR_SUCCESS);
    EXPECT_EQ(Read(other.handle, "v"), Failed(ERROR_FILE_NOT_FOUND));
}

TEST(RegistryStore, TwoProcessesWritingAtOnceBothLand)
{
    constexpr int kRounds = 4;
    constexpr int kEach = 50;
    auto writeAll = [](const std::string& prefix) {
        Key key;
        bool ok = Create(key) == ERROR_SUCCESS;
        for (int i = 0; ok && i < kEach; ++i) {
            const std::string name = prefix + std::to_string(i);
            ok = SetText(key.handle, name.c_str(), name) == ERROR_SUCCESS;
        }
        return ok;
    };

    // Each round starts without a store, so both processes also race to set
    // it up.
    for (int round = 0; round < kRounds; ++round) {
        ScratchRegistry store;
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            _exit(writeAll("child") ? 0 : 1);
        }
        EXPECT_TRUE(writeAll("parent"));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        Key key;
        ASSERT_EQ(Open(key), ERROR_SUCCESS);
        EXPECT_EQ(Names(key.handle).size(), 2u * kEach);
        for (const std::string prefix : {"child", "parent"}) {
            for (int i = 0; i < kEach; ++i) {
                const std::string name = prefix + std::to_string(i);
                EXPECT_EQ(Read(key.handle, name.c_str()), name);
            }
        }
    }
}

// -------------------------------------------------------------------- keys

using RegistryKeys = KeyTest;

TEST_F(RegistryKeys, CreateMakesParentsAndTellsWhetherNew)
{
    Key deep;
    EXPECT_EQ(Open(deep, "Software\\A\\B"), ERROR_FILE_NOT_FOUND);
    DWORD disposition = 0;
    ASSERT_EQ(Create(deep, "Software\\A\\B", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    Key again;
    ASSERT_EQ(Create(again, "software\\a\\b", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    Key parent;
    ASSERT_EQ(Open(parent, "Software\\A"), ERROR_SUCCESS);
    Key child;
    EXPECT_EQ(RegOpenKeyExA(parent.handle, "b", 0, KEY_READ, &child.handle), ERROR_SUCCESS);
    // Creating below a handle takes the right to; opening does not.
    Key refused;
    EXPECT_EQ(RegCreateKeyExA(parent.handle, "C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &refused.handle, nullptr),
              ERROR_ACCESS_DENIED);
}

TEST_F(RegistryKeys, HandlesAndRoots)
{
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_READ, nullptr,
                              nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // Both empty forms give a second handle on the same key.
    for (const char* same : {static_cast<const char*>(nullptr), ""}) {
        Key copy;
        ASSERT_EQ(RegOpenKeyExA(key.handle, same, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                &copy.handle),
                  ERROR_SUCCESS);
        EXPECT_NE(copy.handle, key.handle);
        const std::string text = same == nullptr ? "through null" : "through empty";
        ASSERT_EQ(SetText(copy.handle, same, text), ERROR_SUCCESS);
        EXPECT_EQ(Read(key.handle, nullptr), text);
    }

    const HKEY currentUser = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u));
    Key other;
    EXPECT_EQ(RegOpenKeyExA(currentUser, "Software", 0, KEY_READ, &other.handle),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetText(currentUser, "v", "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    const HKEY closed = key.handle;
    key.handle = nullptr;
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetText(closed, "v", "x"), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryKeys, HandleRightsAreEnforced)
{
    ASSERT_EQ(SetText(key.handle, "v", "x"), ERROR_SUCCESS);
    Key reader;
    ASSERT_EQ(Open(reader), ERROR_SUCCESS);
    EXPECT_EQ(SetText(reader.handle, "v", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.handle, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Read(reader.handle, "v"), "x");

    Key setter;
    ASSERT_EQ(Open(setter, kTestKey, KEY_SET_VALUE), ERROR_SUCCESS);
    EXPECT_EQ(Read(setter.handle, "v"), Failed(ERROR_ACCESS_DENIED));
}

// ------------------------------------------------------------------ values

using RegistryValues = KeyTest;

TEST_F(RegistryValues, DataComesBackByteForByte)
{
    const BYTE binary[] = {0, 1, 0, 0xFF};
    ASSERT_EQ(SetText(key.handle, "text", "abc"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.handle, "binary", 0, REG_BINARY, binary, sizeof binary),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.handle, "empty", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.handle, nullptr, "default"), ERROR_SUCCESS);

    DWORD type = 99;
    EXPECT_EQ(Read(key.handle, "text", &type), "abc");  // no NUL added
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(Read(key.handle, "binary", &type), std::string("\0\1\0\xFF", 4));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Read(key.handle, "empty", &type), "");
    EXPECT_EQ(type, REG_NONE);
    EXPECT_EQ(Read(key.handle, ""), "default");
}

TEST_F(RegistryValues, NamesIgnoreCaseButKeepIt)
{
    ASSERT_EQ(SetText(key.handle, "BasePath", "one"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.handle, "BASEPATH", "two"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), std::vector<std::string>{"BasePath"});
    EXPECT_EQ(Read(key.handle, "basepath"), "two");
    EXPECT_EQ(RegDeleteValueA(key.handle, "bAsEpAtH"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key.handle, "BasePath"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryValues, QueryReportsSizesAndNeverOverruns)
{
    ASSERT_EQ(SetText(key.handle, "v", "123456"), ERROR_SUCCESS);
    DWORD bytes = 0;
    ASSERT_EQ(RegQueryValueExA(key.handle, "v", nullptr, nullptr, nullptr, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(bytes, 6u);

    // Heap buffers of the exact size let the sanitizer see any overrun.
    std::vector<BYTE> small(5);
    bytes = 5;
    EXPECT_EQ(RegQueryValueExA(key.handle, "v", nullptr, nullptr, small.data(), &bytes),
              ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 6u);
    std::vector<BYTE> exact(6);
    EXPECT_EQ(RegQueryValueExA(key.handle, "v", nullptr, nullptr, exact.data(), &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(bytes, 6u);

    EXPECT_EQ(RegQueryValueExA(key.handle, "v", nullptr, nullptr, exact.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Read(key.handle, "missing"), Failed(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegDeleteValueA(key.handle, "missing"), ERROR_FILE_NOT_FOUND);
}

// ------------------------------------------------------------- enumeration

using RegistryEnum = KeyTest;

TEST_F(RegistryEnum, KeepsCreationOrderThroughOverwriteAndDelete)
{
    for (const char* name : {"c", "a", "b"}) {
        ASSERT_EQ(SetText(key.handle, name, name), ERROR_SUCCESS);
    }
    ASSERT_EQ(SetText(key.handle, "c", "longer than before"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "a", "b"}));

    ASSERT_EQ(RegDeleteValueA(key.handle, "a"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "b"}));
    ASSERT_EQ(SetText(key.handle, "a", "back"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "b", "a"}));
}

TEST_F(RegistryEnum, BuffersTooSmallAreReportedNotOverrun)
{
    ASSERT_EQ(SetText(key.handle, "abcd", "0123456789"), ERROR_SUCCESS);

    // Four characters need five with the NUL.
    std::vector<char> name(4);
    DWORD chars = 4;
    DWORD bytes = 0;
    EXPECT_EQ(RegEnumValueA(key.handle, 0, name.data(), &chars, nullptr, nullptr, nullptr, &bytes),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 4u);

    name.resize(5);
    chars = 5;
    std::vector<BYTE> data(9);
    bytes = 9;
    EXPECT_EQ(RegEnumValueA(key.handle, 0, name.data(), &chars, nullptr, nullptr, data.data(),
                            &bytes),
              ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 10u);

    data.resize(10);
    ASSERT_EQ(RegEnumValueA(key.handle, 0, name.data(), &chars, nullptr, nullptr, data.data(),
                            &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(chars, 4u);
    EXPECT_STREQ(name.data(), "abcd");
    EXPECT_EQ(bytes, 10u);

    EXPECT_EQ(RegEnumValueA(key.handle, 1, name.data(), &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(key.handle, 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueA(key.handle, 0, name.data(), nullptr, nullptr, nullptr, nullptr,
                            nullptr),
              ERROR_INVALID_PARAMETER);
}

// ------------------------------------------------------------------- files

TEST(Files, PathFileExistsSeesFilesAndFolders)
{
    ScratchDir scratch;
    std::ofstream(scratch.file("file")) << "x";
    EXPECT_TRUE(PathFileExistsA(scratch.file("file").c_str()));
    EXPECT_TRUE(PathFileExistsA(scratch.path().c_str()));
    EXPECT_FALSE(PathFileExistsA(scratch.file("missing").c_str()));
    EXPECT_FALSE(PathFileExistsA(nullptr));
}

TEST(Files, GetCurrentDirectoryAnswersWithSizes)
{
    ScratchDir scratch;
    // Puts the current directory back before the scratch folder goes.
    struct RestoreCwd {
        std::filesystem::path saved = std::filesystem::current_path();
        ~RestoreCwd() { std::filesystem::current_path(saved); }
    } restore;

    // Deeper than MAX_PATH, where a fixed-size read would cut the answer.
    std::filesystem::path deep = scratch.path();
    for (char level = 'a'; level < 'f'; ++level) {
        deep /= std::string(100, level);
    }
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);
    const std::string expected = std::filesystem::current_path().string();
    const auto length = static_cast<DWORD>(expected.size());
    ASSERT_GT(length, MAX_PATH);

    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), length + 1);
    std::vector<char> small(length, 'x');
    EXPECT_EQ(GetCurrentDirectoryA(length, small.data()), length + 1);
    EXPECT_EQ(std::string(small.data(), length), std::string(length, 'x'));
    std::vector<char> exact(length + 1);
    EXPECT_EQ(GetCurrentDirectoryA(length + 1, exact.data()), length);
    EXPECT_EQ(std::string(exact.data()), expected);
}
