// Block files and folders that someone else put in a tank: special files,
// links, block information out of range, and the modes of what we create.
#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/block_reader.h"
#include "tankengine/storage/tank_folder.h"
#include "tests/fixtures/scratch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvo::tank::test {
namespace {

namespace fs = std::filesystem;

// Runs what in a child that a hang of more than five seconds kills, and
// answers the text it made, or "hung".
std::string Within5Seconds(const std::function<std::string()>& what)
{
    int out[2];
    if (::pipe(out) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        ::alarm(5);
        const std::string text = what();
        const bool written = ::write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "hung";
}

// "accepted", or why a Result or Status refused.
template <class Answer>
std::string Outcome(const Answer& answer)
{
    return answer ? "accepted" : answer.error();
}

// Every file and folder below dir with its mode and contents, to see that
// nothing there changed.
std::map<std::string, std::string> Snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> seen;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        std::string& what = seen[entry.path().string()];
        what = std::to_string(static_cast<unsigned>(entry.symlink_status().permissions()));
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            what.append(std::istreambuf_iterator<char>(in), {});
        }
    }
    return seen;
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CreateTank(tank)); }

    orvo::test::ScratchDir scratch;
    const fs::path tank = scratch.path() / "tank";
};

// A FIFO in place of a block file must not make listing or opening wait.
TEST_F(HostileFiles, SpecialFilesAreRefusedWithoutWaiting)
{
    for (const char* name : {"info", "notes", "headers", "lock"}) {
        ASSERT_TRUE(BlockWriter::Create(tank, name, "notes", 0)) << name;
    }
    const std::map<std::string, const char*> planted = {
        {"info", kInfoFileName}, {"notes", kNotesFileName}, {"headers", kHeadersFileName}, {"lock", kLockFileName}};
    for (const auto& [block, file] : planted) {
        fs::remove(tank / block / file);
        ASSERT_EQ(::mkfifo((tank / block / file).c_str(), 0600), 0);
    }
    const std::string dir = tank.string() + "/";
    EXPECT_EQ(Within5Seconds([&] {
                  Result<std::vector<BlockEntry>> blocks = ListBlocks(tank);
                  if (!blocks) {
                      return blocks.error();
                  }
                  std::string text;
                  for (const BlockEntry& e : *blocks) {
                      text += e.name + (e.problem ? ": " + e.problem->text : "") + "\n";
                  }
                  return text;
              }),
              "notes\nheaders\nlock\ninfo: " + dir + "info/block.info is not a regular file\n");
    const struct {
        std::function<std::string()> open;
        const char* refused;
    } opens[] = {
        {[&] { return Outcome(BlockWriter::OpenForAppend(tank / "info")); }, "info/block.info"},
        {[&] { return Outcome(ReadBlockNotes(tank / "notes")); }, "notes/notes.txt"},
        {[&] { return Outcome(BlockReader::Open(tank / "headers")); }, "headers/events.hdr"},
        {[&] { return Outcome(BlockWriter::OpenForAppend(tank / "headers")); }, "headers/events.hdr"},
        {[&] { return Outcome(IsBeingRecorded(tank / "lock")); }, "lock/block.lock"},
        {[&] { return Outcome(BlockWriter::OpenForAppend(tank / "lock")); }, "lock/block.lock"},
    };
    for (const auto& o : opens) {
        EXPECT_EQ(Within5Seconds(o.open), dir + o.refused + " is not a regular file");
    }

    // A marker that is a FIFO, or a link to another tank's, makes no tank.
    const fs::path fifoTank = scratch.path() / "fifo-tank";
    fs::create_directory(fifoTank);
    ASSERT_EQ(::mkfifo((fifoTank / "tank.orvo").c_str(), 0600), 0);
    EXPECT_EQ(Within5Seconds([&] { return IsTank(fifoTank) ? "tank" : "no tank"; }), "no tank");
    const fs::path linkedTank = scratch.path() / "linked-tank";
    fs::create_directory(linkedTank);
    fs::create_symlink(tank / "tank.orvo", linkedTank / "tank.orvo");
    EXPECT_FALSE(IsTank(linkedTank));

    // A link to good block information is refused all the same.
    ASSERT_TRUE(BlockWriter::Create(tank, "linked", "", 0));
    fs::rename(tank / "linked" / kInfoFileName, scratch.path() / "info");
    fs::create_symlink(scratch.path() / "info", tank / "linked" / kInfoFileName);
    Result<BlockInfo> linked = ReadBlockInfo(tank / "linked");
    ASSERT_FALSE(linked);
    EXPECT_EQ(linked.kind(), ErrorKind::kCorruption);
    EXPECT_TRUE(linked.error().starts_with(dir + "linked/block.info is not a regular file: ")) << linked.error();
}

