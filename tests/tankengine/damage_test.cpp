// Damaged blocks through the client: reads that meet damage fail naming the
// block, file and record, waveforms are never zeros instead, and a broken
// block never hides the others from a listing.
#include "tests/tankengine/tank_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <orvo/platform/variant.h>

namespace orvo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr LONG kChannelSetting = 2;
constexpr std::int64_t kBatches = 8;  // of kChannels Float stream records each
constexpr std::uint64_t kFrameBytes = 72;
constexpr std::uint64_t kRecordDataBytes = kRecordSamples * 4;

class DamageTest : public TankTest {
protected:
    void Record(const char* block, std::int64_t batches = kBatches)
    {
        ASSERT_TRUE(ci.StartRecord(block)) << Error();
        for (std::int64_t b = 0; b < batches; ++b) {
            ASSERT_EQ(SaveStreamRecord(ci, "Wav1", kFloatFormat, b), kChannels) << Error();
        }
        ci.StopRecord();
    }
    // What GetBlockInfo tells of the selected block's state.
    std::string State()
    {
        CString state;
        EXPECT_TRUE(ci.GetBlockInfo(nullptr, nullptr, &state, nullptr, nullptr, nullptr)) << Error();
        return state.GetString();
    }
    // The answers of a continued read of every store up to `end`.
    std::vector<LONG> ReadAnswers(LONG batch, double end = 0)
    {
        std::vector<LONG> answers;
        for (LONG options = 0; answers.size() < 1000; options = kContinue) {
            answers.push_back(ci.GetEvents(nullptr, batch, 0, 0, 0, 0.0, end, options));
            if (answers.back() < 1) {
                break;
            }
        }
        return answers;
    }
    LONG Waves(LONG channel, VARIANT* out = nullptr)
    {
        ci.SetGlobal(kChannelSetting, channel);
        return ci.GetWaves(PackStoreCode("Wav1"), out);
    }
};

// 64 bytes flipped inside one record's data: reads that reach that record
// fail and name it, also inside waveform reads; the rest reads as written.
TEST_F(DamageTest, DamagedDataFailTheReadsThatReachThem)
{
    Record("Data");
    constexpr std::uint64_t kDamaged = 4 * kChannels + 3;  // batch 4, channel 4
    const std::uint64_t offset = 16 + kDamaged * kRecordDataBytes;
    ASSERT_TRUE(InvertBytes(BlockDir("Data") / "events.dat", offset + 100, 64));
    ASSERT_TRUE(ci.SelectBlock("Data")) << Error();
    EXPECT_EQ(State(), "stopped");  // data are checked when they are read

    const std::string damage = "record " + std::to_string(kDamaged) + " of " + BlockDir("Data").string() +
                               ": data checksum mismatch at offset " + std::to_string(offset) + " of " +
                               (BlockDir("Data") / "events.dat").string();
    EXPECT_EQ(ReadAnswers(1000), std::vector<LONG>{-1});
    EXPECT_THAT(Error(), StartsWith("ReadEvents: " + damage));
    // A continued read does not step over the damaged record.
    EXPECT_EQ(ReadAnswers(50), (std::vector<LONG>{50, -1}));
    EXPECT_EQ(ci.GetEvents(nullptr, 50, 0, 0, 0, 0.0, 0.0, kContinue), -1);
    EXPECT_THAT(Error(), HasSubstr(damage));

    EXPECT_EQ(ReadAnswers(1000, RecordTime(4)), (std::vector<LONG>{4 * kChannels, 0}));
    EXPECT_EQ(ci.GetEvents(nullptr, 1000, 0, 0, 0, 0.0, 0.0, kHeadersOnly), kBatches * kChannels);

    Variant out;
    EXPECT_EQ(Waves(4, out.out()), -1);
    EXPECT_EQ(out->vt, VT_EMPTY);
    EXPECT_THAT(Error(), HasSubstr(damage));
    EXPECT_EQ(ci.GetWavesOnTimeRange(PackStoreCode("Wav1"), 4, out.out()), -1);
    EXPECT_THAT(Error(), HasSubstr(damage));
    EXPECT_EQ(ci.GetEventsSimple(PackStoreCode("Wav1")), -1);
    EXPECT_THAT(Error(), HasSubstr(damage));
    // Another channel's records are whole.
    EXPECT_EQ(Waves(3, out.out()), 1) << Error();
}

