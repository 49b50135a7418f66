// Scalar, string and handle types of the Windows API, with the widths the
// exported signatures and the engine interface rely on.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using CHAR = char;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using INT = int;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = int;
using FLOAT = float;
using DOUBLE = double;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

using LPSTR = char*;
using LPCSTR = const char*;

// OLE text is UTF-16 on every platform.
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

// A BSTR points at the first character; the byte length sits in the four
// bytes before it and a NUL character follows the text.
using BSTR = OLECHAR*;

using HRESULT = std::int32_t;
using VARTYPE = std::uint16_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Opaque handles. Each is a distinct pointer type so that they cannot be mixed.
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HKEY__;
using HKEY = HKEY__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
