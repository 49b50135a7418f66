#include <orvo/CPropertyCache.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

#include <orvo/OrvoCI.h>

namespace {

TEST(PropertyCache, EachNameAddressesItsOwnIndexExactly)
{
    constexpr std::array<const char*, 13> names = {
        "MaxReturn", "Channel", "SortCode", "T1", "T2", "Options", "FillItem", "FillValue",
        "RespectOffsetEpoc", "AutoRefEpoc", "WaveSFEvent", "WaveSF", "WavesMemLimit"};
    CPropertyCache cache;
    for (LONG index = 1; index <= 13; ++index) {
        EXPECT_TRUE(cache.SetPropA(CString(names[index - 1]), index * 10.0)) << names[index - 1];
    }
    for (LONG index = 1; index <= 13; ++index) {
        EXPECT_EQ(cache.GetPropA(index), index * 10.0) << names[index - 1];
    }
    for (const char* near : {"t1", "T1 ", "T", "T12", ""}) {
        EXPECT_FALSE(cache.SetPropA(CString(near), 1.0)) << '"' << near << '"';
    }
    EXPECT_FALSE(cache.SetPropA(CString(std::string("T1\0x", 4)), 1.0));
    EXPECT_EQ(cache.GetPropA(4), 40.0);
    EXPECT_FALSE(cache.SetPropA(0, 5.0));
    EXPECT_FALSE(cache.SetPropA(14, 5.0));
    EXPECT_EQ(cache.GetPropA(14), 0.0);
}

// Every setting starts at 9, so that a case shows what it stored or left.
TEST(PropertyCache, SetPropsStoresEveryValidPairAndReportsAnyBadOne)
{
    struct Case {
        const char* text;
        bool allValid;
        LONG index;
        double value;
    };
    for (const Case& c : {Case{"", true, 4, 9}, Case{";T2=7;;SortCode=2;", true, 3, 2},
                          Case{"MaxReturn=500;Bogus=1;Channel=3", false, 2, 3}, Case{"T1=5;=6", false, 4, 5},
                          Case{"=5", false, 4, 9}, Case{"T1", false, 4, 9}, Case{" T1=5", false, 4, 9},
                          Case{"T1=abc", true, 4, 0}, Case{"T1=1.5=2", true, 4, 1.5}, Case{"T2= -2.5s", true, 5, -2.5}}) {
        CPropertyCache cache;
        for (LONG index = 1; index <= 13; ++index) {
            cache.SetPropA(index, 9.0);
        }
        EXPECT_EQ(cache.SetProps(c.text), c.allValid) << '"' << c.text << '"';
        EXPECT_EQ(cache.GetPropA(c.index), c.value) << '"' << c.text << '"';
    }
}

TEST(Globals, NewClientStartsWithDefaultsAndResetRestoresThem)
{
    const std::array<double, 13> defaults = {100000, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 33554432};
    OrvoCI client;
    for (int round = 0; round < 2; ++round) {
        for (LONG index = 1; index <= 13; ++index) {
            EXPECT_EQ(client.GetGlobal(index), defaults[index - 1]) << round << ", index " << index;
            EXPECT_EQ(client.SetGlobal(index, -7.0), 1);
        }
        client.ResetGlobals();
    }
    EXPECT_EQ(client.SetGlobal(14, 1.0), 0);
}

}  // namespace