// A link planted among the blocks is no block, and nothing reaches through it.
TEST_F(HostileFiles, LinkedBlockFolderIsNeverFollowed)
{
    const fs::path elsewhere = scratch.path() / "elsewhere";
    ASSERT_TRUE(CreateTank(elsewhere));
    Result<BlockWriter> target = BlockWriter::Create(elsewhere, "target", "private", 5);
    ASSERT_TRUE(target);
    ASSERT_TRUE(AppendSamples(*target, 0, 3));
    ASSERT_TRUE(target->Close(6));
    const std::map<std::string, std::string> before = Snapshot(elsewhere);

    ASSERT_TRUE(BlockWriter::Create(tank, "real", "", 0));
    fs::create_directory_symlink(elsewhere / "target", tank / "planted");
    const fs::path planted = tank / "planted";
    const std::string refusal = planted.string() + " is a symbolic link, not a block folder";

    Result<std::vector<BlockEntry>> blocks = ListBlocks(tank);
    ASSERT_TRUE(blocks) << blocks.error();
    ASSERT_EQ(blocks->size(), 2u);
    EXPECT_EQ((*blocks)[0].name, "real");
    EXPECT_EQ((*blocks)[1].name, "planted");
    ASSERT_TRUE((*blocks)[1].problem);
    EXPECT_EQ((*blocks)[1].problem->text, refusal);
    EXPECT_EQ((*blocks)[1].problem->kind, ErrorKind::kCorruption);

    EXPECT_EQ(Outcome(ReadBlockInfo(planted)), refusal);
    EXPECT_EQ(Outcome(ReadBlockNotes(planted)), refusal);
    EXPECT_EQ(Outcome(ReplaceBlockNotes(planted, "overwritten")), refusal);
    EXPECT_EQ(Outcome(BlockWriter::OpenForAppend(planted)), refusal);
    EXPECT_EQ(Outcome(BlockReader::Open(planted)), refusal);
    EXPECT_EQ(Outcome(IsBeingRecorded(planted)), refusal);
    // A block of that name goes beside the link; its target gives no sequence.
    Result<BlockWriter> made = BlockWriter::Create(tank, "planted", "", 7);
    ASSERT_TRUE(made) << made.error();
    EXPECT_EQ(made->Name(), "planted-1");
    ASSERT_TRUE(AppendSamples(*made, 0, 2));
    ASSERT_TRUE(made->Close(8));
    EXPECT_EQ(ReadBlockInfo(made->Dir())->sequence, 2u);

    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_EQ(Snapshot(elsewhere), before);
}

// A start or stop that is no number, or a sequence that would wrap to 0, is damage.
TEST_F(HostileFiles, BlockInfoOutOfRangeIsDamageAndSequencesNeverWrap)
{
    for (const char* text : {"orvo-block 1\nsequence 1\nstart nan\n", "orvo-block 1\nsequence 1\nstart inf\n",
                             "orvo-block 1\nsequence 1\nstart -inf\n",
                             "orvo-block 1\nsequence 1\nstart 0\nstop nan\n",
                             "orvo-block 1\nsequence 18446744073709551615\nstart 0\n"}) {
        Result<BlockInfo> info = ParseBlockInfo(text);
        ASSERT_FALSE(info) << text;
        EXPECT_EQ(info.kind(), ErrorKind::kCorruption) << text;
        EXPECT_TRUE(info.error().starts_with("bad value in block information line")) << info.error();
    }
    Result<BlockInfo> highest = ParseBlockInfo("orvo-block 1\nsequence 18446744073709551614\nstart 0\n");
    ASSERT_TRUE(highest) << highest.error();
    EXPECT_EQ(highest->sequence, kSequenceLimit - 1);

    ASSERT_TRUE(BlockWriter::Create(tank, "last", "", 0));
    ASSERT_TRUE(WriteBlockInfo(tank / "last", *highest));
    const std::map<std::string, std::string> before = Snapshot(tank);
    Result<BlockWriter> next = BlockWriter::Create(tank, "", "", 0);
    ASSERT_FALSE(next);
    EXPECT_EQ(next.kind(), ErrorKind::kInvalidArgument);
    EXPECT_EQ(next.error(),
              "no block sequence is left in " + tank.string() + ": its last block has the highest one");
    EXPECT_EQ(Snapshot(tank), before);
}

// Nothing the storage makes is open to others; a stricter umask is honoured.
TEST_F(HostileFiles, CreatedFilesAndFoldersHonourTheUmask)
{
    for (const auto& [mask, fileMode, folderMode] :
         {std::tuple{mode_t{022}, 0640u, 0750u}, std::tuple{mode_t{077}, 0600u, 0700u}}) {
        const mode_t previous = ::umask(mask);
        const fs::path made = scratch.path() / ("tank-" + std::to_string(mask));
        Status built = CreateTank(made);
        Result<BlockWriter> writer = BlockWriter::Create(made, "b", "notes", 0);
        if (writer) {
            built = writer->Close(1);
        }
        if (built) {
            built = ReplaceBlockNotes(made / "b", "new notes");
        }
        ::umask(previous);
        ASSERT_TRUE(built && writer) << built.error();

        std::size_t files = 0;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(made)) {
            struct stat st {};
            ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
            const unsigned expected = S_ISDIR(st.st_mode) ? folderMode : fileMode;
            EXPECT_EQ(st.st_mode & 07777, expected) << entry.path() << " under umask " << mask;
            files += S_ISREG(st.st_mode) ? 1 : 0;
        }
        EXPECT_EQ(files, 7u);  // marker, the block's six files
        struct stat top {};
        ASSERT_EQ(::stat(made.c_str(), &top), 0);
        EXPECT_EQ(top.st_mode & 07777, folderMode);
    }
}

}  // namespace
}  // namespace orvo::tank::test
