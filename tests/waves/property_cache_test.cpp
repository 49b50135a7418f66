#include "waves/CPropertyCache.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "client/OrvoCI.h"

namespace {

constexpr std::array<const char*, 13> kNames = {
    "MaxReturn", "Channel", "SortCode", "T1", "T2", "Options", "FillItem", "FillValue",
    "RespectOffsetEpoc", "AutoRefEpoc", "WaveSFEvent", "WaveSF", "WavesMemLimit"};

void ExpectAllZero(const CPropertyCache& cache)
{
    for (LONG index = 0; index <= 14; ++index) {
        EXPECT_EQ(cache.GetPropA(index), 0.0) << "index " << index;
    }
}

}  // namespace

TEST(PropertyCache, EachNameAddressesItsOwnIndexExactly)
{
    CPropertyCache cache;
    for (LONG index = 1; index <= 13; ++index) {
        EXPECT_TRUE(cache.SetPropA(CString(kNames[index - 1]), index * 10.0)) << kNames[index - 1];
    }
    for (LONG index = 1; index <= 13; ++index) {
        EXPECT_EQ(cache.GetPropA(index), index * 10.0) << kNames[index - 1];
    }
    // Near misses of a name are no name at all.
    for (const char* near : {"t1", "T1 ", " T1", "T", "T12", ""}) {
        EXPECT_FALSE(cache.SetPropA(CString(near), 1.0)) << '"' << near << '"';
        EXPECT_EQ(cache.GetPropA(CString(near)), 0.0) << '"' << near << '"';
    }
    EXPECT_FALSE(cache.SetPropA(CString(std::string("T1\0x", 4)), 1.0));
    EXPECT_EQ(cache.GetPropA(4), 40.0);  // untouched by any near miss
}

TEST(PropertyCache, FreshCacheReadsZeroAndRefusesIndicesOutsideOneToThirteen)
{
    CPropertyCache cache;
    for (LONG index : {0, 14, -1}) {
        EXPECT_FALSE(cache.SetPropA(index, 5.0)) << index;
    }
    ExpectAllZero(cache);
}

TEST(PropertyCache, SetPropsStoresEveryValidPairAndReportsAnyBadOne)
{
    CPropertyCache cache;
    EXPECT_TRUE(cache.SetProps(""));
    EXPECT_TRUE(cache.SetProps(";;"));
    ExpectAllZero(cache);

    EXPECT_FALSE(cache.SetProps("MaxReturn=500;Bogus=1;Channel=3"));
    EXPECT_EQ(cache.GetPropA(CString("MaxReturn")), 500.0);
    EXPECT_EQ(cache.GetPropA(CString("Channel")), 3.0);

    for (const char* bad : {"=5", "T1", " T1=5", "t1=5", "T1=5;=6"}) {
        EXPECT_FALSE(cache.SetProps(bad)) << '"' << bad << '"';
    }
    EXPECT_EQ(cache.GetPropA(CString("T1")), 5.0);  // from the last text only

    EXPECT_TRUE(cache.SetProps(";T2=7;;SortCode=2;"));
    EXPECT_EQ(cache.GetPropA(5), 7.0);
    EXPECT_EQ(cache.GetPropA(3), 2.0);
}

TEST(PropertyCache, SetPropsValueIsTheNumericPrefixOfTheRest)
{
    CPropertyCache cache;
    cache.SetPropA(4, 9.0);
    EXPECT_TRUE(cache.SetProps("T1=abc"));
    EXPECT_EQ(cache.GetPropA(4), 0.0);
    EXPECT_TRUE(cache.SetProps("T1=1.5=2;T2= -2.5s;WaveSF=1e3"));
    EXPECT_EQ(cache.GetPropA(4), 1.5);
    EXPECT_EQ(cache.GetPropA(5), -2.5);
    EXPECT_EQ(cache.GetPropA(12), 1000.0);
}

TEST(PropertyCache, CopiesAreIndependentAndClearEmpties)
{
    CPropertyCache source;
    source.SetPropA(1, 1.0);
    CPropertyCache copied(source);
    source.SetPropA(1, 2.0);
    EXPECT_EQ(copied.GetPropA(1), 1.0);
    source.Clear();
    ExpectAllZero(source);
}

TEST(Globals, NewClientStartsWithDefaultsAndResetRestoresThem)
{
    const std::array<double, 13> defaults = {100000, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 33554432};
    OrvoCI client;
    for (int round = 0; round < 2; ++round) {
        for (LONG index = 1; index <= 13; ++index) {
            EXPECT_EQ(client.GetGlobal(index), defaults[index - 1]) << round << ", index " << index;
            client.SetGlobal(index, -7.0);
        }
        client.ResetGlobals();
    }
}

TEST(Globals, SetGlobalTakesOnlyOneToThirteen)
{
    OrvoCI client;
    EXPECT_EQ(client.SetGlobal(0, 1.0), 0);
    EXPECT_EQ(client.SetGlobal(14, 1.0), 0);
    EXPECT_EQ(client.GetGlobal(14), 0.0);
    EXPECT_EQ(client.SetGlobal(13, 1024.0), 1);
    EXPECT_EQ(client.GetGlobal(13), 1024.0);
}
