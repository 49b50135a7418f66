// A tank on a network share, through the file-system seam: a killed recording
// keeps its acknowledged records, new blocks go beside blocks or links of their
// name, and a block has one writer although the share's locks never conflict.
#include "tests/tankengine/faulty_file_system.h"
#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvo::tank::test {
namespace {

constexpr std::uint64_t kBatch = 5;
constexpr std::uint64_t kKillAfter = 8;  // batches

TEST(SharedStorage, KilledRecordingIsRecordedOnAndEachBlockHasOneWriter)
{
    orvo::test::ScratchDir scratch;
    const std::filesystem::path tank = scratch.path() / "tank";
    FaultyFileSystem share(Disk::kShare);
    ASSERT_TRUE(CreateTank(tank));

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        Result<BlockWriter> writer = BlockWriter::Create(tank, "Block", "", 0);
        for (std::uint64_t batch = 0; writer && AppendSamples(*writer, batch * kBatch, kBatch); ++batch) {
            if (::write(report[1], &batch, sizeof batch) != static_cast<ssize_t>(sizeof batch)) {
                break;
            }
        }
        ::_exit(1);
    }
    ::close(report[1]);
    std::uint64_t acknowledged = 0;
    for (std::uint64_t batch = 0;
         acknowledged < kKillAfter && ::read(report[0], &batch, sizeof batch) == static_cast<ssize_t>(sizeof batch);) {
        acknowledged = batch + 1;
    }
    ::kill(child, SIGKILL);
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the recorder failed before it was killed";
    ASSERT_EQ(acknowledged, kKillAfter);

    // The portable rename must neither replace the killed block nor follow a link.
    std::filesystem::create_directory_symlink(scratch.path(), tank / "Block-1");
    Result<BlockWriter> second = BlockWriter::Create(tank, "Block", "", 1);
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second->Name(), "Block-2");
    Result<BlockWriter> again = BlockWriter::OpenForAppend(second->Dir());
    ASSERT_FALSE(again);
    EXPECT_EQ(again.kind(), ErrorKind::kBusy) << again.error();
    EXPECT_TRUE(*IsBeingRecorded(second->Dir()));
    ASSERT_TRUE(second->Close(2));
    EXPECT_FALSE(*IsBeingRecorded(second->Dir()));

    Result<BlockWriter> resumed = BlockWriter::OpenForAppend(tank / "Block");
    ASSERT_TRUE(resumed) << resumed.error();
    const std::uint64_t kept = resumed->RecordCount();
    EXPECT_GE(kept, kKillAfter * kBatch);
    ASSERT_TRUE(AppendSamples(*resumed, kept, kBatch));
    ASSERT_TRUE(resumed->Close(3));
    EXPECT_EQ(SampleCount(tank / "Block"), kept + kBatch);

    Result<std::vector<BlockEntry>> blocks = ListBlocks(tank);
    ASSERT_TRUE(blocks) << blocks.error();
    ASSERT_EQ(blocks->size(), 3u);
    EXPECT_FALSE((*blocks)[0].problem || (*blocks)[1].problem);
    EXPECT_EQ((*blocks)[2].name, "Block-1");
}

}  // namespace
}  // namespace orvo::tank::test
