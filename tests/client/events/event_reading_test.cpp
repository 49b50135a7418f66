#include <orvo/OrvoCI.h>

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <orvo/platform/safearray.h>
#include "protocol/StoreCode.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using EventReadingTest = EngineTest;

TEST_F(EventReadingTest, VideoStoreReadsSendOneNotice)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET, addr.sin_port = htons(41257), addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(sock);
        GTEST_SKIP() << "port 41257 is busy";
    }
    timeval wait{0, 150000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    client->OpenTank("T1", 0), client->SelectBlock("B1");
    Connect();
    const struct { const char* store; double value; bool pointer; const char* notice; } cases[] = {
        {"vid1", 120.9, true, "OrvoCI:120;BLOCKNAME:B1;TANKNAME:T1"},
        {"VID7", -3.7, true, "OrvoCI:-3;BLOCKNAME:B1;TANKNAME:T1"},
        {"vid1", 1e300, true, ""}, {"vid1", 5.0, false, ""}, {"vidA", 5.0, true, ""}, {"wav1", 5.0, true, ""},
    };
    // Reads one scalar of store and answers the notices it sent, each ended by "|".
    const auto noticesOfRead = [&](const char* store, double value, bool pointer) {
        SQHead head{10, 0x0201, PackStoreCode(store), 0, 0, 0.0, value, 4, 0, 0, 0, 0.0f};
        EXPECT_CALL(*engine, ReadEvents(1, _, 1, PackStoreCode(store), 0, 0, 0.0, 0.0, 0))
            .WillOnce(Rows(10, {Words(head)}, 1));
        LONG* data = nullptr;
        EXPECT_EQ(client->GetEvents(pointer ? &data : nullptr, 1, PackStoreCode(store), 0, 0, 0.0, 0.0, 0), 1);
        std::string got;
        char buffer[2100];
        for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) > 0;) got += std::string(buffer, n) + "|";
        return got;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(noticesOfRead(c.store, c.value, c.pointer), *c.notice ? std::string(c.notice) + "|" : "")
            << c.store << " " << c.value;
    }
    // A name that could add fields to the notice, or break its line, sends none.
    EXPECT_CALL(*engine, OpenTank(1, _, 0)).WillRepeatedly(Return(1));
    EXPECT_CALL(*engine, SelectBlock(1, _)).WillRepeatedly(Return(0));
    for (const auto& [tank, block] : {std::pair{"T1", "B;TANKNAME:x"}, std::pair{"T;1", "B1"},
                                     std::pair{"T1", "B1\nOrvoCI:9"}}) {
        client->OpenTank(tank, 0), client->SelectBlock(block);
        EXPECT_EQ(noticesOfRead("vid1", 5.0, true), "") << tank << " " << block;
    }
    close(sock);
}

TEST_F(EventReadingTest, RowsAndHeaderItems)
{
    Connect();
    SQHead head{42, 0x8111, PackStoreCode("Wav1"), 65535, -3, 2.5, 0.0, 2, 13, 12, 11, 0.0f};
    std::vector<std::vector<LONG>> heads;
    for (int i = 0; i < 3; ++i) std::memcpy(&head.sampleFreq, &i, 4), heads.push_back(Words(head));
    EXPECT_CALL(*engine, ReadEvents(1, _, 5, 0, 0, 0, 0.0, 0.0, 0)).WillOnce(Rows(266, heads, 5));
    LONG* data = nullptr;
    EXPECT_EQ(client->GetEvents(&data, 5, 0, 0, 0, 0.0, 0.0, 0), 3);  // no more than the rows held
    LONG words = 0;
    EXPECT_EQ(client->GetEvPtr(-1, &words), client->GetEvPtr(3, &words));  // both null
    EXPECT_EQ(client->GetEvPtr(2, &words), data + 2 * 266);
    EXPECT_EQ(words, 256);
    const struct { LONG item; double value; } items[] = {
        {0, 0.0}, {10, 0.0}, {14, 0.0}, {1, 128.0}, {2, 33025.0}, {4, 65535.0}, {5, -3.0}, {11, 11.0}, {13, 13.0}};
    for (const auto& c : items) {
        EXPECT_EQ(client->ParseEvHeaderInfo(data, c.item), c.value) << c.item;
        EXPECT_EQ(client->ParseEvHeaderInfo(LONG{1}, c.item), c.value) << c.item;
    }
    EXPECT_EQ(client->ParseEvHeaderInfo(LONG{3}, 2), 0.0);
    Variant index;
    client->FillEvNqaIdx(index.out());
    ASSERT_EQ(index->vt, VT_ARRAY | VT_I4);
    const LONG* got = static_cast<LONG*>(index->parray->pvData);
    EXPECT_EQ(std::vector<LONG>(got, got + 3), (std::vector<LONG>{0, 1, 2}));
}

