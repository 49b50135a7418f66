// A tank: a folder marked as one, whose subfolders are its blocks.
#pragma once

#include "tankengine/storage/block_files.h"
#include "tankengine/storage/result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvo::tank {

// Makes dir a tank: creates the folder when it is missing (its parent must
// exist) and writes the marker file. An existing tank is left as it is.
Status CreateTank(const std::filesystem::path& dir);

bool IsTank(const std::filesystem::path& dir);

struct BlockEntry {
    std::string name;
    BlockInfo info;                  // all zero when it cannot be read
    std::optional<Failure> problem;  // why the block's information cannot be read
};

// Every block folder of a tank, in creation order: by sequence, then by
// name, and those whose information cannot be read last, by name. A damaged
// block is listed as any other, so one bad block never hides the rest.
Result<std::vector<BlockEntry>> ListBlocks(const std::filesystem::path& tankDir);

}  // namespace orvo::tank
