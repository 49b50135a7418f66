#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include <orvo/platform/bstr.h>
#include <orvo/platform/errors.h>
#include <orvo/platform/safearray.h>
#include <orvo/platform/variant.h>
#include "platform/large_blocks.h"

namespace {

LONG Bound(HRESULT (*get)(SAFEARRAY*, UINT, LONG*), SAFEARRAY* psa, UINT dim)
{
    LONG bound = -999;
    EXPECT_EQ(get(psa, dim, &bound), S_OK);
    return bound;
}

TEST(SafeArrayCreate, StoresBoundsInReverseAndNumbersDimensionsInCallOrder)
{
    // As callers make a table: W values per row, N rows.
    constexpr ULONG W = 3, N = 5;
    SAFEARRAYBOUND bounds[] = {{W, 0}, {N, 0}};
    const SafeArrayPtr owner(SafeArrayCreate(VT_R8, 2, bounds));
    SAFEARRAY* psa = owner.get();
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->rgsabound[0].cElements, N);
    EXPECT_EQ(psa->rgsabound[1].cElements, W);
    EXPECT_EQ(Bound(SafeArrayGetUBound, psa, 1), static_cast<LONG>(W - 1));
    EXPECT_EQ(Bound(SafeArrayGetUBound, psa, 2), static_cast<LONG>(N - 1));
    LONG ub = 0;
    EXPECT_EQ(SafeArrayGetUBound(psa, 0, &ub), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(psa, 3, &ub), DISP_E_BADINDEX);

    // The whole block is there: the address checker sees a read past a short one.
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_EQ(static_cast<const double*>(data)[W * N - 1], 0.0);
    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);

    SAFEARRAYBOUND shifted[] = {{3, -2}, {4, 10}};
    const SafeArrayPtr other(SafeArrayCreate(VT_I2, 2, shifted));
    EXPECT_EQ(Bound(SafeArrayGetLBound, other.get(), 1), -2);
    EXPECT_EQ(Bound(SafeArrayGetUBound, other.get(), 2), 13);
}

TEST(SafeArrayCreate, RefusesWhatItCannotHold)
{
    constexpr SAFEARRAYBOUND k64K{0x10000, 0};
    SAFEARRAYBOUND b[] = {k64K, k64K, k64K, k64K, {0x20000000, 0}, {2, 0x7FFFFFFF}};
    EXPECT_EQ(SafeArrayCreate(VT_I1, 2, b), nullptr);      // the count wraps in 32 bits
    EXPECT_EQ(SafeArrayCreate(VT_I1, 4, b), nullptr);      // and in 64 bits
    EXPECT_EQ(SafeArrayCreate(VT_R8, 1, b + 4), nullptr);  // the byte count wraps in 32 bits
    EXPECT_EQ(SafeArrayCreate(VT_I1, 1, b + 5), nullptr);  // no index could name the last
}

// Large data are kept for reuse once freed: an array made again in the same
// size must still start as zeros, whatever its predecessor held.
TEST(SafeArrayCreate, LargeArraysMadeAgainStartAsZeros)
{
    SAFEARRAYBOUND bound{(ULONG{1} << 20) + 3, 0};
    for (int round = 0; round < 2; ++round) {
        SafeArrayPtr array(SafeArrayCreate(VT_R4, 1, &bound));
        ASSERT_NE(array.get(), nullptr);
        auto* floats = static_cast<float*>(array.get()->pvData);
        ASSERT_EQ(std::count(floats, floats + bound.cElements, 0.0f), static_cast<std::ptrdiff_t>(bound.cElements))
            << round;
        std::fill(floats, floats + bound.cElements, 1.5f);
    }
}

