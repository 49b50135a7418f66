#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/block_files.h"
#include "tankengine/storage/crc32.h"
#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace orvo::tank::test {
namespace {

struct Arrival {
    const char* store;
    double time;
};

// Arrival order, times out of order and equal within a store.
const Arrival kArrivals[] = {
    {"StrA", 3}, {"StrB", 2}, {"StrA", 1}, {"StrA", 2}, {"StrB", 2},
    {"StrA", 2}, {"StrA", 5}, {"StrB", 0}, {"StrA", 1},
};

void ExpectIndex(const BlockReader& reader)
{
    const StoreIndex& index = reader.Index();
    const auto recordsOf = [](std::span<const IndexEntry> entries) {
        std::vector<std::uint64_t> records;
        for (const IndexEntry& e : entries) {
            records.push_back(e.record);
        }
        return records;
    };
    ASSERT_EQ(index.Stores().size(), 2u);
    EXPECT_EQ(index.Stores()[0].code, Code("StrA"));
    EXPECT_EQ(index.Stores()[0].first.timeStamp, 3);
    EXPECT_EQ(index.Stores()[1].code, Code("StrB"));
    EXPECT_EQ(index.Stores()[1].first.type, 0x8201);

    std::span<const IndexEntry> a = index.Entries(Code("StrA"));
    EXPECT_EQ(recordsOf(a), (std::vector<std::uint64_t>{2, 8, 3, 5, 0, 6}));
    EXPECT_TRUE(index.Entries(Code("None")).empty());
    struct Window {
        double from;
        std::size_t first;
    } windows[] = {{-1, 0}, {1, 0}, {1.5, 2}, {2, 2}, {2.5, 4}, {5, 5}, {6, 6}};
    for (const Window& w : windows) {
        EXPECT_EQ(FirstAtOrAfter(a, w.from), w.first) << w.from;
    }

    std::vector<std::uint64_t> merged;
    TimeOrderedCursor cursor(index, 2);
    while (std::optional<IndexEntry> e = cursor.Next()) {
        merged.push_back(e->record);
    }
    EXPECT_EQ(merged, (std::vector<std::uint64_t>{1, 3, 4, 5, 0, 6}));
}

TEST(BlockReading, IndexOrdersEachStoreByTimeThenArrival)
{
    orvo::test::ScratchDir scratch;
    std::filesystem::path tank = scratch.path() / "tank";
    ASSERT_TRUE(CreateTank(tank));
    Result<BlockWriter> writer = BlockWriter::Create(tank, "Idx", "", 0);
    ASSERT_TRUE(writer);
    std::vector<OwnedRecord> owned;
    for (const Arrival& a : kArrivals) {
        owned.push_back(MakeRecord(Code(a.store), a.time, a.store[3] == 'B' ? 2 : 0, 0));
    }
    const std::vector<Record> records = Views(owned);
    // Half before the reader opens, half picked up by Refresh: both paths
    // must build the same index.
    ASSERT_TRUE(writer->Append(std::span(records).first(4)));
    Result<BlockReader> live = BlockReader::Open(writer->Dir());
    ASSERT_TRUE(live);
    ASSERT_TRUE(writer->Append(std::span(records).subspan(4)));
    ASSERT_TRUE(live->Refresh());
    ExpectIndex(*live);
    ASSERT_TRUE(writer->Close(1));
    Result<BlockReader> reopened = BlockReader::Open(writer->Dir());
    ASSERT_TRUE(reopened);
    ExpectIndex(*reopened);
}

// Blocks written with zlib's checksum must stay readable: the folding one
// must agree with it at every length and alignment around its 16-, 64- and
// 256-byte steps.
TEST(BlockReading, TheChecksumIsZlibsForEveryLengthAndAlignment)
{
    std::mt19937 random(17);
    std::vector<std::byte> bytes(1200);
    for (std::byte& b : bytes) {
        b = static_cast<std::byte>(random());
    }
    for (std::size_t length = 0; length <= 1100; ++length) {
        for (std::size_t at = 0; at < 16; ++at) {
            const std::uint32_t start = length % 2 == 0 ? 0 : static_cast<std::uint32_t>(random());
            const auto* data = reinterpret_cast<const Bytef*>(bytes.data() + at);
            ASSERT_EQ(Crc32(start, std::span(bytes).subspan(at, length)),
                      static_cast<std::uint32_t>(::crc32(start, data, static_cast<uInt>(length))))
                << length << " bytes from " << at;
        }
    }
}

// The data of many records, appended in one batch, read together land in
// their own rows, whatever the runs they are written and read in: past the
// system's limit of pieces per call and across the sizes at which runs are
// cut. A failure is told as the single read of its record tells it.
TEST(BlockReading, DataOfManyRecordsReadTogetherAreEachRecordsOwn)
{
    SampleTank sample(3000);
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(sample.block);
    ASSERT_TRUE(writer);
    // Around the sizes at which reads cut runs (1 MiB) and appends cut the
    // data they gather for one write (8 MiB).
    constexpr std::size_t kMiBWords = std::size_t{1} << 18;
    std::vector<OwnedRecord> large = {MakeRecord(Code("Big1"), 10, kMiBWords, 1),
                                      MakeRecord(Code("Big1"), 11, kMiBWords - 1, 2),
                                      MakeRecord(Code("Big1"), 12, 1, 3),
                                      MakeRecord(Code("Big1"), 13, 6 * kMiBWords, 4),
                                      MakeRecord(Code("Big1"), 14, 8 * kMiBWords + 1, 5),
                                      MakeRecord(Code("Big1"), 15, 1, 6)};
    ASSERT_TRUE(writer->Append(Views(large)));
    ASSERT_TRUE(writer->Close(3));
    Result<BlockReader> reader = BlockReader::Open(sample.block);
    ASSERT_TRUE(reader);

    // Each record's row has one word to spare, which must stay untouched.
    constexpr std::int32_t kUntouched = -7;
    std::vector<Frame> frames;
    std::vector<std::size_t> rowAt = {0};
    for (std::uint64_t r = 0; r < reader->RecordCount(); ++r) {
        Result<Frame> frame = reader->ReadFrame(r);
        ASSERT_TRUE(frame);
        frames.push_back(*frame);
        rowAt.push_back(rowAt.back() + frame->dataBytes / 4 + 1);
    }
    std::vector<std::int32_t> rows(rowAt.back(), kUntouched);
    const auto row = [&](std::uint64_t r) { return std::span(rows).subspan(rowAt[r], rowAt[r + 1] - rowAt[r]); };
    // The last place one word too short for its record, when asked.
    const auto places = [&](bool lastShort) {
        std::vector<DataPlace> all;
        for (std::uint64_t r = 0; r < frames.size(); ++r) {
            const bool cut = lastShort && r == frames.size() - 1;
            all.push_back({r, &frames[r], row(r).first(row(r).size() - (cut ? 2 : 0))});
        }
        return all;
    };
    ASSERT_TRUE(reader->ReadData(places(false)));
    for (std::uint64_t r = 0; r < frames.size(); ++r) {
        const OwnedRecord want = r < 3000 ? Sample(r) : large[r - 3000];
        ASSERT_TRUE(std::ranges::equal(row(r).first(want.data.size()), want.data)) << r;
        ASSERT_EQ(row(r).back(), kUntouched) << r;
    }

    const std::uint64_t last = frames.size() - 1;
    Result<std::size_t> alone = reader->ReadData(last, frames[last], places(true).back().out);
    ASSERT_FALSE(alone);
    Status together = reader->ReadData(places(true));
    ASSERT_FALSE(together);
    EXPECT_EQ(together.error(), alone.error());

    // Damage inside a run.
    const std::uint64_t damaged = 1001;
    std::vector<std::byte> data = ReadBytes(sample.block / kDataFileName);
    data[frames[damaged].dataOffset + 1] ^= std::byte{1};
    WriteBytes(sample.block / kDataFileName, data);
    alone = reader->ReadData(damaged, frames[damaged], row(damaged));
    ASSERT_FALSE(alone);
    together = reader->ReadData(places(false));
    ASSERT_FALSE(together);
    EXPECT_EQ(together.error(), alone.error());
}

}  // namespace
}  // namespace orvo::tank::test
