// The small files of a block: its information, its notes, and the names of
// its files.
#pragma once

#include "tankengine/storage/result.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace orvo::tank {

inline constexpr const char* kHeadersFileName = "events.hdr";
inline constexpr const char* kDataFileName = "events.dat";
inline constexpr const char* kInfoFileName = "block.info";
inline constexpr const char* kNotesFileName = "notes.txt";
inline constexpr const char* kLockFileName = "block.lock";

// No block has this sequence, so that the next block's never wraps to 0.
inline constexpr std::uint64_t kSequenceLimit = std::numeric_limits<std::uint64_t>::max();

struct BlockInfo {
    std::uint64_t sequence = 0;       // place in the tank's creation order
    double startTime = 0;             // seconds
    std::optional<double> stopTime;   // absent while recorded, or when the writer died
};

std::string FormatBlockInfo(const BlockInfo& info);
Result<BlockInfo> ParseBlockInfo(std::string_view text);

// A block is a folder of its own: a link in its place, which could send
// reads or a recording anywhere, is refused as damage.
Status CheckBlockFolder(const std::filesystem::path& blockDir);

Result<BlockInfo> ReadBlockInfo(const std::filesystem::path& blockDir);
Status WriteBlockInfo(const std::filesystem::path& blockDir, const BlockInfo& info);

// A block without notes.txt has empty notes.
Result<std::string> ReadBlockNotes(const std::filesystem::path& blockDir);
// Replaces the notes atomically: a reader sees the old or the new text whole.
Status ReplaceBlockNotes(const std::filesystem::path& blockDir, std::string_view notes);

// Why a name cannot name a block, or nullptr when it can.
const char* BlockNameProblem(std::string_view name);

}  // namespace orvo::tank
