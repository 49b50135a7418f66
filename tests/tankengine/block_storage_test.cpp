#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <fstream>
#include <functional>
#include <optional>

#include <fcntl.h>

namespace orvo::tank::test {
namespace {

TEST(BlockStorage, RecordsReadBackBitForBitAndAfterReopening)
{
    SampleTank t(300);
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
    ASSERT_TRUE(writer) << writer.error();
    EXPECT_EQ(writer->RecordCount(), 300u);
    ASSERT_TRUE(AppendSamples(*writer, 300, 50));
    ASSERT_TRUE(writer->Close(3));
    Result<BlockReader> reader = BlockReader::Open(t.block);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->RecordCount(), 350u);
    ExpectSamples(*reader);

    // Data go only into a buffer that holds them all; nothing past it.
    std::vector<std::int32_t> small(Sample(2).data.size() - 1, 7);
    EXPECT_FALSE(reader->ReadData(2, small));
    EXPECT_EQ(small, std::vector<std::int32_t>(small.size(), 7));
    EXPECT_FALSE(reader->Header(350));
}

TEST(BlockStorage, BadRecordRefusesTheWholeBatch)
{
    const double nan = std::nan("");
    struct Case {
        const char* why;
        std::int32_t size;
        std::int32_t type;
        std::size_t words;
        double time;
    } cases[] = {
        {"size below 10", 9, 0x8201, 0, 0},
        {"negative size", INT_MIN, 0x8201, 0, 0},
        {"data words missing", 14, 0x8201, 3, 0},
        {"too many data words", 12, 0x8201, 3, 0},
        {"size overflowing any buffer", INT_MAX, 0x8201, 4, 0},
        {"scalar carrying data", 11, 0x0201, 1, 0},
        {"time not a number", 10, 0x0201, 0, nan},
    };
    SampleTank t(5);
    std::uint64_t headersSize = std::filesystem::file_size(t.block / "events.hdr");
    std::uint64_t dataSize = std::filesystem::file_size(t.block / "events.dat");
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
    ASSERT_TRUE(writer);
    for (const Case& c : cases) {
        OwnedRecord good = Sample(5);
        OwnedRecord bad = MakeRecord(Code("Bad1"), c.time, c.words, 1);
        bad.head.size = c.size;
        bad.head.type = c.type;
        Record batch[] = {good.view(), bad.view()};
        Status appended = writer->Append(batch);
        EXPECT_FALSE(appended) << c.why;
        EXPECT_EQ(appended.kind(), ErrorKind::kInvalidArgument) << c.why;
        EXPECT_NE(appended.error().find("record 1 of the batch"), std::string::npos) << appended.error();
        EXPECT_EQ(writer->RecordCount(), 5u) << c.why;
    }
    ASSERT_TRUE(writer->Sync());
    EXPECT_EQ(std::filesystem::file_size(t.block / "events.hdr"), headersSize);
    EXPECT_EQ(std::filesystem::file_size(t.block / "events.dat"), dataSize);
    ASSERT_TRUE(AppendSamples(*writer, 5, 1));  // still usable
    ASSERT_TRUE(writer->Close(9));
    EXPECT_EQ(SampleCount(t.block), 6u);
}

TEST(BlockStorage, SecondWriterIsRefusedUntilTheFirstCloses)
{
    SampleTank t(1);
    EXPECT_FALSE(*IsBeingRecorded(t.block));
    Result<BlockWriter> first = BlockWriter::OpenForAppend(t.block);
    ASSERT_TRUE(first);
    // The probe sees a writer of this process as it would one of another.
    EXPECT_TRUE(*IsBeingRecorded(t.block));
    Result<BlockWriter> second = BlockWriter::OpenForAppend(t.block);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.kind(), ErrorKind::kBusy) << second.error();
    ASSERT_TRUE(first->Close(4));
    EXPECT_FALSE(*IsBeingRecorded(t.block));
    EXPECT_TRUE(BlockWriter::OpenForAppend(t.block));
}

