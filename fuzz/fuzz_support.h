// What the fuzz programs share: a failed expectation ends the run as a crash,
// so libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition) \
    ((condition) ? void(0) : orvo::fuzz::Broken(#condition, __FILE__, __LINE__))

namespace orvo::fuzz {

[[noreturn]] inline void Broken(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: expected %s\n", file, line, what);
    std::abort();
}

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// Pieces of an input that stands for several files. A marker, not lengths, so
// that a mutation inside one piece leaves the others where they were.
inline std::vector<std::string_view> Pieces(std::string_view input, std::string_view marker)
{
    std::vector<std::string_view> pieces;
    for (std::size_t at; (at = input.find(marker)) != std::string_view::npos;) {
        pieces.push_back(input.substr(0, at));
        input.remove_prefix(at + marker.size());
    }
    pieces.push_back(input);
    return pieces;
}

}  // namespace orvo::fuzz
