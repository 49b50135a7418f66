#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace orvo::tank::test
