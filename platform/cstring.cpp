#include <orvo/platform/cstring.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>

namespace {

// Positions are int, and Tokenize hands back one past the end, so the text
// never grows beyond INT_MAX - 1 bytes; that keeps every position arithmetic
// below free of overflow.
constexpr std::size_t kMaxLength = INT_MAX - 1;

std::size_t CheckedLength(std::size_t length)
{
    if (length > kMaxLength) {
        throw std::length_error("CString too long");
    }
    return length;
}

std::size_t SafeLength(const char* text) noexcept { return text ? std::strlen(text) : 0; }

const char* OrEmpty(const char* text) noexcept { return text ? text : ""; }

char AsciiLower(char ch) noexcept { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }
char AsciiUpper(char ch) noexcept { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch; }

constexpr const char* kWhitespace = " \t\n\v\f\r";

// Appends the formatted text to out. False, with out unchanged, when the C
// library rejects the format. The length is measured first and the second pass
// is bounded by it, so a format that would print differently the second time
// still cannot write past the space made for it.
__attribute__((format(printf, 2, 0))) bool AppendFormatted(std::string& out, const char* format, va_list args)
{
    if (!format) {
        return false;
    }
    va_list probe;
    va_copy(probe, args);
    const int needed = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (needed < 0) {
        return false;
    }
    const std::size_t old = out.size();
    out.resize(CheckedLength(old + static_cast<std::size_t>(needed)));
    // The NUL vsnprintf ends with lands on the string's own terminator slot.
    const int written = std::vsnprintf(out.data() + old, static_cast<std::size_t>(needed) + 1, format, args);
    if (written != needed) {
        out.resize(old);
        return false;
    }
    return true;
}

}  // namespace

CString::CString(const char* text) : m_text(OrEmpty(text), CheckedLength(SafeLength(text))) {}

CString::CString(const char* text, int length)
{
    if (length < 0 || (!text && length > 0)) {
        throw std::invalid_argument("CString: bad length");
    }
    if (length > 0) {
        m_text.assign(text, strnlen(text, static_cast<std::size_t>(length)));
    }
}

CString::CString(char ch, int repeat)
{
    if (repeat > 0) {
        m_text.assign(CheckedLength(static_cast<std::size_t>(repeat)), ch);
    }
}

CString::CString(const std::string& text) : m_text(text) { CheckedLength(m_text.size()); }

CString::CString(std::string&& text) : m_text(std::move(text)) { CheckedLength(m_text.size()); }

CString& CString::operator=(const char* text)
{
    // assign copes with text pointing into our own buffer.
    m_text.assign(OrEmpty(text), CheckedLength(SafeLength(text)));
    return *this;
}

CString& CString::operator=(char ch)
{
    m_text.assign(1, ch);
    return *this;
}

char CString::GetAt(int index) const
{
    if (index < 0 || index > GetLength()) {
        throw std::out_of_range("CString index out of range");
    }
    return m_text.c_str()[index];
}

void CString::SetAt(int index, char ch)
{
    if (index < 0 || index >= GetLength()) {
        throw std::out_of_range("CString index out of range");
    }
    m_text[static_cast<std::size_t>(index)] = ch;
}

CString& CString::operator+=(const CString& text)
{
    CheckedLength(m_text.size() + text.m_text.size());
    m_text += text.m_text;
    return *this;
}

CString& CString::operator+=(const char* text)
{
    const std::size_t length = SafeLength(text);
    CheckedLength(m_text.size() + length);
    m_text.append(OrEmpty(text), length);
    return *this;
}

CString& CString::operator+=(char ch)
{
    CheckedLength(m_text.size() + 1);
    m_text += ch;
    return *this;
}

CString operator+(const CString& a, const CString& b)
{
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, const char* b)
{
    CString result(a);
    result += b;
    return result;
}

CString operator+(const char* a, const CString& b)
{
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, char b)
{
    CString result(a);
    result += b;
    return result;
}

CString operator+(char a, const CString& b)
{
    CString result(a);
    result += b;
    return result;
}

int CString::Compare(const char* text) const noexcept { return m_text.compare(OrEmpty(text)); }

