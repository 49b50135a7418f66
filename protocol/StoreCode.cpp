#include "protocol/StoreCode.h"

#include <cstdint>
#include <cstring>

namespace orvo {

LONG PackStoreCode(const char* text)
{
    std::uint32_t code = 0;
    for (int i = 0; i < 4 && text != nullptr && text[i] != '\0'; ++i) {
        code |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    }
    return static_cast<LONG>(code);
}

CString StoreCodeText(LONG code)
{
    char text[5] = {};
    const auto bits = static_cast<std::uint32_t>(code);
    for (int i = 0; i < 4; ++i) {
        text[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    return CString(text);
}

}  // namespace orvo
