// The one error type of the program: its text is the whole message the user
// sees after "orvo: ".
#pragma once

#include <stdexcept>

namespace orvo::tool {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace orvo::tool