// Blocks kept for reuse do not add to the peak of new work: an array larger
// than all of them lets go of at least as many bytes of them, the
// longest-kept first, and one of a kept size takes just that block.
TEST(SafeArrayCreate, ArrayOfANewSizeTakesThePlaceOfKeptBlocks)
{
    constexpr std::size_t kKeptSize = (std::size_t{3} << 20) + 4, kNewSize = std::size_t{8} << 20;
    void* kept[4] = {orvo::TakeBlock(kKeptSize, false), orvo::TakeBlock(kKeptSize, false),
                     orvo::TakeBlock(kKeptSize, false), orvo::TakeBlock(kKeptSize, false)};
    for (void* block : kept) {
        orvo::GiveBackBlock(block, kKeptSize);
    }
    const std::size_t before = orvo::KeptBlockBytes();
    ASSERT_GE(before, 4 * kKeptSize);
    void* fresh = orvo::TakeBlock(kNewSize, true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_LE(orvo::KeptBlockBytes() + kNewSize, before);
    EXPECT_GE(orvo::KeptBlockBytes(), kKeptSize);  // not all let go: the newest stays
    const std::size_t left = orvo::KeptBlockBytes();
    void* reused = orvo::TakeBlock(kKeptSize, false);
    EXPECT_EQ(orvo::KeptBlockBytes(), left - kKeptSize);
    orvo::GiveBackBlock(reused, kKeptSize);
    orvo::GiveBackBlock(fresh, kNewSize);
}

TEST(SafeArrayLocking, LockedArrayIsNeitherDestroyedNorCleared)
{
    SAFEARRAYBOUND bounds[] = {{4, 0}};
    VARIANT var;
    var.vt = VT_ARRAY | VT_I4;
    var.parray = SafeArrayCreate(VT_I4, 1, bounds);
    SAFEARRAY* psa = var.parray;
    ASSERT_NE(psa, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(VariantClear(&var), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(var.parray, psa);

    // Still whole, and still locked until every lock is undone.
    static_cast<LONG*>(data)[3] = 7;
    ASSERT_EQ(SafeArrayUnlock(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(VariantClear(&var), S_OK);
}

TEST(VariantCopy, CopiesStringsDeeplyAndClearFreesAll)
{
    // A text string, a byte string of odd length, and a null.
    SAFEARRAYBOUND bounds[] = {{3, 1}};
    VARIANT original;
    original.vt = VT_ARRAY | VT_BSTR;
    original.parray = SafeArrayCreate(VT_BSTR, 1, bounds);
    ASSERT_NE(original.parray, nullptr);
    auto* from = static_cast<BSTR*>(original.parray->pvData);
    from[0] = SysAllocString(u"text");
    from[1] = SysAllocStringByteLen("\x01\x02\x03", 3);
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
    ASSERT_EQ(copy.vt, VT_ARRAY | VT_BSTR);
    EXPECT_EQ(Bound(SafeArrayGetLBound, copy.parray, 1), 1);
    const auto* to = static_cast<const BSTR*>(copy.parray->pvData);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(to[i], from[i]);
        ASSERT_EQ(SysStringByteLen(to[i]), SysStringByteLen(from[i]));
        EXPECT_EQ(std::memcmp(to[i], from[i], SysStringByteLen(from[i]) + 2), 0);
    }
    EXPECT_EQ(to[2], nullptr);

    // A lone odd string replaces the array, then is copied onto itself:
    // clearing first would free the value being copied.
    VARIANT single;
    single.vt = VT_BSTR;
    single.bstrVal = SysAllocStringByteLen("\xAA\xBB\xCC\xDD\xEE", 5);
    ASSERT_EQ(VariantCopy(&copy, &single), S_OK);
    ASSERT_EQ(VariantCopy(&copy, &copy), S_OK);
    ASSERT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, single.bstrVal);
    EXPECT_EQ(SysStringByteLen(copy.bstrVal), 5u);
    EXPECT_EQ(std::memcmp(copy.bstrVal, "\xAA\xBB\xCC\xDD\xEE\0", 7), 0);

    // The leak checker reports any string or block these leave behind.
    for (VARIANT* var : {&original, &copy, &single}) {
        EXPECT_EQ(VariantClear(var), S_OK);
    }
}

// Arrays of strings: an element freed twice is a double free and one never
// freed a leak, both of which the address checker reports.
SafeArrayPtr Strings(ULONG count)
{
    SAFEARRAYBOUND bound{count, 0};
    SafeArrayPtr array(SafeArrayCreate(VT_BSTR, 1, &bound));
    EXPECT_TRUE(array);
    for (ULONG i = 0; array && i < count; ++i) {
        static_cast<BSTR*>(array->pvData)[i] = SysAllocString(u"held");
    }
    return array;
}

Variant VariantOf(SafeArrayPtr strings)
{
    Variant value;
    value->vt = VT_ARRAY | VT_BSTR;
    value->parray = strings.release();
    return value;
}

TEST(Variant, OwnsItsValueUntilHandedOn)
{
    Variant first = VariantOf(Strings(2));
    SAFEARRAY* const array = first->parray;
    Variant second(std::move(first));
    EXPECT_EQ(first->vt, VT_EMPTY);
    EXPECT_EQ(second->parray, array);

    Variant third = VariantOf(Strings(3));
    third = std::move(second);  // frees the three strings third held
    EXPECT_EQ(second->vt, VT_EMPTY);
    ASSERT_EQ(third->parray, array);

    VARIANT handed = third.release();
    EXPECT_EQ(third->vt, VT_EMPTY);
    EXPECT_EQ(handed.parray, array);
    *third.out() = handed;

    // out() frees what was held before a callee writes over it.
    VARIANT* slot = third.out();
    EXPECT_EQ(slot->vt, VT_EMPTY);
    slot->vt = VT_BSTR;
    slot->bstrVal = SysAllocString(u"answer");
    EXPECT_EQ(SysStringLen(third->bstrVal), 6u);
    third.reset();
    EXPECT_EQ(third->vt, VT_EMPTY);
}

TEST(SafeArrayPtr, OwnsOneArrayAtATime)
{
    SafeArrayPtr owner = Strings(2);
    SAFEARRAY* const array = owner.get();
    SafeArrayPtr moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.get(), array);

    SafeArrayPtr assigned = Strings(3);
    assigned = std::move(moved);  // destroys the array assigned held
    EXPECT_FALSE(moved);
    ASSERT_EQ(assigned.get(), array);

    SAFEARRAY* const handed = assigned.release();
    EXPECT_FALSE(assigned);
    // Taken back, and destroyed strings and all when the owner ends.
    assigned.reset(handed);
}

TEST(SafeArrayData, UnlocksHoweverTheScopeEnds)
{
    const SafeArrayPtr owner = Strings(2);
    try {
        const SafeArrayData data(owner.get());
        EXPECT_EQ(owner->cLocks, 1u);
        throw std::runtime_error("a reader fails midway");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(owner->cLocks, 0u);

    // No data to hand out, yet a lock to undo.
    SAFEARRAYBOUND none{0, 0};
    const SafeArrayPtr empty(SafeArrayCreate(VT_I4, 1, &none));
    ASSERT_TRUE(empty);
    {
        const SafeArrayData data(empty.get());
        EXPECT_EQ(data.get(), nullptr);
        EXPECT_EQ(empty->cLocks, 1u);
    }
    EXPECT_EQ(empty->cLocks, 0u);
}

// An owner that ends with its array locked is at fault: debug builds stop
// there, and otherwise the array stays whole for whoever still reads it.
TEST(OwnerDeathTest, LockedArrayIsNeverFreedUnderItsReader)
{
    SAFEARRAYBOUND bound{4, 0};
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 1, &bound);
    ASSERT_NE(psa, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
    EXPECT_DEBUG_DEATH({ SafeArrayPtr owner(psa); }, "locked");
    EXPECT_DEBUG_DEATH(
        {
            Variant owner;
            owner->vt = VT_ARRAY | VT_I4;
            owner->parray = psa;
        },
        "locked");
    static_cast<LONG*>(data)[3] = 7;  // a write to a freed block would be reported
    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

}  // namespace
