#include <orvo/platform/cstring.h>
#include <orvo/platform/simple_array.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::size_t TakesCharPointer(const char* text) { return std::strlen(text); }

// Every token, failing instead of spinning if the end is never reported.
std::vector<std::string> AllTokens(const CString& text, const char* delimiters)
{
    std::vector<std::string> tokens;
    for (int start = 0, guard = 0; guard < 100; ++guard) {
        CString token = text.Tokenize(delimiters, start);
        if (start == -1) {
            EXPECT_TRUE(token.IsEmpty());
            return tokens;
        }
        tokens.push_back(token);
    }
    ADD_FAILURE() << "Tokenize never reported the end";
    return tokens;
}

}  // namespace

TEST(CStringConversion, NaturalUsesCompileAndRoundTrip)
{
    const CString cs("h\xc3\xa9llo");  // UTF-8 bytes pass through unchanged
    EXPECT_EQ(TakesCharPointer(cs), 6u);
    const std::string copied = cs;
    EXPECT_TRUE(cs == "h\xc3\xa9llo" && "h\xc3\xa9llo" == cs && cs == copied && copied == cs);
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
    const std::string binary("a\0b", 3);
    EXPECT_EQ(std::string(CString(binary)), binary);

    // The length form stops at a NUL instead of reading past a short source.
    EXPECT_EQ(CString("abc", 100), "abc");
    EXPECT_EQ(CString("abcdef", 2), "ab");
    EXPECT_THROW(CString("abc", -1), std::invalid_argument);
    EXPECT_EQ('x' + CString("a") + "b" + 'c', "xabc");
    EXPECT_LT(CString("aB").CompareNoCase("Abc"), 0);
}

TEST(CStringSearch, PositionsAndCountsClampAndTokensEnd)
{
    const CString s("abcdef");
    const struct {
        CString got;
        const char* want;
    } parts[] = {
        {s.Left(-1), ""},      {s.Left(99), "abcdef"}, {s.Right(-3), ""},     {s.Right(99), "abcdef"},
        {s.Mid(-5), "abcdef"}, {s.Mid(-2, 3), "abc"},  {s.Mid(2, -1), ""},    {s.Mid(4, 99), "ef"},
        {s.Mid(1, INT_MAX), "bcdef"}, {s.Mid(INT_MAX, INT_MAX), ""},
    };
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        EXPECT_EQ(parts[i].got, parts[i].want) << "part " << i;
    }

    const CString d("a.b.c");
    const int found[][2] = {
        {d.Find('.', 2), 3},   {d.Find('c', 4), 4},    {d.Find('.', 5), -1}, {d.Find('a', -1), -1},
        {d.Find("b.c", 3), -1}, {d.Find("", 5), 5},    {d.Find("", 6), -1},
        {d.Find(static_cast<const char*>(nullptr)), -1},
    };
    for (std::size_t i = 0; i < std::size(found); ++i) {
        EXPECT_EQ(found[i][0], found[i][1]) << "find " << i;
    }

    // Tokens skip runs of delimiters, and the end is always reported.
    using Tokens = std::vector<std::string>;
    EXPECT_EQ(AllTokens(",,a,,b,", ","), (Tokens{"a", "b"}));
    EXPECT_EQ(AllTokens("whole text", ""), Tokens{"whole text"});

    int start = 0;
    EXPECT_EQ(d.Tokenize(".", start), "a");
    EXPECT_EQ(start, 2);  // past the delimiter that ended the token
    for (int bad : {-1, 5, INT_MAX}) {
        start = bad;
        EXPECT_EQ(d.Tokenize(".", start), "");
        EXPECT_EQ(start, -1) << bad;
    }
}

TEST(CStringEdit, EditsThatReadTheirOwnText)
{
    CString s("aaa");
    EXPECT_EQ(s.Replace("aa", "b"), 1);  // non-overlapping, left to right
    s += s;
    s += s.GetString();  // the source is the buffer being grown
    EXPECT_EQ(s, "babababa");
    s = "a.b.c";
    EXPECT_EQ(s.Replace(".", nullptr), 2);
    EXPECT_EQ(s.Replace(s.GetString(), s.GetString()), 1);
    EXPECT_EQ(s, "abc");
}

TEST(CStringFormat, LongOutputIsNotCut)
{
    const std::string big(100000, 'q');
    CString s;
    s.Format("[%s]%d", big.c_str(), 42);
    EXPECT_EQ(s.GetLength(), 100004);
    EXPECT_EQ(s.Right(4), "q]42");
    s = "a-b";
    s.AppendFormat("%s", big.c_str());
    EXPECT_EQ(s.GetLength(), 100003);
    EXPECT_EQ(s.Left(4), "a-bq");
}

TEST(CStringBuffer, CallerWritesThenReleasesAndIndexingIsChecked)
{
    CString s("ab");
    std::memcpy(s.GetBuffer(4), "wxyz", 4);  // no terminator written
    s.ReleaseBuffer();
    EXPECT_EQ(s, "wxyz");
    std::memcpy(s.GetBuffer(16), "sixteen chars!!!", 17);  // fills it exactly
    s.ReleaseBuffer();
    EXPECT_EQ(s, "sixteen chars!!!");
    std::memcpy(s.GetBuffer(8), "12345678", 8);
    s.ReleaseBuffer(3);
    EXPECT_EQ(s, "123");

    // Indexing reaches the terminator and no further.
    s = "ab";
    EXPECT_EQ(s.GetAt(2), '\0');
    EXPECT_THROW(s.GetAt(3), std::out_of_range);
    EXPECT_THROW(s[-1], std::out_of_range);
    EXPECT_THROW(s.SetAt(2, 'x'), std::out_of_range);
}

TEST(CStringArray, GrowInsertAndRemoveBounds)
{
    CStringArray a;
    a.Add("x");
    a.InsertAt(0, "first");
    a.InsertAt(4, "far");  // grows with empty strings up to the index
    ASSERT_EQ(a.GetSize(), 5);

    // Sources that are our own elements stay valid while the array moves.
    a.SetAtGrow(40, a[4]);
    a.InsertAt(1, a[0], 3);
    EXPECT_EQ(a[43], "far");
    EXPECT_EQ(a[3], "first");

    EXPECT_THROW(a.RemoveAt(44), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(40, 5), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(1, INT_MAX), std::out_of_range);
    EXPECT_THROW(a.InsertAt(-1, "x"), std::out_of_range);
    a.RemoveAt(1, 42);
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a[1], "far");
}

TEST(CSimpleArray, HoldsBorrowedPointersWithCheckedAccess)
{
    int one = 1, two = 2;
    CSimpleArray<int*> a;
    EXPECT_TRUE(a.Add(&one) && a.Add(&two) && a.Add(&one));
    EXPECT_TRUE(a.Remove(&one));  // only the first one
    EXPECT_EQ(a.Find(&one), 1);
    EXPECT_FALSE(a.RemoveAt(2));
    EXPECT_THROW(a[-1], std::out_of_range);
    EXPECT_THROW(a[2], std::out_of_range);
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a.GetData()[0], &two);
}