// Callers decide on the kind of a failure, so each must carry the right one.
TEST(BlockStorage, FailuresSayTheirKind)
{
    SampleTank t(1);
    const std::filesystem::path missing = t.tank / "missing";
    const auto kindOf = [](const auto& outcome) { return outcome ? std::nullopt : std::optional(outcome.kind()); };
    const auto damaged = [](const std::filesystem::path& file) {
        std::vector<std::byte> bytes = ReadBytes(file);
        bytes[0] ^= std::byte{1};
        WriteBytes(file, bytes);
    };
    const struct {
        const char* what;
        std::function<std::optional<ErrorKind>()> failure;
        ErrorKind kind;
    } cases[] = {
        {"a block that is not there", [&] { return kindOf(BlockReader::Open(missing)); }, ErrorKind::kNotFound},
        {"a folder that is no tank", [&] { return kindOf(ListBlocks(missing)); }, ErrorKind::kNotFound},
        {"a path through a file", [&] { return kindOf(File::Open(t.block / "block.info" / "x", O_RDONLY)); },
         ErrorKind::kNotFound},
        {"a folder read as a file", [&] { return kindOf(ReadSmallFile(t.block, 1 << 20)); }, ErrorKind::kCorruption},
        {"a bad block name", [&] { return kindOf(BlockWriter::Create(t.tank, ".hidden", "", 0)); },
         ErrorKind::kInvalidArgument},
        {"a block made a tank", [&] { return kindOf(CreateTank(t.block)); }, ErrorKind::kInvalidArgument},
        {"damaged block information",
         [&] {
             damaged(t.block / "block.info");
             return kindOf(ReadBlockInfo(t.block));
         },
         ErrorKind::kCorruption},
        {"a damaged file header",
         [&] {
             damaged(t.block / "events.hdr");
             return kindOf(BlockReader::Open(t.block));
         },
         ErrorKind::kCorruption},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.failure(), c.kind) << c.what;
    }
}

TEST(BlockStorage, InfoNotesAndTankListing)
{
    orvo::test::ScratchDir scratch;
    std::filesystem::path tank = scratch.path() / "tank";
    EXPECT_FALSE(IsTank(scratch.path()));
    EXPECT_FALSE(BlockWriter::Create(scratch.path(), "x", "", 0));  // not a tank
    ASSERT_TRUE(CreateTank(tank));
    ASSERT_TRUE(CreateTank(tank));  // again: left as it is
    EXPECT_TRUE(IsTank(tank));
    EXPECT_FALSE(CreateTank(scratch.path()));  // holds something else

    const std::string notes("user text\0[USERNOTEDELIMITER]items", 33);
    Result<BlockWriter> b = BlockWriter::Create(tank, "b", notes, 10.1);
    ASSERT_TRUE(b) << b.error();
    Result<BlockInfo> info = ReadBlockInfo(b->Dir());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->startTime, 10.1);
    EXPECT_FALSE(info->stopTime);
    ASSERT_TRUE(b->Close(0.1 + 0.2));
    info = ReadBlockInfo(b->Dir());
    ASSERT_TRUE(info && info->stopTime);
    EXPECT_EQ(*info->stopTime, 0.1 + 0.2);  // exact round trip
    EXPECT_EQ(*ReadBlockNotes(b->Dir()), notes);
    ASSERT_TRUE(ReplaceBlockNotes(b->Dir(), "new notes"));
    EXPECT_EQ(*ReadBlockNotes(b->Dir()), "new notes");

    // Reopening to record again clears the stop time until the next Close.
    Result<BlockWriter> again = BlockWriter::OpenForAppend(tank / "b");
    ASSERT_TRUE(again);
    EXPECT_FALSE(ReadBlockInfo(tank / "b")->stopTime);

    for (const char* text : {"", "orvo-block 1\nstart 1\n", "orvo-block 2\nsequence 1\nstart 1\n",
                             "orvo-block 1\nsequence x\nstart 1\n", "orvo-block 1\nsequence 1\nstart 1e999x\n"}) {
        EXPECT_FALSE(ParseBlockInfo(text)) << text;
    }
}

// Two recorders that start at once, or one after a block was removed, still
// get the next names of the sequence; two creators of one tank both use it.
TEST(BlockStorage, DefaultNamesFollowTheSequenceAndTanksAreMadeOnce)
{
    orvo::test::ScratchDir scratch;
    const std::filesystem::path tank = scratch.path() / "tank";
    ASSERT_TRUE(CreateTank(tank));
    auto next = [&tank] {
        Result<BlockWriter> writer = BlockWriter::Create(tank, "", "", 0);
        return writer ? writer->Name() : "failed: " + writer.error();
    };
    EXPECT_EQ(next(), "Block-1");
    EXPECT_EQ(next(), "Block-2");
    std::filesystem::remove_all(tank / "Block-1");
    EXPECT_EQ(next(), "Block-3");
    std::filesystem::create_directory(tank / "Block-4");  // taken by another recorder just now
    EXPECT_EQ(next(), "Block-5");

    // Another process has made the folder and is writing its marker.
    const std::filesystem::path making = scratch.path() / "making";
    std::filesystem::create_directory(making);
    std::ofstream(making / ".tank.orvo.4242.tmp") << "orvo-tank 1\n";
    EXPECT_TRUE(CreateTank(making));
    EXPECT_TRUE(IsTank(making));
    const std::filesystem::path other = scratch.path() / "other";
    std::filesystem::create_directory(other);
    std::ofstream(other / ".tank.orvo.x") << "not ours";
    EXPECT_FALSE(CreateTank(other));
}

}  // namespace
}  // namespace orvo::tank::test
