#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <orvo/platform/bstr.h>
#include <orvo/platform/com_error.h>
#include <orvo/platform/errors.h>
#include "platform/ansi.h"

namespace {

// "A", e acute, euro sign, and a character outside the BMP: one to four bytes.
constexpr char kUtf8[] = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
constexpr char16_t kUtf16[] = u"A\u00E9\u20AC\U0001F600";

struct BstrDeleter { void operator()(OLECHAR* text) const { SysFreeString(text); } };
using OwnedBstr = std::unique_ptr<OLECHAR, BstrDeleter>;

bool FailedWith(int result, LONG error) { return result == 0 && GetLastError() == static_cast<DWORD>(error); }

TEST(AnsiConversion, RoundTripsEveryUtf8Length)
{
    // -1 converts and counts the NUL; the last character takes a surrogate pair.
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, kUtf8, -1, nullptr, 0), 6);
    WCHAR wide[6];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, kUtf8, -1, wide, 6), 6);
    EXPECT_EQ(std::u16string(wide), kUtf16);
    char narrow[11];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, kUtf16, -1, narrow, 11, nullptr, nullptr), 11);
    EXPECT_STREQ(narrow, kUtf8);
}

TEST(AnsiConversion, ReplacesEachMaximalInvalidSubpart)
{
    const std::u16string r(1, u'\uFFFD');
    const struct {
        const char* input;
        std::u16string expected;
    } cases[] = {
        {"\x80", r},                          // stray continuation byte
        {"\xC0\xAF", r + r},                  // overlong '/': C0 never starts a sequence
        {"\xED\xA0\x80", r + r + r},          // encoded surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
        {"\xF0\x9F\x98", r},                  // cut short by the end
        {"\xE2\x82" "A\xC3", r + u"A" + r},   // cut short by a valid byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        // An exact-size buffer and no terminator: the count must match the text.
        std::u16string out(c.expected.size(), u'?');
        const auto size = static_cast<int>(out.size());
        ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, c.input, static_cast<int>(std::strlen(c.input)), out.data(), size),
                  size);
        EXPECT_EQ(out, c.expected);
        EXPECT_TRUE(FailedWith(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, c.input, -1, nullptr, 0),
                               ERROR_NO_UNICODE_TRANSLATION));
    }

    // A lone low surrogate, a high one followed by something else, a high one
    // at the very end of the buffer (no terminator to lean on).
    const char16_t unpaired[] = {0xDC00, u'x', 0xD800, u'y', 0xD83D};
    EXPECT_EQ(WideToAnsi({unpaired, 5}), "\xEF\xBF\xBDx\xEF\xBF\xBDy\xEF\xBF\xBD");
    const int strict = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, unpaired, 5, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(FailedWith(strict, ERROR_NO_UNICODE_TRANSLATION));
}

TEST(AnsiConversion, FailsWithoutWritingPastTheBuffer)
{
    // Heap buffers of exactly the size given: the address checker sees any write past them.
    auto wide = std::make_unique<WCHAR[]>(5);
    EXPECT_TRUE(FailedWith(MultiByteToWideChar(CP_ACP, 0, kUtf8, -1, wide.get(), 5), ERROR_INSUFFICIENT_BUFFER));
    // Room for all but the last byte of the four-byte character.
    auto narrow = std::make_unique<char[]>(9);
    EXPECT_TRUE(FailedWith(WideCharToMultiByte(CP_ACP, 0, kUtf16, 5, narrow.get(), 9, nullptr, nullptr),
                           ERROR_INSUFFICIENT_BUFFER));
}

TEST(BstrAlloc, KeepsLengthsBytesAndTerminator)
{
    const OwnedBstr text(SysAllocStringLen(u"a\0bc", 4));
    ASSERT_NE(text, nullptr);
    std::uint32_t prefix = 0;  // callers read the byte count just before the text
    std::memcpy(&prefix, reinterpret_cast<const char*>(text.get()) - 4, 4);
    EXPECT_EQ(prefix, 8u);
    EXPECT_EQ(std::u16string(text.get(), 5), std::u16string(u"a\0bc\0", 5));

    const OwnedBstr odd(SysAllocStringByteLen("\x01\0\xFFz\x80", 5));
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(SysStringByteLen(odd.get()), 5u);
    EXPECT_EQ(std::memcmp(odd.get(), "\x01\0\xFFz\x80\0", 7), 0);
    // Read as a C string of characters it must end inside the block.
    const OwnedBstr asText(SysAllocString(OwnedBstr(SysAllocStringByteLen("abc", 3)).get()));
    EXPECT_EQ(SysStringByteLen(asText.get()), 4u);

    // 2^32 bytes, all bits set, and a byte count whose prefix and NUL wrap.
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFAu), nullptr);
}

TEST(BstrWrapper, ConvertsAndOwns)
{
    BStr text(kUtf8);
    EXPECT_EQ(std::u16string(text.get(), SysStringLen(text.get())), kUtf16);
    const std::string embedded("x\0y", 3);
    EXPECT_EQ(BstrToAnsi(BStr(std::string_view(embedded)).get()), embedded);
    EXPECT_EQ(BStr(static_cast<const char*>(nullptr)).get(), nullptr);
    EXPECT_EQ(BstrToAnsi(nullptr), "");

    // Each step drops a string; the leak checker sees any that is lost.
    BStr moved(std::move(text));
    moved = BStr("second");
    *moved.out() = SysAllocString(u"from a callee");
    EXPECT_EQ(BstrToAnsi(moved.get()), "from a callee");
}

}  // namespace
