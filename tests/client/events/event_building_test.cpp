#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include <orvo/OrvoCI.h>
#include "protocol/StoreCode.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

constexpr LONG kLongMax = std::numeric_limits<LONG>::max();

// What the engine received from SaveEvents: words per record, records, words.
struct Saved {
    ULONG width = 0, records = 0;
    std::vector<LONG> words;
    SQHead Head(std::size_t record) const { return ReadHeader(&words[record * width]); }
    const LONG* Data(std::size_t record) const { return &words[record * width + kHeaderWords]; }
};

class EventBuildingTest : public EngineTest {
protected:
    void SetUp() override { Connect(); }

    // Sends nRecords records through the engine and captures them.
    Saved Save(const LONG* records, LONG nRecords)
    {
        Saved saved;
        EXPECT_CALL(*engine, SaveEvents(1, _)).WillOnce([&](LONG, VARIANT* v) {
            EXPECT_EQ(v->vt, VT_ARRAY | VT_I4);
            LONG upper1 = -1, upper2 = -1;
            SafeArrayGetUBound(v->parray, 1, &upper1), SafeArrayGetUBound(v->parray, 2, &upper2);
            saved.width = static_cast<ULONG>(upper1 + 1), saved.records = static_cast<ULONG>(upper2 + 1);
            const LONG* data = static_cast<LONG*>(v->parray->pvData);
            saved.words.assign(data, data + saved.width * saved.records);
            return 77;
        });
        EXPECT_EQ(client->SaveEvents(records, nRecords), 77);
        return saved;
    }
};

TEST_F(EventBuildingTest, PointEventsChainAndSaveAsRowsOfTheFirstWidth)
{
    EXPECT_EQ(client->BuildScalarEv(0, "Tick", 0x50003, 1.5, 2.5), 10);
    EXPECT_EQ(client->BuildStrobeEv(10, "Stim", 2.0, 7.0, nullptr), 20);
    EXPECT_EQ(client->BuildStrobeEv(20, "Stim", 3.0, 8.0, ""), 30);
    EXPECT_EQ(client->BuildStrobeEv(30, "Stim", 4.0, 9.0, "Off1"), 40);
    const Saved saved = Save(nullptr, 4);
    ASSERT_EQ(saved.width, 10u);
    ASSERT_EQ(saved.records, 4u);
    const SQHead s = saved.Head(0);
    EXPECT_EQ(std::tuple(s.type, s.code, s.channel, s.sortCode, s.dataFormat, s.value),
              std::tuple(0x0201, PackStoreCode("Tick"), 3, 5, 4, 2.5));
    EXPECT_EQ(std::tuple(saved.Head(1).type, saved.Head(2).type, saved.Head(3).type), std::tuple(0x0101, 0x0101, 0x0102));
    EXPECT_EQ(saved.words[10 + 3], 0);
    EXPECT_EQ(saved.words[30 + 3], PackStoreCode("Off1"));
}

TEST_F(EventBuildingTest, TheBufferGrowsAtLeastDoublingAndKeepsItsContent)
{
    EXPECT_EQ(client->BuildScalarEv(0, "Tick", 1, 1.0, 1.0), 10);
    // The first build makes room for 32768 words: more rows than that are
    // refused rather than read from beyond the buffer.
    EXPECT_EQ(client->SaveEvents(nullptr, 3277), -1);
    EXPECT_CALL(*engine, GetError(1, _)).WillOnce(Return(0));
    EXPECT_NE(client->GetError().Find("SaveEvents"), -1);
    EXPECT_EQ(client->CheckBEV(32767), 1);
    EXPECT_EQ(client->SaveEvents(nullptr, 3277), -1);
    EXPECT_EQ(client->CheckBEV(32768), 1);
    const Saved saved = Save(nullptr, 6553);
    EXPECT_EQ(saved.Head(0).code, PackStoreCode("Tick"));
    EXPECT_EQ(saved.words[10], 0);  // fresh words are zero
}

