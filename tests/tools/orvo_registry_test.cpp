// The orvo program on its registry: on one it cannot use, each command fails
// with one line that names the file and what is wrong with it, and lists
// nothing; secrets reach it without passing through the command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "protocol/Installation.h"
#include "tests/fixtures/scratch.h"

namespace {

using orvo::test::ScratchRegistry;
using testing::EndsWith;

struct Outcome {
    int status = -1;
    std::string err;
    std::uintmax_t printedBytes = 0;  // on standard output
};

// Runs the program on words that need no quoting, with the registry's
// variable as the registry object set it.
Outcome Orvo(const ScratchRegistry& registry, const std::string& words)
{
    // Standard error comes through the pipe, standard output goes to a file.
    const std::string out = registry.dir().file("out");
    const std::string command = std::string("'") + ORVO_PROGRAM + "' " + words + " 2>&1 >'" + out + "'";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    char buffer[4096];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        outcome.err.append(buffer, got);
    }
    const int wait = pclose(pipe);
    outcome.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    std::error_code unknown;
    outcome.printedBytes = std::filesystem::file_size(out, unknown);
    return outcome;
}

TEST(OrvoRegistry, AnUnusableFileFailsEveryCommandWithOneLineNamingIt)
{
    ScratchRegistry registry;
    orvo::test::WriteRandomBytes(registry.path(), 4096);
    const std::string problem = "the registry " + registry.path() + ": damaged or not a registry file\n";
    for (const char* words : {"tanks", "blocks X", "servers list", "servers add Rig2 10.0.0.2 --password pw",
                              "servers remove Rig2"}) {
        const Outcome run = Orvo(registry, words);
        EXPECT_EQ(run.status, 1) << words;
        EXPECT_EQ(run.printedBytes, 0u) << words;
        EXPECT_THAT(run.err, testing::StartsWith("orvo: ")) << words;
        EXPECT_THAT(run.err, EndsWith(problem)) << words;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << words << ": " << run.err;
    }
}

// The engine is reached, but the tank list cannot be read to its end: the
// listing must fail rather than look finished.
TEST(OrvoRegistry, ADamagedTankListIsNotTakenForItsEnd)
{
    ScratchRegistry registry;
    ASSERT_EQ(Orvo(registry, "servers list").status, 0);  // sets the store up
    // No registry call writes a type outside 32 bits.
    const std::string damage =
        std::string("INSERT INTO key_values (key_id, name, type, data, position) "
                    "SELECT id, 'Broken', -1, x'', 1 FROM keys WHERE path = '") +
        orvo::kTankListKey + "'";
    sqlite3* db = nullptr;
    const bool damaged = sqlite3_open(registry.path().c_str(), &db) == SQLITE_OK &&
                         sqlite3_exec(db, damage.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
                         sqlite3_changes(db) == 1;
    sqlite3_close(db);
    ASSERT_TRUE(damaged);

    const Outcome tanks = Orvo(registry, "tanks");
    EXPECT_EQ(tanks.status, 1);
    EXPECT_EQ(tanks.printedBytes, 0u);
    EXPECT_EQ(tanks.err, "orvo: cannot list the tanks: the registry " + registry.path() + ": damaged\n");
}

// The password stays off the command line, where ps would show it: it comes
// from the file's first line; a file that cannot be read stores nothing.
TEST(OrvoRegistry, PasswordFileGivesThePasswordFromItsFirstLine)
{
    ScratchRegistry registry;
    const std::string file = registry.dir().file("password");
    std::ofstream(file) << "s3cret\r\nnot this\n";
    ASSERT_EQ(Orvo(registry, "servers add Rig2 10.0.0.2 --user ann --password-file '" + file + "'").status, 0);

    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    std::string stored;
    if (sqlite3_open(registry.path().c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT data FROM key_values WHERE name = 'Rig2'", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW) {
        stored.assign(static_cast<const char*>(sqlite3_column_blob(query, 0)),
                      static_cast<std::size_t>(sqlite3_column_bytes(query, 0)));
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    EXPECT_EQ(stored.substr(0, stored.find('\0')), "10.0.0.2 ann * s3cret");

    const Outcome missing = Orvo(registry, "servers add Rig3 10.0.0.3 --password-file '" + file + ".gone'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "orvo: cannot read the password file " + file + ".gone: No such file or directory\n");
    EXPECT_NE(Orvo(registry, "servers add Rig3 10.0.0.3 --password pw --password-file '" + file + "'").status, 0);
}

}  // namespace
