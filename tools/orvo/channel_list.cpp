#include "tools/orvo/channel_list.h"

#include <algorithm>
#include <charconv>

#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

constexpr int kLastChannel = 65535;  // the header's channel is 16 bits

int Channel(std::string_view text, std::string_view item)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
        value > kLastChannel) {
        throw Failure("bad channel \"" + std::string(item) + "\": channels are numbers from 1 to " +
                      std::to_string(kLastChannel) + ", as in 1,3,5-8");
    }
    return value;
}

}  // namespace

std::vector<int> ParseChannelList(const std::string& text)
{
    std::vector<bool> chosen(kLastChannel + 1, false);
    std::string_view rest(text);
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t dash = item.find('-');
        const int first = Channel(item.substr(0, dash), item);
        const int last = dash == std::string_view::npos ? first : Channel(item.substr(dash + 1), item);
        if (last < first) {
            throw Failure("bad channel range \"" + std::string(item) + "\": it runs backwards");
        }
        for (int channel = first; channel <= last; ++channel) {
            chosen[static_cast<std::size_t>(channel)] = true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    std::vector<int> channels;
    for (int channel = 1; channel <= kLastChannel; ++channel) {
        if (chosen[static_cast<std::size_t>(channel)]) {
            channels.push_back(channel);
        }
    }
    return channels;
}

}  // namespace orvo::tool
