#include "platform/modules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kUnchanged = GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
constexpr DWORD kFromAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | kUnchanged;

std::string FileNameOf(HMODULE module)
{
    std::vector<char> buffer(4096);
    const DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length > 0 && length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

DWORD LastError() { return GetLastError(); }
constexpr DWORD Code(LONG error) { return static_cast<DWORD>(error); }

// The C math library: loaded in every test process (the C++ runtime needs
// it), a small file to copy, and it exports plain C names.
std::string MathLibraryPath()
{
    HMODULE math = nullptr;
    EXPECT_TRUE(GetModuleHandleExA(kUnchanged, "libm.so.6", &math));
    return FileNameOf(math);
}

TEST(ModulesTest, ModuleIsTheSameByNameAddressAndPath)
{
    HMODULE platform = LoadLibraryA("libOrvoPlatform.so");
    ASSERT_NE(platform, nullptr);
    const std::string path = FileNameOf(platform);
    EXPECT_THAT(path, ::testing::EndsWith("/lib64/libOrvoPlatform.so"));
    EXPECT_TRUE(fs::path(path).is_absolute());

    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(kFromAddress, reinterpret_cast<LPCSTR>(&SetDllDirectoryA), &found));
    EXPECT_EQ(found, platform);
    ASSERT_TRUE(GetModuleHandleExA(kFromAddress, reinterpret_cast<LPCSTR>(platform) + 64, &found));
    EXPECT_EQ(found, platform);
    ASSERT_TRUE(GetModuleHandleExA(kUnchanged, "libOrvoPlatform.so", &found));
    EXPECT_EQ(found, platform);
    ASSERT_TRUE(GetModuleHandleExA(kUnchanged, path.c_str(), &found));
    EXPECT_EQ(found, platform);
    EXPECT_EQ(LoadLibraryA(path.c_str()), platform);
    EXPECT_TRUE(FreeLibrary(platform));
    EXPECT_TRUE(FreeLibrary(platform));
    EXPECT_FALSE(FreeLibrary(platform));
    EXPECT_EQ(LastError(), Code(ERROR_INVALID_HANDLE));
}

TEST(ModulesTest, ProcAddressFindsOnlyTheModulesOwnExports)
{
    HMODULE math = LoadLibraryA("libm.so.6");
    ASSERT_NE(math, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(GetProcAddress(math, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    // libm depends on the C library, but does not export its functions.
    for (LPCSTR missing : {"malloc", "no_such_function_anywhere", reinterpret_cast<LPCSTR>(12) /* ordinal */}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(math, missing), nullptr);
        EXPECT_EQ(LastError(), Code(ERROR_PROC_NOT_FOUND));
    }
    EXPECT_TRUE(FreeLibrary(math));

    // A counted handle from GetModuleHandleExA is a load like any other.
    HMODULE counted = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(0, "libm.so.6", &counted));
    EXPECT_EQ(counted, math);
    EXPECT_NE(GetProcAddress(counted, "sin"), nullptr);
    EXPECT_TRUE(FreeLibrary(counted));
    EXPECT_FALSE(FreeLibrary(counted));
}

TEST(ModulesTest, FileNameIsCutToTheBuffer)
{
    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const auto length = static_cast<DWORD>(exe.size());
    EXPECT_EQ(FileNameOf(nullptr), exe);
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(kUnchanged, nullptr, &self));
    EXPECT_EQ(FileNameOf(self), exe);

    // Buffers of exactly the size given, so any write past them is caught.
    std::vector<char> fits(length + 1, 'x');
    EXPECT_EQ(GetModuleFileNameA(nullptr, fits.data(), length + 1), length);
    EXPECT_EQ(std::string(fits.data()), exe);
    std::vector<char> cut(length, 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut.data(), length), length);
    EXPECT_EQ(LastError(), Code(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(cut.data()), exe.substr(0, length - 1));
    std::vector<char> one(1, 'x');
    EXPECT_EQ(GetModuleFileNameA(nullptr, one.data(), 1), 1u);
    EXPECT_EQ(one[0], '\0');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(LastError(), Code(ERROR_INSUFFICIENT_BUFFER));

    int notAModule = 0;
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&notAModule), fits.data(), length + 1), 0u);
    EXPECT_EQ(LastError(), Code(ERROR_MOD_NOT_FOUND));
}

