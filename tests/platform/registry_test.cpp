#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <orvo/platform/errors.h>
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/fixtures/scratch.h"

namespace {

using orvo::test::ScopedEnv;
using orvo::test::ScratchDir;
using orvo::test::ScratchRegistry;
using orvo::test::WriteRandomBytes;

constexpr const char* kTestKey = "Software\\Kivra\\Orvo\\Test";

// Closes the key when the test ends, whichever assertion ends it.
struct Key {
    HKEY handle = nullptr;
    ~Key() { RegCloseKey(handle); }
};

LONG Open(Key& key, const char* path = kTestKey, REGSAM access = KEY_READ)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key.handle);
}

LONG Create(Key& key, const char* path = kTestKey)
{
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           &key.handle, nullptr);
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
    const LONG result = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &bytes);
    return result == ERROR_SUCCESS ? std::string(buffer, bytes) : Failed(result);
}

std::vector<std::string> Names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD chars = sizeof name;
        const LONG result = RegEnumValueA(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, chars);
    }
}

std::string Problem(const std::string& path, const std::string& cause) { return "the registry " + path + ": " + cause; }

mode_t Mode(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Runs check in a child process while this one runs meanwhile, and tells
// whether the child's check passed.
template <typename Check, typename Meanwhile>
bool ChildPasses(Check check, Meanwhile meanwhile)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(check() ? 0 : 1);
    }
    meanwhile();
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Gives the store a value and its file mode, then runs check in a child
// process: as nobody when this one is root, since root reads and writes
// whatever a mode says. Tells whether the check passed.
template <typename Check>
bool PassesWithStoreMode(const ScratchRegistry& store, mode_t mode, Check check)
{
    if (SetText(HKEY_LOCAL_MACHINE, "v", "x") != ERROR_SUCCESS || chmod(store.path().c_str(), mode) != 0 ||
        chmod(store.dir().path().c_str(), 0755) != 0) {
        return false;
    }
    const auto asOtherUser = [&check] {
        return (geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0)) && check();
    };
    return ChildPasses(asOtherUser, [] {});
}

// A fresh store with the test key open for everything.
class RegistryKey : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Create(key), ERROR_SUCCESS); }
    ScratchRegistry store;
    Key key;
};

}  // namespace

TEST(RegistryStore, IsCreatedPrivateWithTheSoftwareKey)
{
    ScratchDir scratch;
    ScopedEnv noStore(kRegistryPathVariable, std::nullopt);
    ScopedEnv config("XDG_CONFIG_HOME", scratch.file("config"));
    Key software;
    EXPECT_EQ(Open(software, "SOFTWARE"), ERROR_SUCCESS);
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(scratch.file("config/orvo")).permissions(), perms::owner_all);
    EXPECT_EQ(std::filesystem::status(scratch.file("config/orvo/registry.db")).permissions(),
              perms::owner_read | perms::owner_write);
}

TEST(RegistryStore, UnusableFileIsAnErrorThatNamesTheFile)
{
    ScratchRegistry store;
    Key key;
    WriteRandomBytes(store.path(), 8192);
    EXPECT_EQ(Open(key, "Software"), ERROR_BADDB);
    EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), "damaged or not a registry file"));
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_BADDB));

    // Databases of other programs, and a store of a later layout.
    const std::pair<const char*, const char*> databases[] = {
        {"CREATE TABLE t (x)", "not a registry file"},
        {"PRAGMA application_id = 7", "not a registry file"},
        {"PRAGMA application_id = 1330796111; PRAGMA user_version = 2", "made by a newer version"},  // our mark
    };
    for (const auto& [sql, cause] : databases) {
        std::filesystem::remove(store.path());
        sqlite3* db = nullptr;
        const bool made = sqlite3_open(store.path().c_str(), &db) == SQLITE_OK &&
                          sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        ASSERT_TRUE(made) << sql;
        EXPECT_EQ(Open(key, "Software"), ERROR_BADDB) << sql;
        EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), cause));
    }

    // A sound header over damaged pages.
    std::filesystem::remove(store.path());
    ASSERT_EQ(SetText(HKEY_LOCAL_MACHINE, "v", "x"), ERROR_SUCCESS);
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(store.path()));
    ASSERT_GT(size, 4096u);
    std::fstream(store.path(), std::ios::in | std::ios::out | std::ios::binary).seekp(4096)
        << std::string(size - 4096, '\xFF');
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_BADDB));
    EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), "damaged"));
}

