#include "tankengine/storage/tank_folder.h"

#include "tankengine/storage/posix_file.h"

#include <algorithm>
#include <string_view>

namespace orvo::tank {
namespace {

constexpr const char* kTankMarkerName = "tank.orvo";
constexpr std::string_view kTankMarkerLine = "orvo-tank 1";

// True when dir holds nothing, or only the marker of a tank that another
// process is making at this moment (its marker or the marker's temporary).
bool EmptyButForMarker(const std::filesystem::path& dir)
{
    const std::string temporary = "." + std::string(kTankMarkerName) + ".";
    std::error_code error;
    std::filesystem::directory_iterator it(dir, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name != kTankMarkerName && !(name.starts_with(temporary) && name.ends_with(".tmp"))) {
            return false;
        }
    }
    return !error;
}

// Whether dir holds the marker of a tank; an error only when the marker
// could not be read, so that a failing disk is not taken for a missing tank.
Result<bool> HoldsTankMarker(const std::filesystem::path& dir)
{
    Result<std::string> marker = ReadSmallFile(dir / kTankMarkerName, 4096);
    if (!marker) {
        if (marker.kind() == ErrorKind::kNotFound || marker.kind() == ErrorKind::kCorruption) {
            return false;
        }
        return marker.failure();
    }
    return std::string_view(*marker).substr(0, marker->find('\n')) == kTankMarkerLine;
}

}  // namespace

Status CreateTank(const std::filesystem::path& dir)
{
    Result<bool> tank = HoldsTankMarker(dir);
    if (!tank) {
        return tank.failure();
    }
    if (*tank) {
        return {};
    }
    Result<bool> made = MakeFolder(dir);
    if (!made) {
        return made.failure();
    }
    // Only an empty folder becomes a tank, so that no folder holding
    // something else is taken over by mistake; one that another creator is
    // marking just now is the same tank, and marking it again is harmless.
    std::error_code error;
    if (!*made && !EmptyButForMarker(dir)) {
        return Fail(ErrorKind::kInvalidArgument, dir.string() + " exists and is not an empty folder");
    }
    if (!std::filesystem::is_directory(dir, error)) {
        return Fail(ErrorKind::kInvalidArgument, dir.string() + " exists and is not a folder");
    }
    Status marked = ReplaceFileAtomically(dir / kTankMarkerName, std::string(kTankMarkerLine) + "\n");
    if (marked && *made) {
        std::filesystem::path parent = dir.has_parent_path() ? dir.parent_path() : ".";
        marked = SyncDirectory(parent);
    }
    return marked;
}

bool IsTank(const std::filesystem::path& dir)
{
    Result<bool> tank = HoldsTankMarker(dir);
    return tank && *tank;
}

Result<std::vector<BlockEntry>> ListBlocks(const std::filesystem::path& tankDir)
{
    Result<bool> tank = HoldsTankMarker(tankDir);
    if (!tank) {
        return tank.failure();
    }
    if (!*tank) {
        return Fail(ErrorKind::kNotFound, tankDir.string() + " is not a tank");
    }
    std::error_code error;
    std::filesystem::directory_iterator it(tankDir, error);
    if (error) {
        return SystemFailure("cannot list " + tankDir.string(), error);
    }
    std::vector<BlockEntry> blocks;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        std::error_code notFolder;
        if (name.starts_with('.') || !it->is_directory(notFolder)) {
            continue;
        }
        Result<BlockInfo> info = ReadBlockInfo(it->path());
        if (info) {
            blocks.push_back({std::move(name), *info, std::nullopt});
        } else {
            blocks.push_back({std::move(name), BlockInfo{}, info.failure()});
        }
    }
    if (error) {
        return SystemFailure("cannot list " + tankDir.string(), error);
    }
    std::ranges::sort(blocks, [](const BlockEntry& a, const BlockEntry& b) {
        if (a.problem.has_value() != b.problem.has_value()) {
            return b.problem.has_value();
        }
        return a.info.sequence != b.info.sequence ? a.info.sequence < b.info.sequence : a.name < b.name;
    });
    return blocks;
}

}  // namespace orvo::tank
