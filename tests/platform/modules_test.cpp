#include "platform/modules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include <orvo/platform/errors.h>
#include "platform/message_box.h"
#include "platform/process.h"
#include "tests/fixtures/scratch.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kUnchanged = GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
constexpr DWORD kFromAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | kUnchanged;

constexpr DWORD Code(LONG error) { return static_cast<DWORD>(error); }

std::string FileNameOf(HMODULE module)
{
    std::vector<char> buffer(4096);
    const DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length > 0 && length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

// The C math library: loaded in every test process (the C++ runtime needs
// it), a small file to copy, and it exports plain C names.
std::string MathLibraryPath()
{
    HMODULE math = nullptr;
    EXPECT_TRUE(GetModuleHandleExA(kUnchanged, "libm.so.6", &math));
    return FileNameOf(math);
}

// The sanitizer build finds the project's libraries through RUNPATH alone.
TEST(ModulesTest, ProjectLibrariesAreFoundByRunpath)
{
    HMODULE platform = LoadLibraryA("libOrvoPlatform.so");
    ASSERT_NE(platform, nullptr);
    const std::string path = FileNameOf(platform);
    EXPECT_THAT(path, ::testing::EndsWith("/lib64/libOrvoPlatform.so"));

    HMODULE found = nullptr;  // as the log finds its own folder
    ASSERT_TRUE(GetModuleHandleExA(kFromAddress, reinterpret_cast<LPCSTR>(&SetDllDirectoryA), &found));
    EXPECT_EQ(found, platform);
    EXPECT_TRUE(FreeLibrary(platform));

    // One that nothing has loaded yet, as support libraries are on first use.
    const fs::path copy = fs::path(path).parent_path() / ("liborvo-runpath-probe-" + std::to_string(getpid()) + ".so");
    fs::copy_file(MathLibraryPath(), copy);
    HMODULE probe = LoadLibraryA(copy.filename().c_str());
    fs::remove(copy);  // a loaded library's file may go
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(FileNameOf(probe), copy.string());
    EXPECT_TRUE(FreeLibrary(probe));
}

TEST(ModulesTest, FileNameIsCutToTheBuffer)
{
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const auto length = static_cast<DWORD>(exe.size());
    // Buffers of exactly the size given, so any write past them is caught.
    for (DWORD size : {length + 1, length, 1u}) {
        std::vector<char> buffer(size, 'x');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), size), size > length ? length : size);
        EXPECT_EQ(GetLastError() == Code(ERROR_INSUFFICIENT_BUFFER), size <= length);
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), exe.substr(0, size - 1) + '\0');
    }
}

TEST(ModulesTest, DllDirectoryIsSearchedBeforeTheStandardOrder)
{
    orvo::test::ScratchDir dir;
    fs::copy_file(MathLibraryPath(), dir.file("libm.so.6"));
    HMODULE system = LoadLibraryA("libm.so.6");
    ASSERT_TRUE(SetDllDirectoryA(dir.path().c_str()));
    HMODULE shadow = LoadLibraryA("libm.so.6");  // even though one of that name is loaded
    ASSERT_TRUE(SetDllDirectoryA(nullptr));
    EXPECT_EQ(FileNameOf(shadow), dir.file("libm.so.6"));
    EXPECT_TRUE(FreeLibrary(shadow));
    EXPECT_EQ(LoadLibraryA("libm.so.6"), system);
    EXPECT_TRUE(FreeLibrary(system));
    EXPECT_TRUE(FreeLibrary(system));
}

TEST(ModulesTest, MissingModulesAndFunctionsAreNotFound)
{
    for (LPCSTR name : {"liborvo-no-such-module.so", "/no/such/folder/libm.so.6", ""}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(name), nullptr) << name;
        EXPECT_EQ(GetLastError(), Code(ERROR_MOD_NOT_FOUND)) << name;
    }
    HMODULE math = LoadLibraryA("libm.so.6");
    ASSERT_NE(math, nullptr);
    const auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(math, "cos"));
    ASSERT_TRUE(cosine != nullptr && cosine(0.0) == 1.0);
    // libm depends on the C library, but does not export its functions.
    for (LPCSTR missing : {"malloc", "no_such_function_anywhere", reinterpret_cast<LPCSTR>(12) /* ordinal */}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(math, missing), nullptr);
        EXPECT_EQ(GetLastError(), Code(ERROR_PROC_NOT_FOUND));
    }
    EXPECT_TRUE(FreeLibrary(math));
}

TEST(MessageBoxTest, HandlerSeesEveryBoxUntilReplaced)
{
    std::vector<std::string> boxes;
    MessageBoxHandler previous = SetMessageBoxHandler([&boxes](const char* text, const char* caption, UINT type) {
        boxes.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
        return 7;
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Disk full", "Logger", MB_ICONERROR), 7);
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), 7);
    EXPECT_EQ(AfxMessageBox("Saved", MB_ICONEXCLAMATION), 7);
    SetMessageBoxHandler(previous)("handed", "back", MB_OK);  // the one replaced is returned
    const std::string program = fs::read_symlink("/proc/self/exe").filename().string();
    EXPECT_THAT(boxes,
                ::testing::ElementsAre("Logger|Disk full|16", "Error||0", program + "|Saved|48", "back|handed|0"));
}

TEST(ProcessDeathTest, TerminateEndsAtOnceWithTheLowEightBits)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit([] { std::fputs("exit handlers ran", stderr); });
            TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
        },
        ::testing::ExitedWithCode(255), ::testing::Not(::testing::HasSubstr("exit handlers ran")));
}

}  // namespace
