// Names a person reads: tanks, blocks and stores. A control character in
// one would let it pass for another name on a terminal, or break the line or
// notice it is written into, so neither side takes or passes one on.
#pragma once

#include <algorithm>
#include <string_view>

namespace orvo {

constexpr bool IsControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

constexpr bool HoldsControl(std::string_view text)
{
    return std::ranges::any_of(text, IsControl);
}

}  // namespace orvo
