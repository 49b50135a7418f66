// Channel lists as users type them: "1,3,5-8".
#pragma once

#include <string>
#include <vector>

namespace orvo::tool {

// Rising channel numbers 1 to 65535, without repeats; throws Failure with
// the offending item otherwise.
std::vector<int> ParseChannelList(const std::string& text);

}  // namespace orvo::tool
