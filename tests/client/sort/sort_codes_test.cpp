#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <orvo/platform/bstr.h>
#include <orvo/platform/safearray.h>
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

using ::testing::IsNull;

using SortCodesTest = EngineTest;
constexpr LONG kAb = 0x6261;  // "ab": a, b, 0, 0

ACTION_TEMPLATE(ReturnBytes, HAS_1_TEMPLATE_PARAMS(std::size_t, k), AND_2_VALUE_PARAMS(bytes, result))
{
    *std::get<k>(args) = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    return result;
}

// n, then values 0, 0.5, 1, ...
std::string Eigen(LONG n, int values)
{
    std::string bytes(reinterpret_cast<const char*>(&n), 4);
    for (double v = 0; v < values * 0.5; v += 0.5) {
        bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    return bytes;
}

// Client id 0 still reaches the engine; the engine answers 0 for success.
TEST_F(SortCodesTest, ForwardsPassClientZeroAndPackedCodes)
{
    EXPECT_FALSE(client->DeleteSortCode("ab", 2, "S"));
    Connect("MyApp", 0);
    BSTR text = nullptr;
    EXPECT_CALL(*engine, SetUseSortName(0, BstrIs("S"), 0)).WillOnce(Return(1));
    EXPECT_CALL(*engine, DeleteSortCode(0, kAb, 2, BstrIs("S"), 0)).WillOnce(Return(0)).WillOnce(Return(1));
    EXPECT_CALL(*engine, GetSortCondition(0, kAb, 2, BstrIs("S"), 3, &text)).WillOnce(ReturnText<5>("c", 0));
    EXPECT_CALL(*engine, SetRecordOption(0, 1.5, 6, IsNull())).WillOnce(Return(0));
    client->SetUseSortName("S");
    EXPECT_TRUE(client->DeleteSortCode("ab", 2, "S"));
    EXPECT_FALSE(client->DeleteSortCode("ab", 2, "S"));
    EXPECT_TRUE(client->GetSortCondition("ab", 2, "S", 3, &text));
    EXPECT_EQ(BstrToAnsi(text), "c");
    SysFreeString(text);
    EXPECT_TRUE(client->SetRecordOption(1.5, 6, nullptr, 0));
    EXPECT_FALSE(client->SetRecordOption(1.5, 6, reinterpret_cast<const BYTE*>("x"), -1));
}

TEST_F(SortCodesTest, SaveSortCodeSendsIndexAndSignedSortCodePairsAndRefusesBadSizes)
{
    Connect();
    std::vector<SQHead> rows(3);
    for (int i = 0; i < 3; ++i) {
        const LONG index = 100 + i;
        std::memcpy(reinterpret_cast<char*>(&rows[i]) + 36, &index, 4);
        rows[i].sortCode = static_cast<std::int16_t>(i - 1);
    }
    const auto* events = reinterpret_cast<const LONG*>(rows.data());
    const BYTE memo[3] = {'m', 0, 'x'};
    EXPECT_CALL(*engine, SaveSortCode(1, 5, 2, BstrIs("S"), _, _, 0)).WillOnce([](auto, auto, auto, auto, VARIANT* pairs, BSTR m, auto) {
        EXPECT_EQ(pairs->vt, VT_ARRAY | VT_I4);
        const auto* v = static_cast<const LONG*>(pairs->parray->pvData);
        EXPECT_EQ(std::vector<LONG>(v, v + pairs->parray->rgsabound[0].cElements), (std::vector<LONG>{100, -1, 101, 0, 102, 1}));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(m), SysStringByteLen(m)), std::string("m\0x", 3));
        return 0;
    });
    EXPECT_TRUE(client->SaveSortCode(5, 2, "S", events, 3, memo, 3));
    EXPECT_FALSE(client->SaveSortCode(5, 2, "S", events, -1, memo, 3));
    EXPECT_FALSE(client->SaveSortCode(5, 2, "S", events, INT_MAX / 2 + 1, memo, 3));
    EXPECT_FALSE(client->SaveSortCode(5, 2, "S", events, 3, memo, -1));
}

TEST_F(SortCodesTest, MemoMarkerRoundTrip)
{
    Connect();
    const Variant data;
    EXPECT_CALL(*engine, SaveSortCode(1, kAb, 2, BstrIs("S"), _, BstrIs("NOTSORTERhi"), 0)).WillOnce(Return(0));
    EXPECT_TRUE(client->SaveSortCodeInVariant("S", "ab", 2, "hi", *data));
    for (const auto& [stored, memo] : {std::pair{"NOTSORTERhi", "hi"}, {"notsorterhi", ""}}) {
        EXPECT_CALL(*engine, GetSortCondition(1, kAb, 2, BstrIs("S"), 0, _)).WillOnce(ReturnText<5>(stored, 0));
        EXPECT_EQ(client->GetSortMemo("S", "ab", 2), memo) << stored;
    }
}

TEST_F(SortCodesTest, EigenVectorsTravelAsCheckedByteStrings)
{
    Connect();
    LONG size = -5;
    double* matrix = nullptr;
    EXPECT_CALL(*engine, GetSortCondition(1, 7, 2, BstrIs(""), 1, _))
        .WillOnce(ReturnBytes<5>(Eigen(3, 9), 0)).WillOnce(ReturnBytes<5>(Eigen(3, 8) + "1234", 0));
    ASSERT_TRUE(client->GetEigenVector(7, 2, size, &matrix));
    EXPECT_EQ(size, 3);
    EXPECT_EQ(matrix[8], 4.0);
    delete[] std::exchange(matrix, nullptr);
    EXPECT_FALSE(client->GetEigenVector(7, 2, size, &matrix));  // one value short
    EXPECT_TRUE(size == 0 && matrix == nullptr);
    const double values[9] = {};
    EXPECT_CALL(*engine, SaveSortCode(1, 7, 2, IsNull(), _, _, 1)).WillOnce([](auto, auto, auto, auto, VARIANT* none, BSTR bytes, auto) {
        EXPECT_EQ(none->vt, VT_EMPTY);
        return SysStringByteLen(bytes) == 72u ? 0 : 1;
    });
    EXPECT_TRUE(client->SaveEigenVector(7, 2, 3, values));
    EXPECT_FALSE(client->SaveEigenVector(7, 2, -1, values));
}

TEST_F(SortCodesTest, SortMapInVariantShapes)
{
    Variant result;
    result->vt = VT_I4;
    client->GetSortMapInVariant("S", "ab", result.get());
    Connect();
    EXPECT_CALL(*engine, GetSortChanMap(1, kAb, BstrIs("S"), 0, _)).WillOnce(Return(1));
    client->GetSortMapInVariant("S", "ab", result.get());
    EXPECT_EQ(result->vt, VT_I4);
    for (const std::string& map : {std::string(), std::string("\1\2\3\4\5")}) {
        EXPECT_CALL(*engine, GetSortChanMap(1, kAb, BstrIs("S"), 0, _)).WillOnce(ReturnBytes<4>(map, 0));
        client->GetSortMapInVariant("S", "ab", result.out());
        ASSERT_EQ(result->vt, VT_ARRAY | VT_I1);
        EXPECT_EQ(SafeArrayGetDim(result->parray), map.empty() ? 1u : 2u);
        EXPECT_EQ(result->parray->rgsabound[0].cElements, map.empty() ? 1u : 5u);  // the last dimension
        EXPECT_EQ(std::memcmp(result->parray->pvData, map.data(), map.size()), 0);
    }
}

}  // namespace
}  // namespace orvo::test
