// Data-path descriptors are text that callers pass between programs and
// store; FromDPX reads any text, and reads back each part ToDPX wrote.
#include "fuzz/fuzz_support.h"

#include <orvo/OrvoCI.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kMarker = "@@";
constexpr const char* kItems[] = {"SV", "TK", "BK", "EV"};

// Tags are not escaped, so parts read back only while no part holds
// anything that can be taken for the start of a part (its own or another's)
// or for the prefix FromDPX drops.
bool HoldsNoTag(std::string_view value)
{
    return value.find('[') == std::string_view::npos && value.find("DPX=") == std::string_view::npos &&
           value.find('\0') == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One client for the run: making one reads the registry.
    static OrvoCI* const client = new OrvoCI;
    const std::string_view input = orvo::fuzz::Bytes(data, size);
    const CString whole{std::string(input)};
    for (const char* item : kItems) {
        const std::string value(client->FromDPX(whole, item).GetString());
        FUZZ_CHECK(value.size() <= input.size());
    }

    // Server, tank, block and event names, then channel numbers.
    const auto pieces = orvo::fuzz::Pieces(input, kMarker);
    std::string parts[4];
    for (std::size_t i = 0; i < 4 && i < pieces.size(); ++i) {
        parts[i] = std::string(pieces[i]);
    }
    std::vector<LONG> channels;
    for (std::size_t i = 4; i < pieces.size() && channels.size() < 16; ++i) {
        channels.push_back(static_cast<LONG>(std::hash<std::string_view>{}(pieces[i])) | 1);
    }
    channels.push_back(0);
    const CString text = client->ToDPX(parts[0].c_str(), parts[1].c_str(), parts[2].c_str(), parts[3].c_str(),
                                       channels.data());
    if (!std::ranges::all_of(parts, HoldsNoTag)) {
        return 0;
    }
    // An empty part is not written, and "?" stands for the client's current name.
    for (std::size_t i = 0; i < 4; ++i) {
        if (!parts[i].empty() && parts[i] != "?") {
            FUZZ_CHECK(std::string(client->FromDPX(text, kItems[i]).GetString()) == parts[i]);
        }
    }
    return 0;
}
