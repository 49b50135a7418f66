#include "tankengine/storage/crc32.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ORVO_CRC_FOLDING 1
#endif

namespace orvo::tank {
namespace {

// The bytes folded at a time, by four 128-bit lanes and, where the processor
// has the wide carry-less multiply, by four 512-bit ones.
constexpr std::size_t kFoldBlock = 64;
constexpr std::size_t kWideFoldBlock = 256;

// zlib takes a 32-bit length; longer spans go in pieces.
constexpr std::size_t kZlibPieceBytes = std::size_t{1} << 30;

// Byte by byte from a table, for the few bytes around a fold, where a call
// into zlib would cost more than the bytes.
constexpr std::size_t kByteWiseBytes = 64;

constexpr std::array<std::uint32_t, 256> kByteTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}();

std::uint32_t ByteWiseCrc(std::uint32_t crc, std::span<const std::byte> bytes)
{
    crc = ~crc;
    for (const std::byte b : bytes) {
        crc = kByteTable[(crc ^ static_cast<std::uint32_t>(b)) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::uint32_t ZlibCrc(std::uint32_t crc, std::span<const std::byte> bytes)
{
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), kZlibPieceBytes);
        crc = static_cast<std::uint32_t>(
            ::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(n)));
        bytes = bytes.subspan(n);
    }
    return crc;
}

#ifdef ORVO_CRC_FOLDING

// Folding constants of the reflected polynomial 0xEDB88320: x^(4*128+32),
// x^(4*128-32) mod P for four lanes, then x^(128+32), x^(128-32) for one,
// x^64 for the last fold, and P with its Barrett quotient.
alignas(16) constexpr std::uint64_t kFold4[2] = {0x0154442bd4, 0x01c6e41596};
// x^(16*128+32), x^(16*128-32) and the four-lane pair again, once per 128-bit lane of a wide register.
alignas(64) constexpr std::uint64_t kWideFold16[8] = {0x011542778a, 0x01322d1430, 0x011542778a, 0x01322d1430,
                                                      0x011542778a, 0x01322d1430, 0x011542778a, 0x01322d1430};
alignas(64) constexpr std::uint64_t kWideFold4[8] = {0x0154442bd4, 0x01c6e41596, 0x0154442bd4, 0x01c6e41596,
                                                     0x0154442bd4, 0x01c6e41596, 0x0154442bd4, 0x01c6e41596};
alignas(16) constexpr std::uint64_t kFold1[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) constexpr std::uint64_t kFold64[2] = {0x0163cd6124, 0};
alignas(16) constexpr std::uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};


__m128i Load(const std::byte* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

#define ORVO_WIDE_FOLD_TARGET __attribute__((target("avx512f,avx512vl,vpclmulqdq")))

ORVO_WIDE_FOLD_TARGET __m512i WideLoad(const std::byte* at) { return _mm512_loadu_si512(at); }

ORVO_WIDE_FOLD_TARGET __m512i WideFold(__m512i lanes, __m512i k, __m512i next)
{
    const __m512i low = _mm512_clmulepi64_epi128(lanes, k, 0x00);
    const __m512i high = _mm512_clmulepi64_epi128(lanes, k, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96);  // low ^ high ^ next
}

// Folds whole 256-byte steps and leaves the four 128-bit lanes that the
// narrow folding goes on from, as if it had folded those bytes itself. size
// is at least kWideFoldBlock.
ORVO_WIDE_FOLD_TARGET void WideFoldLanes(std::uint32_t state, const std::byte*& at, std::size_t& size,
                                         __m128i (&lanes)[4])
{
    __m512i z1 = _mm512_xor_si512(WideLoad(at), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(state))));
    __m512i z2 = WideLoad(at + 64);
    __m512i z3 = WideLoad(at + 128);
    __m512i z4 = WideLoad(at + 192);
    at += kWideFoldBlock;
    size -= kWideFoldBlock;
    __m512i k = _mm512_load_si512(kWideFold16);
    for (; size >= kWideFoldBlock; at += kWideFoldBlock, size -= kWideFoldBlock) {
        z1 = WideFold(z1, k, WideLoad(at));
        z2 = WideFold(z2, k, WideLoad(at + 64));
        z3 = WideFold(z3, k, WideLoad(at + 128));
        z4 = WideFold(z4, k, WideLoad(at + 192));
    }
    // Each register is 64 bytes ahead of the one before: fold them into the last.
    k = _mm512_load_si512(kWideFold4);
    z4 = WideFold(WideFold(WideFold(z1, k, z2), k, z3), k, z4);
    _mm512_storeu_si512(lanes, z4);
}

bool CanFoldWide()
{
    static const bool can = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("vpclmulqdq");
    return can;
}

__attribute__((target("pclmul,sse4.1"))) __m128i Fold(__m128i lane, __m128i k, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// The inverted CRC register over `size` bytes, size a multiple of 16 and at
// least kFoldBlock.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t FoldedCrc(std::uint32_t state, const std::byte* at,
                                                                    std::size_t size)
{
    __m128i lanes[4];
    if (size >= kWideFoldBlock && CanFoldWide()) {
        WideFoldLanes(state, at, size, lanes);
    } else {
        lanes[0] = _mm_xor_si128(Load(at), _mm_cvtsi32_si128(static_cast<int>(state)));
        lanes[1] = Load(at + 16);
        lanes[2] = Load(at + 32);
        lanes[3] = Load(at + 48);
        at += kFoldBlock;
        size -= kFoldBlock;
    }
    auto [x1, x2, x3, x4] = lanes;
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
    for (; size >= kFoldBlock; at += kFoldBlock, size -= kFoldBlock) {
        x1 = Fold(x1, k, Load(at));
        x2 = Fold(x2, k, Load(at + 16));
        x3 = Fold(x3, k, Load(at + 32));
        x4 = Fold(x4, k, Load(at + 48));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
    x1 = Fold(x1, k, x2);
    x1 = Fold(x1, k, x3);
    x1 = Fold(x1, k, x4);
    for (; size >= 16; at += 16, size -= 16) {
        x1 = Fold(x1, k, Load(at));
    }
    // 128 bits to 64, then Barrett reduction to 32.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x2r = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
    x2r = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), x2r);
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
    x2r = _mm_clmulepi64_si128(_mm_and_si128(x2r, low32), k, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2r), 1));
}

bool CanFold()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#endif

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, std::span<const std::byte> bytes)
{
#ifdef ORVO_CRC_FOLDING
    if (bytes.size() >= kFoldBlock && CanFold()) {
        const std::size_t folded = bytes.size() & ~std::size_t{15};
        crc = ~FoldedCrc(~crc, bytes.data(), folded);
        bytes = bytes.subspan(folded);
    }
#endif
    return bytes.size() < kByteWiseBytes ? ByteWiseCrc(crc, bytes) : ZlibCrc(crc, bytes);
}

}  // namespace orvo::tank
