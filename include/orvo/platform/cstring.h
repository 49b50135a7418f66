// The 8-bit string and string array that Windows code and our exported
// signatures use. The bytes are UTF-8 here; case mapping, trimming
// and case-blind comparison look only at ASCII so that multi-byte sequences
// pass through untouched.
#pragma once

#include <compare>
#include <iosfwd>
#include <string>
#include <vector>

// Conversions: a CString converts implicitly to both const char* and
// std::string, so it can be handed to either kind of API unchanged. One
// consequence: std::string's own operator= and operator+= take both a
// const char* and a std::string, so `str = cs;` and `str += cs;` are ambiguous.
// Write `str = cs.GetString();` (or std::string(cs) to keep embedded NULs).
//
// Positions and counts are int, as Windows callers pass them. Indexing that
// would leave the string throws std::out_of_range; the substring and editing
// operations clamp their arguments instead, which such callers rely on. Text
// longer than INT_MAX - 1 bytes is refused with std::length_error.
//
// Threads: as a standard string: const calls may share one between threads,
// a call that changes it needs it to itself.
class CString {
public:
    CString() = default;
    CString(const char* text);            // null gives an empty string
    // At most `length` bytes, stopping early at a NUL so that a short
    // NUL-terminated source is never read past its end. A negative length, or
    // a null text with a positive length, throws std::invalid_argument.
    CString(const char* text, int length);
    explicit CString(char ch, int repeat = 1);    // negative repeat gives ""
    CString(const std::string& text);
    CString(std::string&& text);

    CString& operator=(const char* text);
    CString& operator=(char ch);

    operator const char*() const noexcept { return m_text.c_str(); }
    operator std::string() const { return m_text; }
    const char* GetString() const noexcept { return m_text.c_str(); }

    int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const noexcept { return m_text.empty(); }
    void Empty() noexcept { m_text.clear(); }

    // An index equal to the length reads the terminating NUL, as C-style
    // loops over the string expect; anything further throws.
    char GetAt(int index) const;
    char operator[](int index) const { return GetAt(index); }
    void SetAt(int index, char ch);       // index must be within the text

    CString& operator+=(const CString& text);
    CString& operator+=(const char* text);
    CString& operator+=(char ch);

    friend CString operator+(const CString& a, const CString& b);
    friend CString operator+(const CString& a, const char* b);
    friend CString operator+(const char* a, const CString& b);
    friend CString operator+(const CString& a, char b);
    friend CString operator+(char a, const CString& b);

    friend bool operator==(const CString& a, const CString& b) noexcept { return a.m_text == b.m_text; }
    friend bool operator==(const CString& a, const char* b) noexcept { return a.Compare(b) == 0; }
    friend std::strong_ordering operator<=>(const CString& a, const CString& b) noexcept
    {
        return a.m_text <=> b.m_text;
    }
    friend std::strong_ordering operator<=>(const CString& a, const char* b) noexcept
    {
        return a.Compare(b) <=> 0;
    }

    // Byte order (as unsigned char). A null text counts as empty.
    int Compare(const char* text) const noexcept;
    int CompareNoCase(const char* text) const noexcept;

    CString Left(int count) const;
    CString Mid(int start) const;
    CString Mid(int start, int count) const;
    CString Right(int count) const;
    CString SpanIncluding(const char* set) const;
    CString SpanExcluding(const char* set) const;

    // Index of the first match at or after start, or -1. A start outside the
    // text, or a null text, finds nothing; an empty text is found at start.
    int Find(char ch, int start = 0) const noexcept;
    int Find(const char* text, int start = 0) const noexcept;
    int ReverseFind(char ch) const noexcept;
    int FindOneOf(const char* set) const noexcept;

    // The next token at or after start, skipping leading delimiters; start is
    // moved past the delimiter that ends the token. When no token is left (or
    // start is out of range) returns "" and sets start to -1. Without
    // delimiters the rest of the text is one token.
    CString Tokenize(const char* delimiters, int& start) const;

    // Without an argument these strip ASCII whitespace.
    CString& Trim();
    CString& Trim(char ch);
    CString& Trim(const char* set);
    CString& TrimLeft();
    CString& TrimLeft(char ch);
    CString& TrimLeft(const char* set);
    CString& TrimRight();
    CString& TrimRight(char ch);
    CString& TrimRight(const char* set);

    CString& MakeUpper() noexcept;
    CString& MakeLower() noexcept;

    // These return the number of replacements or removals.
    int Replace(char oldCh, char newCh) noexcept;
    int Replace(const char* oldText, const char* newText);
    int Remove(char ch);

    // Return the new length. Insert clamps the index into [0, length];
    // Delete clamps both index and count to the text.
    int Insert(int index, char ch);
    int Insert(int index, const char* text);
    int Delete(int index, int count = 1);

    // printf-style. A format the C library rejects throws
    // std::invalid_argument and leaves the string as it was.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // A writable buffer of at least minLength characters plus a NUL slot,
    // holding the current text. Until ReleaseBuffer the length reads as the
    // buffer size. ReleaseBuffer(-1) ends the text at the first NUL in the
    // buffer; a longer newLength than the buffer is cut to the buffer. Any
    // other call on the string invalidates the pointer.
    char* GetBuffer(int minLength = 0);
    void ReleaseBuffer(int newLength = -1);

    friend std::ostream& operator<<(std::ostream& out, const CString& text);

private:
    std::string m_text;
};

// Growable array of CString. Indices are checked: a bad index throws
// std::out_of_range, a negative size or count std::invalid_argument.
// Threads: as CString.
class CStringArray {
public:
    int GetSize() const noexcept { return static_cast<int>(m_items.size()); }
    int GetCount() const noexcept { return GetSize(); }
    int GetUpperBound() const noexcept { return GetSize() - 1; }
    bool IsEmpty() const noexcept { return m_items.empty(); }

    const CString& GetAt(int index) const { return m_items[Checked(index)]; }
    CString& ElementAt(int index) { return m_items[Checked(index)]; }
    const CString& operator[](int index) const { return GetAt(index); }
    CString& operator[](int index) { return ElementAt(index); }
    void SetAt(int index, const CString& value) { ElementAt(index) = value; }

    int Add(const CString& value);                  // returns the new index
    int Append(const CStringArray& other);          // returns the first new index
    void SetAtGrow(int index, const CString& value);
    // An index past the end grows the array to reach it.
    void InsertAt(int index, const CString& value, int count = 1);
    void RemoveAt(int index, int count = 1);
    void RemoveAll() noexcept { m_items.clear(); }
    void SetSize(int newSize);

    auto begin() noexcept { return m_items.begin(); }
    auto end() noexcept { return m_items.end(); }
    auto begin() const noexcept { return m_items.begin(); }
    auto end() const noexcept { return m_items.end(); }

private:
    std::size_t Checked(int index) const;
    static void CheckGrowth(long long newSize);

    std::vector<CString> m_items;
};
