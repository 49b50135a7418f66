// A tank: a folder marked as one, whose subfolders are its blocks.
#pragma once

#include "tankengine/storage/block_files.h"
#include "tankengine/storage/result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace orvo::tank {

// Makes dir a tank: creates the folder when it is missing (its parent must
// exist) and writes the marker file. An existing tank is left as it is.
Status CreateTank(const std::filesystem::path& dir);

bool IsTank(const std::filesystem::path& dir);

struct BlockEntry {
    std::string name;
    BlockInfo info;
};

// The blocks of a tank in creation order.
Result<std::vector<BlockEntry>> ListBlocks(const std::filesystem::path& tankDir);

}  // namespace orvo::tank