TEST_F(EventBuildingTest, StreamRecordsFollowTheTemplate)
{
    client->SetBuildHead("Wav1", 2, 500.5f, 30);
    std::vector<LONG> samples(30);
    for (LONG i = 0; i < 30; ++i) samples[static_cast<std::size_t>(i)] = i + 100;
    EXPECT_EQ(client->BuildStreamEv(0, 9, 4.0, samples.data(), 0), 40);
    EXPECT_EQ(client->BuildStreamEv(40, 9, 5.0, nullptr, 2 | 4), 80);
    const Saved saved = Save(nullptr, 2);
    ASSERT_EQ(saved.width, 40u);
    const SQHead h = saved.Head(0);
    EXPECT_EQ(std::tuple(h.type, h.dataFormat, h.sampleFreq, h.channel), std::tuple(0x8101, 2, 500.5f, 9));
    EXPECT_EQ(saved.Data(0)[29], 129);
    EXPECT_EQ(saved.Head(1).type, 0x8111 | 0x0020);
    EXPECT_EQ(saved.Data(1)[0], 0);  // header only: the data area is not written

    client->SetBuildHead("Wav4", 0, 0.0f, 3);
    std::vector<LONG> interleaved(12);
    for (LONG i = 0; i < 12; ++i) interleaved[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(client->BuildStreamEvMC(100, 1, 4, 6.0, interleaved.data(), 0), 152);
    EXPECT_EQ(client->BuildStreamEvMC(0, 1, 4, 6.0, nullptr, 4), 52);
    EXPECT_EQ(client->BuildStreamEvMC(0, 1, 0, 6.0, nullptr, 0), 0);
    const Saved multi = Save(nullptr, 4);
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(std::tuple(multi.Head(c).channel, multi.Head(c).type), std::tuple(c + 1, 0x8121));
    }
    // Channel 3 took every fourth sample from sample 2.
    const Saved both = Save(nullptr, 12);
    const LONG* channel3 = &both.words[100 + 2 * 13];
    EXPECT_EQ(ReadHeader(channel3).channel, 3);
    EXPECT_EQ(std::vector<LONG>(channel3 + 10, channel3 + 13), (std::vector<LONG>{2, 6, 10}));
}

TEST_F(EventBuildingTest, SnippetsTakeTheirTimeAndSortCodeFromTheData)
{
    client->SetBuildHead("Snip", 0, 24414.0625f, 2);
    float packedTime = 3.25f;
    LONG data[4] = {0, 11, 12, 6};
    std::memcpy(&data[0], &packedTime, sizeof packedTime);
    EXPECT_EQ(client->BuildSnipEv(0, 0x12345, -1.0, data, 1), 12);
    EXPECT_EQ(client->BuildSnipEv(12, 0x12345, 8.0, data, 0), 24);
    const Saved saved = Save(nullptr, 2);
    const SQHead first = saved.Head(0), second = saved.Head(1);
    EXPECT_EQ(std::tuple(first.type, first.timeStamp, first.channel, first.sortCode), std::tuple(0x8201, 3.25, 0x2345, 6));
    EXPECT_EQ(saved.Data(0)[1], 12);
    EXPECT_EQ(std::tuple(second.timeStamp, second.sortCode), std::tuple(8.0, 1));  // the channel's high half, unmasked
}

// Sizes and positions whose arithmetic leaves 32 bits, or a template wider
// than the room a snippet build makes, must fail or fit, never overrun.
TEST_F(EventBuildingTest, OversizedBuildsFailOrFitWithoutOverrun)
{
    EXPECT_EQ(client->BuildScalarEv(kLongMax - 5, "Tick", 1, 0.0, 0.0), -1);
    EXPECT_EQ(client->BuildScalarEv(-10, "Tick", 1, 0.0, 0.0), -1);
    EXPECT_EQ(client->CheckBEV(kLongMax), 0);
    client->SetBuildHead("Wav1", 0, 1.0f, 70000);
    std::vector<LONG> wide(70002, 5);
    EXPECT_EQ(client->BuildSnipEv(3, 1, 1.0, wide.data(), 0), 70013);
    EXPECT_EQ(client->BuildStreamEvMC(0, 1, 40000, 1.0, wide.data(), 4), -1);  // 70010 x 40000 words
    EXPECT_EQ(client->BuildStreamEv(kLongMax - 70000, 1, 1.0, wide.data(), 0), -1);
    client->SetBuildHead("Wav1", 0, 1.0f, kLongMax - 5);
    EXPECT_EQ(client->BuildStreamEv(0, 1, 1.0, wide.data(), 0), -1);
    client->SetBuildHead("Wav1", 0, 1.0f, 0);
    EXPECT_EQ(client->BuildSnipEv(0, 1, 1.0, wide.data(), 0), -1);
    EXPECT_EQ(client->BuildStreamEv(0, 1, 1.0, wide.data(), 0), -1);
}

TEST_F(EventBuildingTest, SavingNeedsAClientAndRecords)
{
    EXPECT_EQ(client->SaveEvents(nullptr, 1), -1);  // nothing built yet
    const LONG record[10] = {10, 0x0201};
    EXPECT_EQ(client->SaveEvents(record, 0), -1);
    const Saved saved = Save(record, 1);
    EXPECT_EQ(saved.records, 1u);
    OrvoCI unconnected;
    EXPECT_EQ(unconnected.SaveEvents(record, 1), 0);
}

}  // namespace
}  // namespace orvo::test
