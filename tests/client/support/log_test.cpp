#include "client/support/Log.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "client/support/BasePath.h"
#include "tests/client/support/base_path.h"
#include "tests/client/support/isolated.h"
#include "tests/fixtures/scratch.h"

namespace orvo::test {
namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
protected:
    ScratchRegistry m_registry;
    ScratchDir m_base;

    // The log file of the calling process under base.
    static std::string LogFileOf(const fs::path& base)
    {
        return (base / "exe.logs" / LogFileName(reinterpret_cast<const void*>(&LogMessage))).string();
    }
};

TEST_F(LogTest, LinesAreFormattedAndFlushedOnlyFromWarningsUp)
{
    StoreBasePath("Kivra Drivers", m_base.path().string());
    fs::create_directory(m_base.path() / "exe.logs");

    EXPECT_IN_CHILD({
        const std::string path = LogFileOf(m_base.path());
        LogMessage("../src/Reader.cpp", 42, "ParseEv", kLogNormal, "capacity %d of %s\n", 7, "Wav1");
        ChildExpect(fs::exists(path), "the first line creates the file");
        ChildExpect(fs::file_size(path) == 0, "a normal line waits in the buffer");
        ChildExpect((fs::status(path).permissions() & fs::perms::others_all) == fs::perms::none,
                    "others may not read the log");
        LogMessage("../src/Reader.cpp", 43, "ParseEv", kLogInfo, "never written\n");
        LogMessage("../src/Reader.cpp", 44, "ParseEv", kLogWarning, "%s\n", "short row");

        std::stringstream contents;
        contents << std::ifstream(path, std::ios::binary).rdbuf();
        const std::string text = contents.str();
        const std::regex expected(
            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} UTC: "
            "\\.\\./src/Reader\\.cpp\\(   42\\): NRML: ParseEv: capacity 7 of Wav1\n"
            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} UTC: "
            "\\.\\./src/Reader\\.cpp\\(   44\\): WARN: ParseEv: short row\n");
        ChildExpect(std::regex_match(text, expected), "unexpected log text:\n" + text);
    });
}

TEST_F(LogTest, WhateverAlreadyHasTheLogNameIsLeftAlone)
{
    StoreBasePath("Kivra Drivers", m_base.path().string());
    fs::create_directory(m_base.path() / "exe.logs");
    const fs::path target = m_base.path() / "target";
    std::ofstream(target) << "kept";

    EXPECT_IN_CHILD({
        const std::string path = LogFileOf(m_base.path());
        fs::create_symlink(target, path);
        LogMessage("a.cpp", 1, "f", kLogFatal, "planted\n");
        ChildExpect(fs::is_symlink(path), "the link stays");
    });
    std::stringstream contents;
    contents << std::ifstream(target).rdbuf();
    EXPECT_EQ(contents.str(), "kept");

    // A file left under the name, by a process whose id was reused, is kept.
    EXPECT_IN_CHILD({
        const std::string path = LogFileOf(m_base.path());
        std::ofstream(path) << "earlier";
        LogMessage("a.cpp", 1, "f", kLogFatal, "later\n");
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        ChildExpect(text.str() == "earlier", "the earlier log is untouched: " + text.str());
    });
}

TEST_F(LogTest, BasePathComesFromTheFirstKeyThatHoldsOneElseDefaults)
{
    EXPECT_IN_CHILD({
        ChildExpect(ReadBasePath("Kivra Drivers") == 0, "no key");
        ChildExpect(ResolveBasePath() == "/opt/Kivra", "default: " + ResolveBasePath());
    });
    StoreBasePath("OrvoMin", m_base.path().string());
    EXPECT_IN_CHILD({
        ChildExpect(ResolveBasePath() == m_base.path().string(), "OrvoMin is used");
    });

    StoreBasePath("Kivra Drivers", "/elsewhere");
    EXPECT_IN_CHILD({ ChildExpect(ResolveBasePath() == "/elsewhere", "Kivra Drivers comes first"); });

    // Asked once per process: a later change is not seen.
    EXPECT_IN_CHILD({
        ResolveBasePath();
        StoreBasePath("Kivra Drivers", "/changed");
        ChildExpect(ResolveBasePath() == "/elsewhere", "read once");
    });
}

TEST_F(LogTest, StoredBasePathEndsAtItsBytesOrItsFirstNul)
{
    StoreBasePath("Kivra Drivers", std::string("/data/rig\0junk", 14));
    EXPECT_IN_CHILD({ ChildExpect(ResolveBasePath() == "/data/rig", ResolveBasePath()); });

    // A value that fills the whole buffer has no room for a NUL; it must not
    // be read past, and is refused rather than cut.
    StoreBasePath("Kivra Drivers", "/" + std::string(400, 'x'));
    EXPECT_IN_CHILD({
        ChildExpect(ReadBasePath("Kivra Drivers") == 0, "an over-long value is refused");
        ChildExpect(ResolveBasePath() == "/opt/Kivra", "and the default stays");
    });
}

// Without the log folder the log stays off for the process; one that others
// may write to could hold their link where the log goes.
TEST_F(LogTest, WithoutAFolderOnlyTheOwnerMayWriteToTheLogStaysOff)
{
    StoreBasePath("Kivra Drivers", m_base.path().string());
    EXPECT_IN_CHILD({
        LogMessage("a.cpp", 1, "f", kLogFatal, "lost\n");
        fs::create_directory(m_base.path() / "exe.logs");
        LogMessage("a.cpp", 2, "f", kLogFatal, "also lost\n");
        ChildExpect(!fs::exists(LogFileOf(m_base.path())), "no second attempt");
    });
    fs::permissions(m_base.path() / "exe.logs", fs::perms::group_write, fs::perm_options::add);
    EXPECT_IN_CHILD({
        LogMessage("a.cpp", 1, "f", kLogFatal, "lost\n");
        ChildExpect(!fs::exists(LogFileOf(m_base.path())), "no log where others may write");
    });
}

}  // namespace
}  // namespace orvo::test
