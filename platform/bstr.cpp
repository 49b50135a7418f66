#include <orvo/platform/bstr.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Prefix = std::uint32_t;

constexpr std::uint64_t kMaxBlock = 0xFFFFFFFFu;

unsigned char* BlockOf(BSTR text)
{
    return reinterpret_cast<unsigned char*>(text) - sizeof(Prefix);
}

BSTR Allocate(const void* data, std::uint64_t byteLen)
{
    // An odd length is padded by one zero byte so that the terminator sits on a
    // whole character: code that scans for a NUL character then stops inside
    // the block rather than reading half a character beyond it.
    const std::uint64_t padded = byteLen + (byteLen & 1u);
    const std::uint64_t block = sizeof(Prefix) + padded + sizeof(OLECHAR);
    if (block > kMaxBlock) {
        return nullptr;
    }
    auto* raw = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(block)));
    if (raw == nullptr) {
        return nullptr;
    }
    const Prefix length = static_cast<Prefix>(byteLen);
    std::memcpy(raw, &length, sizeof length);
    unsigned char* text = raw + sizeof(Prefix);
    if (data != nullptr) {
        std::memcpy(text, data, static_cast<std::size_t>(byteLen));
    } else {
        std::memset(text, 0, static_cast<std::size_t>(byteLen));
    }
    std::memset(text + byteLen, 0, static_cast<std::size_t>(block - sizeof(Prefix) - byteLen));
    return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t chars = std::char_traits<OLECHAR>::length(text);
    return Allocate(text, static_cast<std::uint64_t>(chars) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT chars)
{
    return Allocate(text, static_cast<std::uint64_t>(chars) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT byteLen) { return Allocate(bytes, byteLen); }

UINT SysStringByteLen(BSTR text)
{
    if (text == nullptr) {
        return 0;
    }
    Prefix length = 0;
    std::memcpy(&length, BlockOf(text), sizeof length);
    return length;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

void SysFreeString(BSTR text)
{
    if (text != nullptr) {
        std::free(BlockOf(text));
    }
}
