#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/block_files.h"
#include "tankengine/storage/block_index.h"
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

// The records a cursor hands out, to its end.
template <class Cursor>
std::vector<std::uint64_t> RecordsOf(Cursor cursor)
{
    std::vector<std::uint64_t> records;
    for (;;) {
        Result<std::optional<IndexEntry>> entry = cursor.Next();
        EXPECT_TRUE(entry) << entry.error();
        if (!entry || !*entry) {
            return records;
        }
        records.push_back((*entry)->record);
    }
}

void ExpectIndex(const BlockReader& reader)
{
    ASSERT_EQ(reader.Stores().size(), 2u);
    EXPECT_EQ(reader.Stores()[0].code, Code("StrA"));
    EXPECT_EQ(reader.Stores()[0].first.timeStamp, 3);
    EXPECT_EQ(reader.Stores()[1].code, Code("StrB"));
    EXPECT_EQ(reader.Stores()[1].first.type, 0x8201);

    EXPECT_EQ(RecordsOf(StoreCursor(reader, Code("StrA"), -1)), (std::vector<std::uint64_t>{2, 8, 3, 5, 0, 6}));
    EXPECT_TRUE(RecordsOf(StoreCursor(reader, Code("None"), -1)).empty());
    EXPECT_EQ(RecordsOf(StoreCursor(reader, Code("StrA"), 1.5)), (std::vector<std::uint64_t>{3, 5, 0, 6}));
    EXPECT_EQ(RecordsOf(StoreCursor(reader, Code("StrA"), 5)), (std::vector<std::uint64_t>{6}));
    EXPECT_TRUE(RecordsOf(StoreCursor(reader, Code("StrA"), 6)).empty());
    EXPECT_EQ(RecordsOf(TimeOrderedCursor(reader, 2)), (std::vector<std::uint64_t>{1, 3, 4, 5, 0, 6}));
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

// A block of several chunks: the three sample stores, and a store whose
// records lie two chunks apart, so that reads skip the chunks without it.
constexpr std::uint64_t kLongRecords = 6 * kChunkFrames + 1000;

std::vector<OwnedRecord> LongSamples(std::uint64_t first, std::uint64_t end, double timeShift = 0)
{
    std::vector<OwnedRecord> owned;
    for (std::uint64_t i = first; i < std::min(end, kLongRecords); ++i) {
        owned.push_back(i % 9000 == 17 ? MakeRecord(Code("Rare"), static_cast<double>(i) * 0.001, 0, 1) : Sample(i));
        owned.back().head.timeStamp += timeShift;
    }
    return owned;
}

// What reads of a block answer, as one list: stores, counts, latest records,
// and windows from around and inside chunks, per store and merged.
std::vector<double> Reads(const BlockReader& reader)
{
    std::vector<double> seen = {static_cast<double>(reader.RecordCount())};
    for (const StoreSummary& store : reader.Stores()) {
        seen.insert(seen.end(), {static_cast<double>(store.code), store.first.timeStamp,
                                 static_cast<double>(reader.LatestRecord(store.code).value_or(0))});
    }
    // Records before `after` may or may not be handed out, index or walk.
    const auto take = [&seen](auto cursor, std::uint64_t after = 0) {
        for (int n = 0; n < 5000;) {
            Result<std::optional<IndexEntry>> entry = cursor.Next();
            if (!entry || !*entry) {
                seen.push_back(entry ? -1.0 : -2.0);
                return;
            }
            if ((*entry)->record >= after) {
                seen.insert(seen.end(), {(*entry)->time, static_cast<double>((*entry)->record)});
                ++n;
            }
        }
    };
    // Also exactly at a record, and at a chunk's last Wav1 record.
    const double atRecord = 13500 * 0.001;
    const double atChunksLast = (3 * kChunkFrames - 3) * 0.001;
    for (const double from : {-1.0, 0.0005, 4.096, 9.017, 12.5, atRecord, atChunksLast, 24.9995, 1e9}) {
        for (const char* store : {"Wav1", "Tick", "eSpk", "Rare", "None"}) {
            take(StoreCursor(reader, Code(store), from));
            // A continued read, from inside the fourth chunk.
            take(StoreCursor(reader, Code(store), from, 13001), 13001);
        }
        take(TimeOrderedCursor(reader, from));
    }
    return seen;
}

// Through the index, whole, torn, damaged, lying or another block's, and for
// a live reader, reads answer what walking every frame answers. A reopen
// rebuilds it; a record out of time order sends readers back to the walk.
TEST(BlockReading, ReadsThroughTheIndexAreThoseOfTheWalkWhateverBecameOfIt)
{
    orvo::test::ScratchDir scratch;
    const std::filesystem::path tank = scratch.path() / "tank";
    ASSERT_TRUE(CreateTank(tank));
    Result<BlockWriter> other = BlockWriter::Create(tank, "Other", "", 0);
    ASSERT_TRUE(other && other->Append(Views(LongSamples(0, kLongRecords, 0.0005))) && other->Close(1));
    const std::vector<std::byte> otherIndex = ReadBytes(tank / "Other" / kIndexFileName);

    // A live reader from the second chunk on, reading half way.
    Result<BlockWriter> writer = BlockWriter::Create(tank, "Long", "", 0);
    ASSERT_TRUE(writer);
    std::optional<BlockReader> live;
    for (std::uint64_t first = 0; first < kLongRecords; first += 700) {
        ASSERT_TRUE(writer->Append(Views(LongSamples(first, first + 700))));
        if (live) {
            ASSERT_TRUE(live->Refresh());
            if (first == 14000) {
                (void)Reads(*live);
            }
        } else if (first > kChunkFrames) {
            live.emplace(*BlockReader::Open(writer->Dir()));
        }
    }
    ASSERT_TRUE(writer->Close(1));
    const std::filesystem::path block = tank / "Long";
    const std::filesystem::path indexFile = block / kIndexFileName;
    const std::vector<std::byte> index = ReadBytes(indexFile);
    ASSERT_EQ(index.size(), kFileHeaderBytes + 6 * kCheckpointBytes);
    EXPECT_EQ(otherIndex.size(), index.size());

    std::filesystem::remove(indexFile);
    Result<BlockReader> walked = BlockReader::Open(block);
    ASSERT_TRUE(walked);
    ASSERT_EQ(walked->IndexedRecords(), 0u);
    const std::vector<double> want = Reads(*walked);
    EXPECT_EQ(live->IndexedRecords(), 6 * kChunkFrames) << "the live reader did not take up the checkpoints";
    EXPECT_EQ(Reads(*live), want);

    const auto lastCheckpoint = static_cast<std::ptrdiff_t>(CheckpointOffset(5));
    const auto lying = [&] {
        std::optional<Checkpoint> last =
            DecodeCheckpoint(std::span(index).subspan(CheckpointOffset(5)).first<kCheckpointBytes>());
        last->stores[1].lastTime += 1;
        std::vector<std::byte> changed = index;
        std::ranges::copy(EncodeCheckpoint(*last), changed.begin() + lastCheckpoint);
        return changed;
    };
    const auto flipped = [&](std::uint64_t at) {
        std::vector<std::byte> changed = index;
        changed[at] ^= std::byte{0x04};
        return changed;
    };
    // A torn last checkpoint is what a killed writer leaves, not a problem.
    struct Case {
        const char* what;
        std::vector<std::byte> file;
        std::uint64_t indexed;
        bool told;
    } cases[] = {
        {"whole", index, 6 * kChunkFrames, false},
        {"torn in its last checkpoint", {index.begin(), index.begin() + lastCheckpoint + 100}, 5 * kChunkFrames, false},
        {"last checkpoint flipped", flipped(CheckpointOffset(5) + 40), 5 * kChunkFrames, false},
        {"a middle checkpoint flipped", flipped(CheckpointOffset(2) + 40), 6 * kChunkFrames, true},
        {"lying about a time", lying(), 5 * kChunkFrames, false},
        {"of another block", otherIndex, 0, true},
        {"no index", flipped(3), 0, true},
    };
    for (const Case& c : cases) {
        WriteBytes(indexFile, c.file);
        Result<BlockReader> reader = BlockReader::Open(block);
        ASSERT_TRUE(reader) << c.what;
        EXPECT_EQ(reader->IndexedRecords(), c.indexed) << c.what;
        EXPECT_EQ(Reads(*reader), want) << c.what;
        EXPECT_EQ(reader->IndexProblem().has_value(), c.told) << c.what;
    }

    // After a torn checkpoint, reopening rebuilds the index; an older record appended.
    WriteBytes(indexFile, cases[1].file);
    writer = BlockWriter::OpenForAppend(block);
    ASSERT_TRUE(writer);
    std::vector<OwnedRecord> older = {MakeRecord(Code("Tick"), 1.0, 0, 2)};
    ASSERT_TRUE(writer->Append(Views(older)));
    ASSERT_TRUE(writer->Close(2));
    IndexBuilder rebuilt;
    std::uint64_t record = 0;
    for (const OwnedRecord& r : LongSamples(0, kLongRecords)) {
        rebuilt.Add(record++, r.head);
    }
    const std::vector<std::byte> reopened = ReadBytes(indexFile);
    ASSERT_EQ(reopened.size(), index.size());
    EXPECT_TRUE(std::ranges::equal(std::span(reopened).subspan(kFileHeaderBytes), rebuilt.Pending()));
    Result<BlockReader> reread = BlockReader::Open(block);
    EXPECT_EQ(reread->IndexedRecords(), 0u);
    std::filesystem::remove(indexFile);
    EXPECT_EQ(Reads(*reread), Reads(*BlockReader::Open(block)));
}

// The folding checksum equals zlib's around its 16-, 64- and 256-byte steps.
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

// Records read together land in their own rows, past the limit of pieces per
// call and across run cuts; a failure reads as the single read tells it.
TEST(BlockReading, DataOfManyRecordsReadTogetherAreEachRecordsOwn)
{
    SampleTank sample(3000);
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(sample.block);
    ASSERT_TRUE(writer);
    // Around the run cuts of reads (1 MiB) and appends (8 MiB).
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