// A shape other than the one promised must never be walked as rows.
TEST_F(EventReadingTest, MalformedEngineArraysAreNoData)
{
    Connect();
    SQHead head{10, 0x0201, 1, 0, 0, 0.0, 1.0, 4, 0, 0, 0, 0.0f};
    EXPECT_CALL(*engine, ReadEvents(1, _, _, _, _, _, _, _, _))
        .WillOnce(Rows(40, {Words(head)}, 4, VT_I4, 1)).WillOnce(Rows(10, {Words(head), Words(head)}, 2, VT_R8))
        .WillOnce(Rows(9, {Words(head)}, 1)).WillOnce(Rows(10, {}, 1));
    for (int i = 0; i < 4; ++i) {
        LONG* data = nullptr;
        VARIANT index{};
        EXPECT_EQ(client->GetEvents(&data, 1, 0, 0, 0, 0.0, 0.0, 0), 0) << i;
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(client->GetEvPtr(0, nullptr), nullptr);
        client->FillEvNqaIdx(&index);
        EXPECT_EQ(index.vt, VT_EMPTY);
    }
    EXPECT_CALL(*engine, GetEventCodes(1, _, 0)).WillOnce(Rows(10, {Words(head)}, 1));
    EXPECT_EQ(client->GetEventCodes(nullptr, 0), 0);
}

TEST_F(EventReadingTest, SupplementsAnswerCodeQueries)
{
    Connect();
    const std::string notes = "[USERNOTEDELIMITER]NAME=StoreName;VALUE=Wav1;\r\nNAME=Enabled;VALUE=0;\r\n[STOREHDRITEM]"
                              "NAME=StoreName;VALUE=Snip;\r\nNAME=Enabled;VALUE=2;\r\nNAME=NumPoints;VALUE=30;\r\n[STOREHDRITEM]";
    EXPECT_CALL(*engine, SelectBlock(1, _)).WillOnce(Return(1));
    EXPECT_CALL(*engine, GetBlockInfo(1, _, _, _, _, _, _)).WillOnce(ReturnText<6>(notes, 1));
    ASSERT_EQ(client->SelectBlock("B1"), 1);
    EXPECT_EQ(client->GetEventCodes(nullptr, 0), 0);
    EXPECT_EQ(client->GetEvPtr(0, nullptr), nullptr);
    LONG npts = 0;
    EXPECT_EQ(client->GetCodeSpecsLazy(PackStoreCode("Snip"), nullptr, &npts, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(npts, 30);
    EXPECT_EQ(client->GetCodeSpecsLazy(PackStoreCode("Nope"), nullptr, &npts, nullptr, nullptr, nullptr), 0);
}

TEST(EventReading, PointsTextsAndVariants)
{
    const struct { LONG size, type; BYTE format; LONG points; } records[] = {
        {42, 0x8201, 2, 64}, {42, 0x8101, 4, 16}, {42, 0x8101, 3, 128}, {42, 0x0201, 2, 1}, {-5, 0x8101, 2, 0}};
    for (const auto& r : records) {
        SQHead head{r.size, r.type, 0, 0, 0, 0.0, 0.0, r.format, 0, 0, 0, 0.0f};
        EXPECT_EQ(OrvoCI::GetNpts(reinterpret_cast<LONG*>(&head)), r.points) << r.size << " " << r.type;
    }
    EXPECT_EQ(OrvoCI::CodeToString(PackStoreCode("Wav1")) + OrvoCI::CodeToString(0), "Wav1");
    EXPECT_EQ(OrvoCI::EvTypeToString(0x8111) + OrvoCI::EvTypeToString(0x8201), "UnknownSnip");
    EXPECT_EQ(OrvoCI::DFormToString(6) + OrvoCI::DFormToString(2), "ErrorShort");
    // dims, then elements of dimension 1 and 2 (0: absent); -1 = refused.
    const struct { LONG format, count1, count2; int dims; ULONG dim1, dim2; } shapes[] = {
        {0, 0, 5, 1, 5, 0}, {0, 8, 5, 2, 8, 5}, {0, 8, 0, 1, 8, 0}, {2, 3, 0, 1, 6, 0},
        {5, 3, 0, -1, 0, 0}, {3, 0x40000000, 1, -1, 0, 0}, {0, -1, 5, -1, 0, 0}};
    for (const auto& s : shapes) {
        Variant v;
        const int made = OrvoCI::MakeVariantWithDFrom(v.out(), s.format, s.count1, s.count2);
        ASSERT_EQ(made, s.dims > 0 ? 1 : 0) << s.count1 << " " << s.count2;
        if (made == 0) continue;
        ASSERT_EQ(v->parray->cDims, s.dims);
        EXPECT_EQ(v->parray->rgsabound[s.dims - 1].cElements, s.dim1);
        if (s.dims == 2) {
            EXPECT_EQ(v->parray->rgsabound[0].cElements, s.dim2);
        }
    }
}

}  // namespace
}  // namespace orvo::test
