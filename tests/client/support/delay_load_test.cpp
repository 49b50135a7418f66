#include "client/support/DelayLoad.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <orvo/OrvoCI.h>
#include <orvo/platform/bstr.h>
#include "platform/modules.h"
#include "tests/client/support/base_path.h"
#include "tests/fixtures/scratch.h"

namespace orvo::test {
namespace {

namespace fs = std::filesystem;

// The folder of the freshly built libraries, found from the platform library
// this program runs with.
fs::path BuiltLibraryFolder()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&SysAllocString), &info);
    return fs::canonical(info.dli_fname).parent_path();
}

class DelayLoadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StoreBasePath("Kivra Drivers", m_base.path().string());
        fs::create_directory(m_base.path() / "exe.logs");
    }

    // The text of the one log file written under the base path.
    std::string LogText() const
    {
        std::stringstream text;
        for (const auto& entry : fs::directory_iterator(m_base.path() / "exe.logs")) {
            text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        }
        return text.str();
    }

    // In a child that ends normally, so that its log reaches the file, makes
    // and ends two client objects, which use the support library's
    // constructor and destructor. Then checks that the one load was logged
    // as coming from expectedFile.
    void ExpectOneLoadFrom(const fs::path& expectedFile) const
    {
        GTEST_FLAG_SET(death_test_style, "fast");
        EXPECT_EXIT(
            {
                { OrvoCI first; }
                { OrvoCI second; }
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");

        const std::string text = LogText();
        EXPECT_NE(text.find("../../Shared/DelayLoad(  303): NRML: delayHookHandler: Loaded "
                            "\"libKivraToolBox.so\" from \"" +
                            expectedFile.string() + "\"\r\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("Loaded"), text.rfind("Loaded")) << "more than one line: " << text;
    }

    ScratchRegistry m_registry;
    ScratchDir m_base;
};

TEST_F(DelayLoadTest, SupportLibraryComesFromTheBasePathFirstElseTheStandardSearch)
{
    ExpectOneLoadFrom(BuiltLibraryFolder() / kSupportLibrary);
    fs::remove_all(m_base.path() / "exe.logs");
    fs::create_directory(m_base.path() / "exe.logs");
    fs::create_directory(m_base.path() / "lib64");
    const fs::path copy = m_base.path() / "lib64" / kSupportLibrary;
    fs::copy_file(BuiltLibraryFolder() / kSupportLibrary, copy);
    ExpectOneLoadFrom(copy);
}

// A lib64 that another user could have filled is passed over, and the log
// says so; the library comes from beside the client library.
TEST_F(DelayLoadTest, BasePathFolderOthersCouldWriteIsPassedOver)
{
    const fs::path folder = m_base.path() / "lib64";
    fs::create_directory(folder);
    fs::copy_file(BuiltLibraryFolder() / kSupportLibrary, folder / kSupportLibrary);
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
    const std::string expected = (BuiltLibraryFolder() / kSupportLibrary).string();

    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            { OrvoCI client; }
            HMODULE module = nullptr;
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, kSupportLibrary, &module);
            std::exit(ModulePath(module) == expected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string text = LogText();
    EXPECT_NE(text.find("WARN: delayHookHandler: Not loading \"libKivraToolBox.so\" from \"" + folder.string() +
                        "\": writable by others\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Loaded"), std::string::npos) << text;
}

// Each ends the process after its own message.
TEST_F(DelayLoadTest, MissingLibraryOrFunctionEndsTheProcessAfterItsMessage)
{
    const struct { const char *library, *function, *message; } cases[] = {
        {"libKivraToolBoxGone.so", "_ZN10CUDPSocketC1Et",
         "DLL Loading Error.*The application \"client_support_tests\" failed to load \"libKivraToolBoxGone.so\" library\\..*"
         "will now terminate\\."},
        {kSupportLibrary, "_ZN10CUDPSocket7receiveEPci",
         "DLL Loading Error.*failed to find function \"_ZN10CUDPSocket7receiveEPci\"\n"
         "in the \"libKivraToolBox.so\" library\\..*version mistmatch"},
    };
    GTEST_FLAG_SET(death_test_style, "fast");
    for (const auto& c : cases) {
        HMODULE module = nullptr;
        FARPROC address = nullptr;
        DelayedImport import{c.library, c.function, &module, &address};
        EXPECT_EXIT(ResolveDelayedImport(import), ::testing::ExitedWithCode(255), c.message);
    }
}

}  // namespace
}  // namespace orvo::test