TEST(RegistryStore, UnreachableFileIsNamedWithWhatStandsInTheWay)
{
    ScratchDir scratch;
    std::ofstream(scratch.file("plain")) << "x";
    std::filesystem::create_directory(scratch.file("folder"));
    const std::pair<std::string, const char*> cases[] = {
        {scratch.file("missing/registry.db"), "its folder does not exist"},
        {scratch.file("plain/registry.db"), "a part of its path is not a folder"},
        {scratch.file("folder"), "a folder, not a file"},
    };
    for (const auto& [path, cause] : cases) {
        ScopedEnv named(kRegistryPathVariable, path);
        Key key;
        EXPECT_NE(Open(key, "Software"), ERROR_SUCCESS) << path;
        EXPECT_EQ(RegLastStoreProblem(), Problem(path, cause));
    }
    // The default place, whose folder is made when missing.
    ScopedEnv unnamed(kRegistryPathVariable, std::nullopt);
    ScopedEnv config("XDG_CONFIG_HOME", scratch.file("plain"));
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(RegLastStoreProblem(), Problem(scratch.file("plain/orvo/registry.db"),
                                             "cannot make its folder (a part of its path is not a folder)"));
}

// As GetLastError: each call answers for itself, on its own thread.
TEST(RegistryStore, ProblemIsTheCallingThreadsAndLastsUntilItsNextCall)
{
    ScratchRegistry store;
    WriteRandomBytes(store.path(), 4096);
    Key key;
    ASSERT_EQ(Open(key, "Software"), ERROR_BADDB);
    std::string elsewhere = "not asked";
    std::thread([&elsewhere] { elsewhere = RegLastStoreProblem(); }).join();
    EXPECT_EQ(elsewhere, "");
    EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), "damaged or not a registry file"));

    std::filesystem::remove(store.path());
    EXPECT_EQ(Open(key, "Software\\Missing"), ERROR_FILE_NOT_FOUND);  // not the store's failure
    EXPECT_EQ(RegLastStoreProblem(), "");
}

TEST(RegistryStore, UnwritableFileAllowsReadingOnlyAndUnreadableIsNamed)
{
    ScratchRegistry store;
    const std::string readOnly = Problem(store.path(), "read-only");
    EXPECT_TRUE(PassesWithStoreMode(store, 0444, [&readOnly] {
        Key reader, writer;
        return Open(reader, "Software") == ERROR_SUCCESS && Read(HKEY_LOCAL_MACHINE, "v") == "x" &&
               RegLastStoreProblem().empty() && Open(writer, "Software", KEY_SET_VALUE) == ERROR_ACCESS_DENIED &&
               RegLastStoreProblem() == readOnly && SetText(HKEY_LOCAL_MACHINE, "v", "y") == ERROR_ACCESS_DENIED &&
               RegLastStoreProblem() == readOnly;
    }));
    ASSERT_EQ(chmod(store.path().c_str(), 0600), 0);  // so this process can set the value again
    const std::string denied = Problem(store.path(), "permission denied");
    EXPECT_TRUE(PassesWithStoreMode(store, 0, [&denied] {
        Key key;
        return Open(key, "Software") == ERROR_ACCESS_DENIED && RegLastStoreProblem() == denied;
    }));
}

TEST(RegistryStore, MakingItPrivateTakesAwayOnlyOtherUsersBits)
{
    ScratchRegistry store;
    Key key;
    ASSERT_EQ(Create(key), ERROR_SUCCESS);
    const std::pair<mode_t, mode_t> modes[] = {{0664, 0600}, {0604, 0600}, {0444, 0400}, {0600, 0600}};
    for (const auto& [before, after] : modes) {
        ASSERT_EQ(chmod(store.path().c_str(), before), 0);
        EXPECT_EQ(RegMakeStorePrivate(key.handle), ERROR_SUCCESS) << std::oct << before;
        EXPECT_EQ(Mode(store.path()), after) << std::oct << before;
    }
    EXPECT_EQ(RegMakeStorePrivate(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x4321))), ERROR_INVALID_HANDLE);
}

// The store names the modules that activation runs, so one that another
// user wrote, or could have, is not read at all, nor made private.
TEST(RegistryStore, StoreOthersCouldHaveWrittenIsRefused)
{
    ScratchRegistry store;
    ASSERT_EQ(SetText(HKEY_LOCAL_MACHINE, "v", "x"), ERROR_SUCCESS);
    for (const mode_t mode : {0666, 0620, 0602}) {
        ASSERT_EQ(chmod(store.path().c_str(), mode), 0);
        Key key;
        EXPECT_EQ(Open(key, "Software"), ERROR_ACCESS_DENIED) << std::oct << mode;
        EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), "writable by others")) << std::oct << mode;
    }
    ASSERT_EQ(chmod(store.path().c_str(), 0644), 0);
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), "x");  // others may still read it
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give the store to another user";
    }
    ASSERT_EQ(chown(store.path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "v"), Failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegLastStoreProblem(), Problem(store.path(), "owned by another user"));

    ASSERT_EQ(chown(store.path().c_str(), 0, 0), 0);
    const std::string refusal = Problem(store.path(), "open to other users, and owned by another user");
    EXPECT_TRUE(PassesWithStoreMode(store, 0666, [&refusal] {
        return RegMakeStorePrivate(HKEY_LOCAL_MACHINE) == ERROR_ACCESS_DENIED && RegLastStoreProblem() == refusal;
    }));
    EXPECT_EQ(Mode(store.path()), 0666u);
}

