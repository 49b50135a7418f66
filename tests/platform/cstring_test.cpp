#include "platform/cstring.h"
#include "platform/simple_array.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::size_t TakesCharPointer(const char* text) { return std::strlen(text); }
std::string TakesStdString(const std::string& text) { return text; }

std::vector<std::string> AllTokens(const CString& text, const char* delimiters)
{
    std::vector<std::string> tokens;
    int start = 0;
    for (int guard = 0; guard < 100; ++guard) {
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
    EXPECT_EQ(TakesStdString(cs), "h\xc3\xa9llo");
    std::string copied = cs;
    std::string direct(cs);
    EXPECT_EQ(copied, direct);
    EXPECT_TRUE(cs == "h\xc3\xa9llo" && "h\xc3\xa9llo" == cs && cs != "hello");
    EXPECT_TRUE(cs == copied && copied == cs);
    std::ostringstream out;
    out << cs << '|' << CString("x", 0);
    EXPECT_EQ(out.str(), "h\xc3\xa9llo|");

    CString fromNull(static_cast<const char*>(nullptr));
    EXPECT_TRUE(fromNull.IsEmpty());
    fromNull = "x";
    fromNull = static_cast<const char*>(nullptr);
    EXPECT_TRUE(fromNull.IsEmpty());

    // An embedded NUL survives a trip through std::string.
    const std::string binary("a\0b", 3);
    const CString held(binary);
    EXPECT_EQ(held.GetLength(), 3);
    EXPECT_EQ(std::string(held), binary);

    // The length form stops at a NUL instead of reading past a short source.
    EXPECT_EQ(CString("abc", 100), "abc");
    EXPECT_EQ(CString("abcdef", 2), "ab");
    EXPECT_EQ(CString('-', 3), "---");
    EXPECT_TRUE(CString('-', -1).IsEmpty());
    EXPECT_THROW(CString("abc", -1), std::invalid_argument);
    EXPECT_THROW(CString(nullptr, 1), std::invalid_argument);
}

TEST(CStringConversion, ConcatenationAndOrdering)
{
    CString s = CString("a") + "b" + 'c' + CString("d");
    s = 'x' + s + std::string("y");
    s = "<" + s;
    EXPECT_EQ(s, "<xabcdy");
    s += s;
    s += s.GetString();  // appending our own buffer
    EXPECT_EQ(s, "<xabcdy<xabcdy<xabcdy<xabcdy");

    // Bytes order as unsigned, so UTF-8 sorts after ASCII.
    EXPECT_LT(CString("z"), "\xc3\xa9");
    EXPECT_EQ(CString("MiXeD").CompareNoCase("mixed"), 0);
    EXPECT_LT(CString("abc").CompareNoCase("ABD"), 0);
    EXPECT_LT(CString("ab").CompareNoCase("ABC"), 0);
    EXPECT_GT(CString("\xc3\xa9").CompareNoCase("Z"), 0);
    EXPECT_EQ(CString().Compare(nullptr), 0);

    std::map<CString, int> byName{{"b", 2}, {"a", 1}};
    EXPECT_EQ(byName.begin()->first, "a");
}

TEST(CStringSubstring, CountsAndPositionsClamp)
{
    const CString s("abcdef");
    EXPECT_EQ(s.Left(-1) + "|" + s.Left(99), "|abcdef");
    EXPECT_EQ(s.Right(-3) + "|" + s.Right(2) + "|" + s.Right(99), "|ef|abcdef");
    EXPECT_EQ(s.Mid(-5) + "|" + s.Mid(6) + "|" + s.Mid(99), "abcdef||");
    EXPECT_EQ(s.Mid(-2, 3), "abc");  // the start clamps on its own
    EXPECT_EQ(s.Mid(2, -1), "");
    EXPECT_EQ(s.Mid(4, 99), "ef");
    EXPECT_EQ(s.Mid(1, INT_MAX), "bcdef");
    EXPECT_EQ(s.Mid(INT_MAX, INT_MAX), "");
    EXPECT_EQ(CString("  12ab").SpanIncluding(" 0123456789"), "  12");
    EXPECT_EQ(CString("key=value").SpanExcluding("=;"), "key");
    EXPECT_EQ(CString("key").SpanExcluding("="), "key");
}

TEST(CStringSearch, FindEdgesAndStartOutOfRange)
{
    const CString s("a.b.c");
    EXPECT_EQ(s.Find('.', 2), 3);
    EXPECT_EQ(s.Find('c', 4), 4);
    EXPECT_EQ(s.Find('.', 5), -1);
    EXPECT_EQ(s.Find('a', -1), -1);
    EXPECT_EQ(s.Find("b.c"), 2);
    EXPECT_EQ(s.Find("b.c", 3), -1);
    EXPECT_EQ(s.Find("", 5), 5);
    EXPECT_EQ(s.Find("", 6), -1);
    EXPECT_EQ(s.Find(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(s.ReverseFind('.'), 3);
    EXPECT_EQ(s.FindOneOf("xc."), 1);
    EXPECT_EQ(s.FindOneOf(""), -1);
}

TEST(CStringSearch, TokenizeSkipsRunsOfDelimiters)
{
    using Tokens = std::vector<std::string>;
    EXPECT_EQ(AllTokens(",,a,,b,", ","), (Tokens{"a", "b"}));
    EXPECT_EQ(AllTokens("one two\tthree", " \t"), (Tokens{"one", "two", "three"}));
    EXPECT_EQ(AllTokens(",;,", ",;"), Tokens{});
    EXPECT_EQ(AllTokens("", ","), Tokens{});
    EXPECT_EQ(AllTokens("whole text", ""), Tokens{"whole text"});

    const CString s("a,b");
    int start = 0;
    EXPECT_EQ(s.Tokenize(",", start), "a");
    EXPECT_EQ(start, 2);  // past the delimiter that ended the token
    EXPECT_EQ(s.Tokenize(",", start), "b");
    EXPECT_EQ(start, 4);

    for (int bad : {-1, 3, 4, INT_MAX}) {
        start = bad;
        EXPECT_EQ(s.Tokenize(",", start), "");
        EXPECT_EQ(start, -1) << bad;
    }
}

TEST(CStringEdit, TrimReplaceInsertDelete)
{
    CString s(" \t\r\nword \n");
    EXPECT_EQ(s.Trim(), "word");
    s = "xxaxx";
    EXPECT_EQ(s.TrimLeft('x').TrimRight("x"), "a");
    s = "-+-";
    EXPECT_EQ(s.Trim("+-"), "");

    s = "aaa";
    EXPECT_EQ(s.Replace("aa", "b"), 1);  // non-overlapping, left to right
    EXPECT_EQ(s, "ba");
    s = "a.b.c";
    EXPECT_EQ(s.Replace(".", nullptr), 2);
    EXPECT_EQ(s, "abc");
    EXPECT_EQ(s.Replace("", "x"), 0);
    EXPECT_EQ(s.Replace(s.GetString(), s.GetString()), 1);  // both point into s
    EXPECT_EQ(s.Replace('b', 'B'), 1);
    EXPECT_EQ(s.Remove('a'), 1);
    EXPECT_EQ(s, "Bc");

    EXPECT_EQ(s.Insert(-5, '<'), 3);
    EXPECT_EQ(s.Insert(99, ">"), 4);
    EXPECT_EQ(s.Insert(1, s.GetString()), 8);
    EXPECT_EQ(s, "<<Bc>Bc>");
    EXPECT_EQ(s.Delete(-1, 2), 6);
    EXPECT_EQ(s.Delete(4, INT_MAX), 4);
    EXPECT_EQ(s.Delete(99) + s.Delete(0, -1), 8);
    EXPECT_EQ(s, "Bc>B");

    s = "Ab\xc3\x89z";
    EXPECT_EQ(s.MakeUpper(), "AB\xc3\x89Z");  // UTF-8 bytes untouched
    EXPECT_EQ(s.MakeLower(), "ab\xc3\x89z");
}

TEST(CStringFormat, LongOutputAndBadFormats)
{
    const std::string big(100000, 'q');
    CString s;
    s.Format("[%s]%d", big.c_str(), 42);
    EXPECT_EQ(s.GetLength(), 100004);
    EXPECT_EQ(s.Right(4), "q]42");
    s.Format("%2$s-%1$s", "b", "a");
    EXPECT_EQ(s, "a-b");
    s.AppendFormat("%05.1f", 2.25);
    EXPECT_EQ(s, "a-b002.2");
    s.AppendFormat("%s", big.c_str());
    EXPECT_EQ(s.GetLength(), 100008);

    // Formats not known at compile time, which the C library rejects.
    s = "kept";
    for (const char* bad : {"tail %", "%99999999999d"}) {
        EXPECT_THROW(s.Format(bad, 1, 2), std::invalid_argument) << bad;
        EXPECT_THROW(s.AppendFormat(bad, 1, 2), std::invalid_argument) << bad;
        EXPECT_EQ(s, "kept");
    }
}

TEST(CStringBuffer, CallerWritesThenReleases)
{
    CString s("old text");
    char* buffer = s.GetBuffer(16);
    std::snprintf(buffer, 17, "%s", "sixteen chars!!!");  // 16 characters and the NUL
    s.ReleaseBuffer();
    EXPECT_EQ(s, "sixteen chars!!!");

    buffer = s.GetBuffer(32);
    std::memcpy(buffer, "ab", 3);
    s.ReleaseBuffer();
    EXPECT_EQ(s, "ab");

    buffer = s.GetBuffer(4);
    std::memcpy(buffer, "wxyz", 4);  // no terminator written
    s.ReleaseBuffer();
    EXPECT_EQ(s, "wxyz");

    buffer = s.GetBuffer(8);
    std::memcpy(buffer, "12345678", 8);
    s.ReleaseBuffer(3);
    EXPECT_EQ(s, "123");
    s.GetBuffer(8);
    s.ReleaseBuffer(INT_MAX);  // cut to the buffer
    EXPECT_EQ(s.GetLength(), 8);

    CString empty;
    empty.GetBuffer()[0] = '\0';
    empty.ReleaseBuffer();
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_THROW(empty.GetBuffer(-1), std::invalid_argument);
}

TEST(CStringIndexing, ReadsUpToTheTerminatorAndNoFurther)
{
    CString s("ab");
    EXPECT_EQ(s[1], 'b');
    EXPECT_EQ(s.GetAt(2), '\0');
    EXPECT_THROW(s.GetAt(3), std::out_of_range);
    EXPECT_THROW(s[-1], std::out_of_range);
    EXPECT_THROW(s.SetAt(2, 'x'), std::out_of_range);
    EXPECT_THROW(s.SetAt(-1, 'x'), std::out_of_range);
    EXPECT_THROW(CString().GetAt(1), std::out_of_range);
}

TEST(CStringArray, GrowInsertAndRemoveBounds)
{
    CStringArray a;
    EXPECT_EQ(a.Add("x"), 0);
    EXPECT_EQ(a.Add("y"), 1);
    a.InsertAt(0, "first");
    a.InsertAt(5, "far");  // grows with empty strings up to the index
    ASSERT_EQ(a.GetSize(), 6);
    EXPECT_EQ(a.GetUpperBound(), 5);
    EXPECT_EQ(a[0], "first");
    EXPECT_TRUE(a[3].IsEmpty());
    EXPECT_EQ(a[5], "far");

    // Sources that are our own elements stay valid while the array moves.
    a.SetAtGrow(40, a[5]);
    a.InsertAt(1, a[0], 3);
    EXPECT_EQ(a[40 + 3], "far");
    EXPECT_EQ(a[3], "first");
    EXPECT_EQ(a.Append(a), 44);
    EXPECT_EQ(a.GetSize(), 88);
    EXPECT_EQ(a[87], "far");

    EXPECT_THROW(a.RemoveAt(88), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(80, 9), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(-1), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(0, -1), std::invalid_argument);
    EXPECT_THROW(a.RemoveAt(1, INT_MAX), std::out_of_range);
    EXPECT_THROW(a.InsertAt(-1, "x"), std::out_of_range);
    EXPECT_THROW(a.SetAtGrow(-1, "x"), std::out_of_range);
    EXPECT_THROW(a.SetSize(-1), std::invalid_argument);
    EXPECT_THROW(a.SetAt(88, "x"), std::out_of_range);
    EXPECT_EQ(a.GetSize(), 88);

    a.RemoveAt(4, 84);
    a.RemoveAt(1, 2);
    std::string joined;
    for (const CString& s : a) {
        joined += std::string(s) + ";";
    }
    EXPECT_EQ(joined, "first;first;");
    a.SetSize(0);
    EXPECT_TRUE(a.IsEmpty());
}

TEST(CSimpleArray, HoldsBorrowedPointersWithCheckedAccess)
{
    int one = 1, two = 2, three = 3;
    CSimpleArray<int*> a;
    EXPECT_EQ(a.GetData(), nullptr);
    EXPECT_TRUE(a.Add(&one));
    EXPECT_TRUE(a.Add(&two));
    EXPECT_TRUE(a.Add(&one));
    EXPECT_TRUE(a.Add(&three));

    EXPECT_EQ(a.Find(&one), 0);
    EXPECT_EQ(a.Find(nullptr), -1);
    EXPECT_TRUE(a.Remove(&one));  // only the first one
    EXPECT_EQ(a.Find(&one), 1);
    EXPECT_FALSE(a.Remove(nullptr));

    for (int bad : {-1, 3}) {
        EXPECT_FALSE(a.RemoveAt(bad));
        EXPECT_FALSE(a.SetAtIndex(bad, &one));
        EXPECT_THROW(a[bad], std::out_of_range);
    }
    EXPECT_EQ(a.GetSize(), 3);

    EXPECT_TRUE(a.SetAtIndex(0, &three));
    EXPECT_TRUE(a.RemoveAt(1));
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a.GetData()[0], &three);
    EXPECT_EQ(a[1], &three);
    a.RemoveAll();  // leaves the pointed-to objects alone
    EXPECT_EQ(a.GetData(), nullptr);
}
