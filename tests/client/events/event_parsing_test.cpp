#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <orvo/OrvoCI.h>
#include "protocol/StoreCode.h"
#include "tests/client/support/isolated.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

SQHead Head(std::int32_t type, std::uint8_t format, double value = 0.0, std::uint16_t channel = 0,
            std::int16_t sortCode = 0)
{
    return SQHead{0, type, PackStoreCode("Wav1"), channel, sortCode, 1.5, value, format, 0, 0, 0, 0.0f};
}

class EventParsingTest : public EngineTest {
protected:
    using EngineTest::EngineTest;

    // Puts records into the client's event buffer, rows width words wide.
    void Read(ULONG width, std::vector<std::vector<LONG>> records)
    {
        const LONG count = static_cast<LONG>(records.size());
        EXPECT_CALL(*engine, ReadEvents(1, _, _, _, _, _, _, _, _)).WillOnce(Rows(width, records, count));
        ASSERT_EQ(client->GetEvents(nullptr, 100, 0, 0, 0, 0.0, 0.0, 0), count);
    }
};

TEST_F(EventParsingTest, ConvertsEveryFormatWithinTheRowWidth)
{
    Connect();
    float floats[2] = {1.25f, NAN};
    std::vector<LONG> floatWords(2), shortWords(2), byteWords(1);
    std::memcpy(floatWords.data(), floats, sizeof floats);
    const std::int16_t shorts[4] = {-1, 2, -32768, 32767};
    std::memcpy(shortWords.data(), shorts, sizeof shorts);
    const unsigned char bytes[4] = {0xFF, 0x01, 0x80, 0x7F};
    std::memcpy(byteWords.data(), bytes, sizeof bytes);
    // Rows are 12 words wide: two data words each, whatever a record holds.
    Read(12, {Words(Head(0x8101, 0), floatWords), Words(Head(0x8101, 1), {-7, 1 << 30}),
              Words(Head(0x8101, 2), shortWords), Words(Head(0x8101, 3), byteWords)});
    const std::vector<std::vector<float>> expected = {
        {1.25f, NAN}, {-7.0f, 1073741824.0f}, {-1, 2, -32768, 32767}, {-1, 1, -128, 127, 0, 0, 0, 0}};
    for (LONG row = 0; row < 4; ++row) {
        std::vector<float> data(8, -99.0f);
        LONG npts = 8;
        ASSERT_EQ(client->ParseEv(row, nullptr, nullptr, nullptr, data.data(), &npts), row + 1);
        ASSERT_EQ(npts, static_cast<LONG>(expected[row].size())) << row;
        data.resize(static_cast<std::size_t>(npts));
        // Bit for bit, so the NaN of the float row must survive too.
        EXPECT_EQ(std::memcmp(data.data(), expected[row].data(), data.size() * sizeof(float)), 0) << row;
    }
    EXPECT_EQ(client->ParseEv(4, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(EventParsingTest, CapacityAndFormatFailuresWriteOnlyTheHeaderOutputs)
{
    Connect();
    Read(266, {Words(Head(0x8201, 2, 0.0, 65535, -1)), Words(Head(0x8101, 4)), Words(Head(0x0201, 4, 2.5))});
    double time = 0;
    LONG channel = 0, sortCode = 0, npts = 0;
    // A first call without data tells the caller how much room to give.
    EXPECT_EQ(client->ParseEv(0, &time, &channel, &sortCode, nullptr, &npts), 1);
    EXPECT_EQ(npts, 512);
    EXPECT_EQ(channel, 65535);
    EXPECT_EQ(sortCode, -1);
    std::vector<float> data(512, -99.0f);
    EXPECT_EQ(client->ParseEv(0, nullptr, nullptr, nullptr, data.data(), &npts), 1);
    npts = 511;
    channel = 0;
    EXPECT_EQ(client->ParseEv(0, &time, &channel, nullptr, data.data(), &npts), -1);
    EXPECT_EQ(channel, 65535);
    EXPECT_EQ(npts, 511);
    EXPECT_EQ(client->ParseEv(0, nullptr, nullptr, nullptr, data.data(), nullptr), -1);
    // Double records cannot be converted; the count stays untouched.
    npts = 1000;
    EXPECT_EQ(client->ParseEv(1, nullptr, nullptr, nullptr, data.data(), &npts), -1);
    EXPECT_EQ(npts, 1000);
    // A scalar yields its value as one float.
    npts = 1;
    EXPECT_EQ(client->ParseEv(2, &time, nullptr, nullptr, data.data(), &npts), 3);
    EXPECT_EQ(data[0], 2.5f);
    EXPECT_EQ(npts, 1);
    EXPECT_EQ(time, 1.5);
    EXPECT_EQ(client->ParseEv(3, &time, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(client->ParseEv(-1, &time, nullptr, nullptr, nullptr, nullptr), 0);
}

class ParseWarningTest : public EventParsingTest {
protected:
    ParseWarningTest() : EventParsingTest(true) {}
};

// The installation folder is resolved once per process, so the warnings are
// checked in a child that runs this test alone from the start.
TEST_F(ParseWarningTest, CapacityWarningsGoToTheFileLog)
{
    Connect();
    Read(12, {Words(Head(0x8101, 0))});
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            float data[2];
            LONG npts = 1;
            client->ParseEv(0, nullptr, nullptr, nullptr, data, nullptr);
            client->ParseEv(0, nullptr, nullptr, nullptr, data, &npts);
            std::ifstream file(base.path() / "exe.logs" /
                               ("client_tests." + std::to_string(getpid()) + ".libOrvoCI.Release.log"));
            std::stringstream text;
            text << file.rdbuf();
            const std::string log = text.str();
            ChildExpect(log.find(": OrvoCI(") != std::string::npos, log);
            ChildExpect(log.find("): WARN: OrvoCI::ParseEv: NULL npts passed... how big is the pData buffer?\n") !=
                            std::string::npos, log);
            ChildExpect(log.find("): WARN: OrvoCI::ParseEv: Not enough space allocated.\n") != std::string::npos, log);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(EventParsingTest, EpocsAreTakenByTheirWholeCodeWord)
{
    Connect();
    std::vector<std::vector<LONG>> records;
    for (int i = 0; i < 7; ++i) {
        SQHead head = Head(i == 6 ? 0x8101 : 0x0102, 4, 10.0 + i, i % 2 == 0 ? 0x6666 : 0x7777, 0x1234);
        head.timeStamp = i;
        records.push_back(Words(head));
    }
    Read(10, records);
    std::vector<double> times(7, -1), values(7, -1);
    std::vector<LONG> codes(7, -1);
    EXPECT_EQ(client->ParseEpocs(times.data(), values.data(), 0, 0, codes.data()), 7);
    EXPECT_EQ(values, (std::vector<double>{10, 11, 12, 13, 14, 15, 0.0}));
    EXPECT_EQ(codes[1], 0x12347777);
    const std::vector<double> before = times;
    EXPECT_EQ(client->ParseEpocs(times.data(), nullptr, 0, 0x7777, nullptr), 0);
    EXPECT_EQ(times, before);
    EXPECT_EQ(client->ParseEpocs(times.data(), values.data(), 0, 0x12347777, nullptr), 3);
    EXPECT_EQ(std::vector<double>(times.begin(), times.begin() + 3), (std::vector<double>{1, 3, 5}));
}

}  // namespace
}  // namespace orvo::test
