#include "tests/tankengine/storage_samples.h"

#include <gtest/gtest.h>

#include <tuple>

namespace orvo::tank::test {
namespace {

constexpr std::uint64_t kRecords = 4;  // the last, sample 3, has data words
constexpr std::uint64_t kFrameSize = 72;
// Enough records for damage with good records on both sides.
constexpr std::uint64_t kMiddleRecords = 9;

// The block as written, and ways to damage it.
struct Damage {
    explicit Damage(std::uint64_t records = kRecords) : t(records) {}

    SampleTank t;
    std::filesystem::path headers = t.block / "events.hdr";
    std::filesystem::path data = t.block / "events.dat";
    std::vector<std::byte> fullHeaders = ReadBytes(headers);
    std::vector<std::byte> fullData = ReadBytes(data);
    std::size_t lastFrame = fullHeaders.size() - kFrameSize;
    std::size_t lastData = fullData.size() - Sample(kRecords - 1).data.size() * 4;

    void Restore()
    {
        WriteBytes(headers, fullHeaders);
        WriteBytes(data, fullData);
    }
    void Cut(const std::filesystem::path& file, const std::vector<std::byte>& full, std::size_t at)
    {
        WriteBytes(file, std::vector<std::byte>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(at)));
    }
    void Flip(const std::filesystem::path& file, std::vector<std::byte> full, std::size_t at)
    {
        full[at] ^= std::byte{0x10};
        WriteBytes(file, full);
    }

    // Reopening for append cuts the damaged record, and the next append
    // lands on a clean boundary.
    void ExpectRepairedByAppend(const std::string& what)
    {
        Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
        ASSERT_TRUE(writer) << what << ": " << writer.error();
        EXPECT_EQ(writer->RecordCount(), kRecords - 1) << what;
        ASSERT_TRUE(AppendSamples(*writer, kRecords - 1, 2));
        ASSERT_TRUE(writer->Close(1));
        EXPECT_EQ(SampleCount(t.block), kRecords + 1) << what;
        Restore();
    }
};

TEST(BlockRecovery, TornTailAtEveryByteIsNeverReadAndIsCutOnReopen)
{
    Damage d;
    ASSERT_GT(d.fullData.size(), d.lastData);
    for (const auto& [file, full, from] :
         {std::tie(d.headers, d.fullHeaders, d.lastFrame), std::tie(d.data, d.fullData, d.lastData)}) {
        for (std::size_t at = from; at < full.size(); ++at) {
            const std::string what = file.filename().string() + " cut at " + std::to_string(at);
            d.Cut(file, full, at);
            Result<BlockReader> reader = BlockReader::Open(d.t.block);
            ASSERT_TRUE(reader) << what;
            EXPECT_EQ(reader->RecordCount(), kRecords - 1) << what;
            // The writer finishing the record is what a live reader sees next.
            d.Restore();
            EXPECT_EQ(*reader->Refresh(), 1u) << what;
            EXPECT_EQ(SampleMismatch(*reader, kRecords - 1, kRecords - 1), "") << what;

            d.Cut(file, full, at);
            d.ExpectRepairedByAppend(what);
        }
    }
}

TEST(BlockRecovery, CorruptLastRecordIsNeverReadAndIsCutOnReopen)
{
    Damage d;
    for (std::size_t at = d.lastFrame; at < d.fullHeaders.size(); ++at) {
        d.Flip(d.headers, d.fullHeaders, at);
        EXPECT_EQ(SampleCount(d.t.block), kRecords - 1) << "frame byte " << at;
        // Nothing valid follows the last frame: a torn tail, not damage.
        EXPECT_TRUE(BlockReader::Open(d.t.block)->Whole()) << "frame byte " << at;
        d.ExpectRepairedByAppend("frame byte " + std::to_string(at));
    }
    // Damaged data keep their frame, but are refused rather than handed out.
    d.Flip(d.data, d.fullData, d.lastData + 5);
    Result<BlockReader> reader = BlockReader::Open(d.t.block);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->Damage());
    std::vector<std::int32_t> words(64);
    Result<std::size_t> read = reader->ReadData(kRecords - 1, words);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.kind(), ErrorKind::kCorruption) << read.error();
    d.ExpectRepairedByAppend("data byte");
}

// A bad frame with valid frames past it is damage, not the block's end: what
// precedes it reads, the damage is told, and reopening cuts nothing. The last
// frame but one is the nearest damage to a torn tail.
TEST(BlockRecovery, DamagedFrameInsideTheBlockIsReportedAndTheRecordsBeforeItRead)
{
    Damage d(kMiddleRecords);
    for (const std::uint64_t damaged : {std::uint64_t{0}, std::uint64_t{4}, kMiddleRecords - 2}) {
        SCOPED_TRACE(damaged);
        d.Flip(d.headers, d.fullHeaders, FrameOffset(damaged) + 30);
        Result<BlockReader> reader = BlockReader::Open(d.t.block);
        ASSERT_TRUE(reader) << reader.error();
        EXPECT_EQ(reader->RecordCount(), damaged);
        ExpectSamples(*reader);
        ASSERT_TRUE(reader->Damage());
        EXPECT_EQ(reader->Damage()->record, damaged);
        const std::uint64_t past = kMiddleRecords - 1 - damaged;
        EXPECT_EQ(reader->Damage()->validPast, past);
        const Status whole = reader->Whole();
        ASSERT_FALSE(whole);
        EXPECT_EQ(whole.kind(), ErrorKind::kCorruption);
        EXPECT_EQ(whole.error(), "record " + std::to_string(damaged) + " of " + d.t.block.string() +
                                     ": damaged frame at offset " + std::to_string(FrameOffset(damaged)) + " of " +
                                     d.headers.string() + "; " + std::to_string(past) +
                                     (past == 1 ? " valid record lies" : " valid records lie") + " past it");
        Result<BlockWriter> writer = BlockWriter::OpenForAppend(d.t.block);
        ASSERT_FALSE(writer);
        EXPECT_EQ(writer.kind(), ErrorKind::kCorruption) << writer.error();
        EXPECT_NE(writer.error().find("damaged at record " + std::to_string(damaged)), std::string::npos)
            << writer.error();
        EXPECT_EQ(std::filesystem::file_size(d.headers), d.fullHeaders.size());
        EXPECT_EQ(std::filesystem::file_size(d.data), d.fullData.size());
        // The reader keeps to the records before the damage even once repaired.
        d.Restore();
        EXPECT_EQ(*reader->Refresh(), 0u);
        EXPECT_FALSE(reader->ReadFrame(damaged));
        EXPECT_EQ(SampleCount(d.t.block), kMiddleRecords);
    }
}

}  // namespace
}  // namespace orvo::tank::test