int CString::CompareNoCase(const char* text) const noexcept
{
    const char* other = OrEmpty(text);
    const std::size_t otherLength = std::strlen(other);
    const std::size_t common = std::min(m_text.size(), otherLength);
    for (std::size_t i = 0; i < common; ++i) {
        const auto a = static_cast<unsigned char>(AsciiLower(m_text[i]));
        const auto b = static_cast<unsigned char>(AsciiLower(other[i]));
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    return m_text.size() == otherLength ? 0 : (m_text.size() < otherLength ? -1 : 1);
}

CString CString::Left(int count) const
{
    return CString(m_text.substr(0, static_cast<std::size_t>(std::max(count, 0))));
}

CString CString::Mid(int start) const
{
    // A negative start reads from the beginning; one past the end gives "".
    const auto from = static_cast<std::size_t>(std::max(start, 0));
    return from >= m_text.size() ? CString() : CString(m_text.substr(from));
}

CString CString::Mid(int start, int count) const
{
    // The start is clamped on its own: Mid(-2, 3) is the first three bytes.
    const auto from = static_cast<std::size_t>(std::max(start, 0));
    if (from >= m_text.size()) {
        return CString();
    }
    return CString(m_text.substr(from, static_cast<std::size_t>(std::max(count, 0))));
}

CString CString::Right(int count) const
{
    const std::size_t n = std::min(m_text.size(), static_cast<std::size_t>(std::max(count, 0)));
    return CString(m_text.substr(m_text.size() - n));
}

CString CString::SpanIncluding(const char* set) const
{
    if (!set || !*set) {
        return CString();
    }
    return CString(m_text.substr(0, m_text.find_first_not_of(set)));
}

CString CString::SpanExcluding(const char* set) const
{
    if (!set || !*set) {
        return *this;
    }
    return CString(m_text.substr(0, m_text.find_first_of(set)));
}

namespace {

int ToIndex(std::size_t pos) noexcept { return pos == std::string::npos ? -1 : static_cast<int>(pos); }

}  // namespace

int CString::Find(char ch, int start) const noexcept
{
    if (start < 0 || start >= GetLength()) {
        return -1;
    }
    return ToIndex(m_text.find(ch, static_cast<std::size_t>(start)));
}

int CString::Find(const char* text, int start) const noexcept
{
    if (!text || start < 0 || start > GetLength()) {
        return -1;
    }
    return ToIndex(m_text.find(text, static_cast<std::size_t>(start)));
}

int CString::ReverseFind(char ch) const noexcept { return ToIndex(m_text.rfind(ch)); }

int CString::FindOneOf(const char* set) const noexcept
{
    if (!set || !*set) {
        return -1;
    }
    return ToIndex(m_text.find_first_of(set));
}

CString CString::Tokenize(const char* delimiters, int& start) const
{
    const int length = GetLength();
    if (start >= 0 && start < length) {
        const auto from = static_cast<std::size_t>(start);
        if (!delimiters || !*delimiters) {
            // Moving start past the end makes the next call report the end,
            // so a caller looping until -1 terminates.
            start = length + 1;
            return CString(m_text.substr(from));
        }
        const std::size_t first = m_text.find_first_not_of(delimiters, from);
        if (first != std::string::npos) {
            std::size_t last = m_text.find_first_of(delimiters, first);
            if (last == std::string::npos) {
                last = m_text.size();
            }
            start = static_cast<int>(last) + 1;
            return CString(m_text.substr(first, last - first));
        }
    }
    start = -1;
    return CString();
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(char ch) { return TrimRight(ch).TrimLeft(ch); }
CString& CString::Trim(const char* set) { return TrimRight(set).TrimLeft(set); }

CString& CString::TrimLeft() { return TrimLeft(kWhitespace); }

CString& CString::TrimLeft(char ch)
{
    m_text.erase(0, std::min(m_text.find_first_not_of(ch), m_text.size()));
    return *this;
}

CString& CString::TrimLeft(const char* set)
{
    if (set && *set) {
        // Measured before erasing, so a set that points into our own text is
        // read only while it is intact.
        const std::size_t keepFrom = std::min(m_text.find_first_not_of(set), m_text.size());
        m_text.erase(0, keepFrom);
    }
    return *this;
}

CString& CString::TrimRight() { return TrimRight(kWhitespace); }

CString& CString::TrimRight(char ch)
{
    const std::size_t last = m_text.find_last_not_of(ch);
    m_text.resize(last == std::string::npos ? 0 : last + 1);
    return *this;
}

CString& CString::TrimRight(const char* set)
{
    if (set && *set) {
        const std::size_t last = m_text.find_last_not_of(set);
        m_text.resize(last == std::string::npos ? 0 : last + 1);
    }
    return *this;
}

CString& CString::MakeUpper() noexcept
{
    std::transform(m_text.begin(), m_text.end(), m_text.begin(), AsciiUpper);
    return *this;
}

CString& CString::MakeLower() noexcept
{
    std::transform(m_text.begin(), m_text.end(), m_text.begin(), AsciiLower);
    return *this;
}

int CString::Replace(char oldCh, char newCh) noexcept
{
    int count = 0;
    for (char& ch : m_text) {
        if (ch == oldCh) {
            ch = newCh;
            ++count;
        }
    }
    return count;
}

int CString::Replace(const char* oldText, const char* newText)
{
    if (!oldText || !*oldText) {
        return 0;
    }
    // Copies, because either argument may point into our own text.
    const std::string from(oldText);
    const std::string to(OrEmpty(newText));
    std::string result;
    int count = 0;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = m_text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        result.append(m_text, pos, hit - pos);
        result += to;
        CheckedLength(result.size());
        ++count;
    }
    if (count > 0) {
        result.append(m_text, pos);
        CheckedLength(result.size());
        m_text = std::move(result);
    }
    return count;
}

int CString::Remove(char ch) { return static_cast<int>(std::erase(m_text, ch)); }

int CString::Insert(int index, char ch)
{
    CheckedLength(m_text.size() + 1);
    const auto at = static_cast<std::size_t>(std::clamp(index, 0, GetLength()));
    m_text.insert(at, 1, ch);
    return GetLength();
}

int CString::Insert(int index, const char* text)
{
    const std::size_t length = SafeLength(text);
    CheckedLength(m_text.size() + length);
    const auto at = static_cast<std::size_t>(std::clamp(index, 0, GetLength()));
    m_text.insert(at, OrEmpty(text), length);
    return GetLength();
}

int CString::Delete(int index, int count)
{
    const auto at = static_cast<std::size_t>(std::max(index, 0));
    if (at < m_text.size() && count > 0) {
        m_text.erase(at, static_cast<std::size_t>(count));
    }
    return GetLength();
}

void CString::Format(const char* format, ...)
{
    std::string text;
    va_list args;
    va_start(args, format);
    bool ok = false;
    try {
        ok = AppendFormatted(text, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    if (!ok) {
        throw std::invalid_argument("CString::Format: bad format");
    }
    m_text = std::move(text);
}

void CString::AppendFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = false;
    try {
        ok = AppendFormatted(m_text, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    if (!ok) {
        throw std::invalid_argument("CString::AppendFormat: bad format");
    }
}

char* CString::GetBuffer(int minLength)
{
    if (minLength < 0) {
        throw std::invalid_argument("CString::GetBuffer: negative length");
    }
    // Padding with NULs means a caller that writes less than the whole buffer
    // still leaves a terminator for ReleaseBuffer(-1) to find.
    if (static_cast<std::size_t>(minLength) > m_text.size()) {
        m_text.resize(CheckedLength(static_cast<std::size_t>(minLength)));
    }
    return m_text.data();
}

void CString::ReleaseBuffer(int newLength)
{
    std::size_t length = newLength < 0 ? m_text.find('\0') : static_cast<std::size_t>(newLength);
    m_text.resize(std::min(length, m_text.size()));
}

std::ostream& operator<<(std::ostream& out, const CString& text)
{
    return out.write(text.m_text.data(), static_cast<std::streamsize>(text.m_text.size()));
}

// ---------------------------------------------------------------------------

std::size_t CStringArray::Checked(int index) const
{
    if (index < 0 || index >= GetSize()) {
        throw std::out_of_range("CStringArray index out of range");
    }
    return static_cast<std::size_t>(index);
}

void CStringArray::CheckGrowth(long long newSize)
{
    if (newSize > INT_MAX) {
        throw std::length_error("CStringArray too large");
    }
}

int CStringArray::Add(const CString& value)
{
    CheckGrowth(static_cast<long long>(m_items.size()) + 1);
    m_items.push_back(value);
    return GetUpperBound();
}

int CStringArray::Append(const CStringArray& other)
{
    const int first = GetSize();
    const std::size_t count = other.m_items.size();
    CheckGrowth(static_cast<long long>(m_items.size() + count));
    // After reserve nothing reallocates, so appending an array to itself reads
    // only the elements that were there before.
    m_items.reserve(m_items.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        m_items.push_back(other.m_items[i]);
    }
    return first;
}

void CStringArray::SetAtGrow(int index, const CString& value)
{
    if (index < 0) {
        throw std::out_of_range("CStringArray index out of range");
    }
    if (index >= GetSize()) {
        CheckGrowth(static_cast<long long>(index) + 1);
        CString copy(value);  // value may be one of our elements, moved by the resize
        m_items.resize(static_cast<std::size_t>(index) + 1);
        m_items.back() = std::move(copy);
    } else {
        m_items[static_cast<std::size_t>(index)] = value;
    }
}

void CStringArray::InsertAt(int index, const CString& value, int count)
{
    if (index < 0) {
        throw std::out_of_range("CStringArray index out of range");
    }
    if (count < 0) {
        throw std::invalid_argument("CStringArray: negative count");
    }
    if (count == 0) {
        return;
    }
    CheckGrowth(static_cast<long long>(std::max(index, GetSize())) + count);
    const CString copy(value);
    if (index > GetSize()) {
        m_items.resize(static_cast<std::size_t>(index));
    }
    m_items.insert(m_items.begin() + index, static_cast<std::size_t>(count), copy);
}

void CStringArray::RemoveAt(int index, int count)
{
    if (count < 0) {
        throw std::invalid_argument("CStringArray: negative count");
    }
    if (index < 0 || static_cast<long long>(index) + count > GetSize()) {
        throw std::out_of_range("CStringArray index out of range");
    }
    m_items.erase(m_items.begin() + index, m_items.begin() + index + count);
}

void CStringArray::SetSize(int newSize)
{
    if (newSize < 0) {
        throw std::invalid_argument("CStringArray: negative size");
    }
    m_items.resize(static_cast<std::size_t>(newSize));
}