// A flipped frame inside a block: listed, selected, told damaged, records
// before it read, reads reaching it fail; a flipped last frame is a torn tail.
TEST_F(DamageTest, DamagedFrameInsideTheBlockIsDamageAndTheLastOneATornTail)
{
    Record("Before", 1);
    Record("Frames");
    Record("After", 1);
    constexpr std::uint64_t kDamaged = 5 * kChannels + 2;  // batch 5, channel 3
    const std::filesystem::path headers = BlockDir("Frames") / "events.hdr";
    ASSERT_TRUE(InvertBytes(headers, 16 + kDamaged * kFrameBytes + 30, 4));
    ASSERT_TRUE(InvertBytes(BlockDir("After") / "events.hdr", 16 + (kChannels - 1) * kFrameBytes + 30, 4));

    EXPECT_EQ(BlockNames(), (std::vector<std::string>{"Before", "Frames", "After"}));

    ASSERT_TRUE(ci.SelectBlock("Frames")) << Error();
    const std::string damage = "record " + std::to_string(kDamaged) + " of " + BlockDir("Frames").string() +
                               ": damaged frame at offset " + std::to_string(16 + kDamaged * kFrameBytes) + " of " +
                               headers.string() + "; " + std::to_string(kBatches * kChannels - kDamaged - 1) +
                               " valid records lie past it";
    EXPECT_EQ(State(), "stopped; damaged: " + damage);
    EXPECT_EQ(ReadAnswers(50), (std::vector<LONG>{50, -1}));
    EXPECT_THAT(Error(), StartsWith("ReadEvents: " + damage));
    // Only windows ending before the last good record (at RecordTime(5)) are whole.
    const double lastGood = RecordTime(5);
    EXPECT_EQ(ReadAnswers(1000, std::nextafter(lastGood, 0.0)), (std::vector<LONG>{5 * kChannels, 0}));
    EXPECT_EQ(ReadAnswers(1000, lastGood), std::vector<LONG>{-1});
    EXPECT_THAT(Error(), HasSubstr(damage));
    EXPECT_EQ(ci.GetEventCodes(nullptr, 0), -1);
    EXPECT_THAT(Error(), HasSubstr(damage));
    EXPECT_EQ(Waves(1), -1);
    EXPECT_THAT(Error(), HasSubstr(damage));

    ASSERT_TRUE(ci.SelectBlock("After")) << Error();
    EXPECT_EQ(State(), "stopped");
    EXPECT_EQ(ReadAnswers(1000), (std::vector<LONG>{kChannels - 1, 0}));
}

// A block without information is listed last and says why it cannot be read;
// one without notes has none.
TEST_F(DamageTest, BlocksThatLostFilesAreListedAndSayWhatIsWrong)
{
    for (const char* block : {"A", "B", "C"}) {
        Record(block, 1);
    }
    std::filesystem::remove(BlockDir("A") / "notes.txt");
    std::filesystem::remove(BlockDir("B") / "block.info");
    std::ofstream(BlockDir("C") / "events.hdr", std::ios::trunc) << "not a header file";
    std::filesystem::create_directory(BlockDir("empty"));

    EXPECT_EQ(BlockNames(), (std::vector<std::string>{"A", "C", "B", "empty"}));
    EXPECT_STREQ(ci.GetTankItem("T1", "BLOCKS"), "4");

    ASSERT_TRUE(ci.SelectBlock("A")) << Error();
    CString notes("not read");
    ASSERT_TRUE(ci.GetBlockInfo(nullptr, nullptr, nullptr, nullptr, nullptr, &notes)) << Error();
    EXPECT_STREQ(notes, "");
    EXPECT_EQ(ReadAnswers(1000), (std::vector<LONG>{kChannels, 0}));

    EXPECT_EQ(ci.SelectBlock("B"), 0);
    EXPECT_THAT(Error(), StartsWith("SelectBlock: block B of tank T1 is unreadable: cannot open " +
                                    (BlockDir("B") / "block.info").string()));
    EXPECT_EQ(ci.SelectBlock("C"), 0);
    EXPECT_THAT(Error(), StartsWith("SelectBlock: block C of tank T1 is unreadable: " +
                                    (BlockDir("C") / "events.hdr").string() + " is not a block header file"));
    EXPECT_EQ(ci.SelectBlock("D"), 0);
    EXPECT_THAT(Error(), StartsWith("SelectBlock: no block D in tank T1"));
}

}  // namespace
}  // namespace orvo::test
