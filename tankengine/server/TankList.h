// The machine's list of registered tanks in the registry: value name the tank
// name, data the folder it lies in, ending in "/".
#pragma once

#include "tankengine/storage/result.h"

#include <optional>
#include <string>
#include <string_view>

namespace orvo::engine {


tank::Status RegisterTank(std::string_view name, std::string_view folder);
tank::Status UnregisterTank(std::string_view name);
// The name at a place of the list, in the order the tanks were registered.
tank::Result<std::string> RegisteredTankAt(long index);
// The folder of a registered tank, as stored; nullopt when not registered.
std::optional<std::string> RegisteredFolder(std::string_view name);

}  // namespace orvo::engine