TEST(RegistryStore, TwoProcessesWritingAtOnceBothLand)
{
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
    // Each round starts without a store, so both processes also race to set it up.
    for (int round = 0; round < 4; ++round) {
        ScratchRegistry store;
        EXPECT_TRUE(ChildPasses([&] { return writeAll("child"); }, [&] { EXPECT_TRUE(writeAll("parent")); }));
        Key key;
        ASSERT_EQ(Open(key), ERROR_SUCCESS);
        EXPECT_EQ(Names(key.handle).size(), 2u * kEach);
    }
}

TEST_F(RegistryKey, KeysAreMadeWithTheirParentsAndReadHandlesCannotWrite)
{
    Key deep;
    EXPECT_EQ(Open(deep, "Software\\A\\B"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Create(deep, "Software\\A\\B"), ERROR_SUCCESS);  // and its parents
    Key parent;
    EXPECT_EQ(Open(parent, "software\\a"), ERROR_SUCCESS);

    ASSERT_EQ(SetText(key.handle, "v", "x"), ERROR_SUCCESS);
    Key reader;
    ASSERT_EQ(Open(reader), ERROR_SUCCESS);
    EXPECT_EQ(SetText(reader.handle, "v", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegLastStoreProblem(), "");  // the handle's rights, not the store, refused it
    EXPECT_EQ(RegDeleteValueA(reader.handle, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Read(reader.handle, "v"), "x");
}

// Names compare without regard to case but keep the one they were made
// with, and enumerate in the order they were first made.
TEST_F(RegistryKey, NamesKeepTheirCaseAndPlace)
{
    for (const char* name : {"c", "a", "b"}) {
        ASSERT_EQ(SetText(key.handle, name, name), ERROR_SUCCESS);
    }
    ASSERT_EQ(SetText(key.handle, "C", "longer than before"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "a", "b"}));
    DWORD type = 0;
    EXPECT_EQ(Read(key.handle, "c", &type), "longer than before");  // no NUL added
    EXPECT_EQ(type, REG_SZ);

    ASSERT_EQ(RegDeleteValueA(key.handle, "A"), ERROR_SUCCESS);
    EXPECT_EQ(Read(key.handle, "a"), Failed(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "b"}));
    ASSERT_EQ(SetText(key.handle, "A", "back"), ERROR_SUCCESS);
    EXPECT_EQ(Names(key.handle), (std::vector<std::string>{"c", "b", "A"}));
}

TEST_F(RegistryKey, BuffersTooSmallAreReportedNotOverrun)
{
    ASSERT_EQ(SetText(key.handle, "abcd", "0123456789"), ERROR_SUCCESS);
    // Heap buffers of the exact size let the sanitizer see any overrun.
    auto query = [&](DWORD bytes) {
        std::vector<BYTE> data(bytes);
        const LONG result =
            RegQueryValueExA(key.handle, "abcd", nullptr, nullptr, bytes == 0 ? nullptr : data.data(), &bytes);
        return std::pair(result, bytes);
    };
    EXPECT_EQ(query(0), std::pair(ERROR_SUCCESS, 10u));
    EXPECT_EQ(query(9), std::pair(ERROR_MORE_DATA, 10u));
    EXPECT_EQ(query(10), std::pair(ERROR_SUCCESS, 10u));

    // The name's four characters need five with the NUL. The data's size is
    // told whichever buffer is short.
    std::string found;
    auto enumerate = [&](DWORD chars, DWORD bytes) {
        std::vector<char> name(chars);
        std::vector<BYTE> data(bytes);
        const LONG result = RegEnumValueA(key.handle, 0, name.data(), &chars, nullptr, nullptr, data.data(), &bytes);
        if (result == ERROR_SUCCESS) {
            found = std::string(name.data()) + "/" + std::to_string(chars);
        }
        return std::pair(result, bytes);
    };
    EXPECT_EQ(enumerate(4, 10), std::pair(ERROR_MORE_DATA, 10u));
    EXPECT_EQ(enumerate(5, 9), std::pair(ERROR_MORE_DATA, 10u));
    EXPECT_EQ(enumerate(5, 10), std::pair(ERROR_SUCCESS, 10u));
    EXPECT_EQ(found, "abcd/4");
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
    const std::filesystem::path deep = scratch.path() / std::string(200, 'a') / std::string(200, 'b');
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
