#include <gtest/gtest.h>

#include <tuple>

#include <orvo/OrvoCI.h>
#include "protocol/StoreCode.h"

namespace {

const LONG F = orvo::PackStoreCode("Freq");
using Out = std::tuple<int, LONG, LONG, double, double, LONG, LONG>;  // result, code, op, values, extras

// Outputs start at -1 so that those left untouched show.
Out Parse(const char* text, bool with1 = true, bool with2 = true)
{
    Out out{0, -1, -1, -1, -1, -1, -1};
    auto& [result, code, op, v1, v2, e1, e2] = out;
    result = OrvoCI::ParseFilterDescEx(text, &code, &op, &v1, &v2, with1 ? &e1 : nullptr, with2 ? &e2 : nullptr);
    return out;
}

TEST(FilterDesc, ParsesOrKeepsValuesOnFailure)
{
    // The ':' test covers the braces too: {1:2} makes '=' a range whose value part holds one number.
    const std::pair<const char*, Out> cases[] = {
        {"Freq<>5", {1, F, 78, 5, 0, 0, 0}}, {"Freq<>5:9", {1, F, 79, 5, 9, 0, 0}}, {"Freq=5", {1, F, 69, 5, 0, 0, 0}},
        {"Freq=5:9x", {1, F, 73, 5, 9, 0, 0}}, {"Freq=<5", {1, F, 76, 5, 0, 0, 0}}, {"Freq<=5", {1, F, 76, 5, 0, 0, 0}},
        {"Freq=>5", {1, F, 71, 5, 0, 0, 0}}, {"Freq>=5", {1, F, 71, 5, 0, 0, 0}}, {"Freq>5{3}", {1, F, 65, 5, 0, 3, 0}},
        {"F r e q<-2", {1, F, 66, -2, 0, 0, 0}}, {"Freq>5{3,-4}", {1, F, 65, 5, 0, 3, -4}},
        {"Freq=5{1:2}", {1, F, 73, 5, 0, 1, 0}}, {"Freq>5{99999999999,1}", {1, F, 65, 5, 0, INT32_MAX, 1}},
        {"Freq>", {0, -1, -1, -1, -1, 0, 0}}, {"Freq!5", {0, F, -1, -1, -1, 0, 0}},
        {"Freq>abc", {0, F, 65, -1, -1, 0, 0}}, {"Freq=5:x", {0, F, 73, -1, -1, 0, 0}},
        {"Tk > 5{0,0}", {0, orvo::PackStoreCode("Tk>5"), -1, -1, -1, 0, 0}},  // how a short code builds
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(Parse(text), want) << text;
    }
    EXPECT_EQ(Parse("Freq>5{3,4}", true, false), Out(1, F, 65, 5, 0, 0, -1));
    EXPECT_EQ(Parse("Freq>5{3,4}", false, true), Out(1, F, 65, 5, 0, -1, 0));
    EXPECT_EQ(OrvoCI::ParseFilterDesc("Freq>5", nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(FilterDesc, BuildsTextsThatParseBackWithFloatPrecision)
{
    const std::pair<std::tuple<LONG, LONG, double, double, LONG, LONG>, const char*> cases[] = {
        {{F, 73, 1000, 2000, 0, 0}, "Freq = 1000:2000{0,0}"}, {{F, 79, 1, 2.5, -3, 4}, "Freq <> 1:2.5{-3,4}"},
        {{F, 78, 5, 9, 0, 0}, "Freq <> 5{0,0}"}, {{F, 71, 0.1, 0, 0, 0}, "Freq >= 0.1{0,0}"},
        {{F, 76, 5, 0, 7, 0}, "Freq <= 5{7,0}"}, {{0, 66, 123456789, 0, 0, 0}, " < 1.2345679e+08{0,0}"},
        {{F, 67, 5, 0, 0, 0}, "Error"}, {{orvo::PackStoreCode("Tk"), 65, 5, 0, 0, 0}, "Tk > 5{0,0}"},
    };
    for (const auto& [args, text] : cases) {
        EXPECT_EQ(std::apply(OrvoCI::BuildFilterDescEx, args), text) << text;
    }
    EXPECT_EQ(Parse(OrvoCI::BuildFilterDesc(F, 73, 1000, 2000)), Out(1, F, 73, 1000, 2000, 0, 0));
    EXPECT_EQ(Parse(OrvoCI::BuildFilterDesc(F, 65, 0.1, 0)), Out(1, F, 65, static_cast<double>(0.1f), 0, 0, 0));
}

}  // namespace