TEST(ModulesTest, DllDirectoryIsSearchedBeforeTheStandardOrder)
{
    orvo::test::ScratchDir dir;
    const std::string math = MathLibraryPath();
    const std::string unique = "liborvo-probe-" + std::to_string(getpid()) + ".so";
    fs::copy_file(math, dir.file(unique));
    fs::copy_file(math, dir.file("libm.so.6"));
    HMODULE system = LoadLibraryA("libm.so.6");

    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(unique.c_str()), nullptr);
    EXPECT_EQ(LastError(), Code(ERROR_MOD_NOT_FOUND));
    ASSERT_TRUE(SetDllDirectoryA(dir.path().c_str()));
    HMODULE probe = LoadLibraryA(unique.c_str());
    HMODULE shadow = LoadLibraryA("libm.so.6");
    ASSERT_TRUE(SetDllDirectoryA(nullptr));

    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(FileNameOf(probe), dir.file(unique));
    EXPECT_NE(GetProcAddress(probe, "cos"), nullptr);
    ASSERT_NE(shadow, nullptr);
    EXPECT_NE(shadow, system);
    EXPECT_EQ(FileNameOf(shadow), dir.file("libm.so.6"));
    EXPECT_TRUE(FreeLibrary(probe));
    EXPECT_TRUE(FreeLibrary(shadow));
    EXPECT_EQ(LoadLibraryA(unique.c_str()), nullptr);
    EXPECT_EQ(LoadLibraryA("libm.so.6"), system);
    EXPECT_TRUE(FreeLibrary(system));
    EXPECT_TRUE(FreeLibrary(system));
}

TEST(ModulesTest, FolderOfThisLibraryIsSearched)
{
    HMODULE platform = nullptr;
    ASSERT_TRUE(GetModuleHandleExA(kUnchanged, "libOrvoPlatform.so", &platform));
    const fs::path copy = fs::path(FileNameOf(platform)).parent_path() /
                          ("liborvo-runpath-probe-" + std::to_string(getpid()) + ".so");
    struct Remove {
        fs::path file;
        ~Remove()
        {
            std::error_code ignored;
            fs::remove(file, ignored);
        }
    } remove{copy};
    fs::copy_file(MathLibraryPath(), copy);

    HMODULE probe = LoadLibraryA(copy.filename().c_str());
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(FileNameOf(probe), copy.string());
    EXPECT_TRUE(FreeLibrary(probe));
}

TEST(ModulesTest, MissingModulesAndBadArgumentsFail)
{
    for (LPCSTR name : {"liborvo-no-such-module.so", "/no/such/folder/libm.so.6", ""}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(name), nullptr) << name;
        EXPECT_EQ(LastError(), Code(ERROR_MOD_NOT_FOUND)) << name;
    }
    int onTheStack = 0;
    HMODULE module = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | kUnchanged, nullptr, &module));
    EXPECT_EQ(LastError(), Code(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(module, nullptr);
    EXPECT_FALSE(GetModuleHandleExA(kUnchanged, "liborvo-no-such-module.so", &module));
    EXPECT_FALSE(GetModuleHandleExA(kFromAddress, reinterpret_cast<LPCSTR>(&onTheStack), &module));
    EXPECT_EQ(LastError(), Code(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&onTheStack)));
    EXPECT_EQ(LastError(), Code(ERROR_INVALID_HANDLE));
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
    MessageBoxHandler mine = SetMessageBoxHandler(previous);
    ASSERT_TRUE(mine);
    mine("handed", "back", MB_OK);  // the one replaced is returned
    const std::string program = fs::read_symlink("/proc/self/exe").filename().string();
    EXPECT_THAT(boxes,
                ::testing::ElementsAre("Logger|Disk full|16", "Error||0", program + "|Saved|48", "back|handed|0"));

    SetMessageBoxHandler(nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "Text", "Caption", MB_OK), IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Caption: Text\n");
    SetMessageBoxHandler(previous);
}

TEST(ProcessDeathTest, TerminateEndsAtOnceWithTheLowEightBits)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    int notAProcess = 0;
    SetLastError(0);
    EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(&notAProcess), 3));
    EXPECT_EQ(LastError(), Code(ERROR_INVALID_HANDLE));

    EXPECT_EXIT(
        {
            std::atexit([] { std::fputs("exit handlers ran", stderr); });
            TerminateProcess(GetCurrentProcess(), static_cast<UINT>(-1));
        },
        ::testing::ExitedWithCode(255), ::testing::Not(::testing::HasSubstr("exit handlers ran")));
    EXPECT_EXIT(TerminateProcess(GetCurrentProcess(), 0x1234), ::testing::ExitedWithCode(0x34), "");
}

}  // namespace
