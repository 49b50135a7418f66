// The error that COM client code throws, and the text conversions that client
// code makes on every call to the engine: 8-bit text in, BSTR out and back.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <orvo/platform/types.h>

// Threads: unchanged once made, so it may be shared and read on any thread.
class ComError : public std::exception {
public:
    explicit ComError(HRESULT hr) noexcept;

    HRESULT Error() const noexcept { return m_hr; }
    // "COM error 0x8007000E", with the HRESULT in hexadecimal.
    const char* what() const noexcept override { return m_text; }

private:
    HRESULT m_hr;
    char m_text[32];
};

// An owned BSTR, freed when the object ends. Made from text in the ANSI code
// page; throws ComError with E_OUTOFMEMORY when the text cannot become a
// BSTR, or with the HRESULT of the conversion's last error when it fails.
// A null char pointer gives a null BSTR, an empty text an empty BSTR.
// Threads: const calls may share an object; out, release and assignment
// need it to itself.
class BStr {
public:
    BStr() noexcept = default;
    explicit BStr(const char* text);
    explicit BStr(std::string_view text);
    ~BStr();

    BStr(BStr&& other) noexcept;
    BStr& operator=(BStr&& other) noexcept;
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;

    BSTR get() const noexcept { return m_text; }
    // Hands the BSTR over to the caller, who must free it.
    BSTR release() noexcept;
    // For an out parameter: frees what is held and returns where the callee
    // stores its BSTR, which this object then owns.
    BSTR* out() noexcept;

private:
    BSTR m_text = nullptr;
};

// The text of a BSTR in the ANSI code page, all SysStringLen characters of
// it (embedded NULs included); "" for null.
std::string BstrToAnsi(BSTR text);
