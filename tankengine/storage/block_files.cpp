#include "tankengine/storage/block_files.h"

#include "protocol/Names.h"
#include "tankengine/storage/posix_file.h"

#include <charconv>
#include <cerrno>
#include <cmath>

#include <sys/stat.h>

namespace orvo::tank {
namespace {

constexpr std::string_view kInfoFirstLine = "orvo-block 1";
constexpr std::size_t kMaxInfoBytes = 4096;
constexpr std::size_t kMaxNotesBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxBlockNameBytes = 200;

std::string FormatDouble(double value)
{
    // The shortest text that reads back as the same double.
    char text[64];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

template <class T>
bool ParseWhole(std::string_view text, T& value)
{
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string FormatBlockInfo(const BlockInfo& info)
{
    std::string text = std::string(kInfoFirstLine) + "\n";
    text += "sequence " + std::to_string(info.sequence) + "\n";
    text += "start " + FormatDouble(info.startTime) + "\n";
    if (info.stopTime) {
        text += "stop " + FormatDouble(*info.stopTime) + "\n";
    }
    return text;
}

Result<BlockInfo> ParseBlockInfo(std::string_view text)
{
    BlockInfo info;
    bool haveSequence = false;
    bool haveStart = false;
    bool first = true;
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (first) {
            if (line != kInfoFirstLine) {
                return Fail(ErrorKind::kCorruption, "not block information of format version 1");
            }
            first = false;
            continue;
        }
        std::size_t space = line.find(' ');
        std::string_view key = line.substr(0, space);
        std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        bool good = true;
        if (key == "sequence") {
            good = haveSequence = ParseWhole(value, info.sequence) && info.sequence != kSequenceLimit;
        } else if (key == "start") {
            good = haveStart = ParseWhole(value, info.startTime) && std::isfinite(info.startTime);
        } else if (key == "stop") {
            double stop = 0;
            good = ParseWhole(value, stop) && std::isfinite(stop);
            info.stopTime = stop;
        }
        if (!good) {
            return Fail(ErrorKind::kCorruption, "bad value in block information line \"" + std::string(line) + "\"");
        }
    }
    if (first || !haveSequence || !haveStart) {
        return Fail(ErrorKind::kCorruption, "block information lacks its sequence or start time");
    }
    return info;
}

Status CheckBlockFolder(const std::filesystem::path& blockDir)
{
    struct stat st {};
    if (::lstat(blockDir.c_str(), &st) != 0) {
        return SystemFailure("cannot open block " + blockDir.string(), errno);
    }
    if (S_ISLNK(st.st_mode)) {
        return Fail(ErrorKind::kCorruption, blockDir.string() + " is a symbolic link, not a block folder");
    }
    if (!S_ISDIR(st.st_mode)) {
        return Fail(ErrorKind::kNotFound, blockDir.string() + " is not a block");
    }
    return {};
}

Result<BlockInfo> ReadBlockInfo(const std::filesystem::path& blockDir)
{
    if (Status folder = CheckBlockFolder(blockDir); !folder) {
        return folder.failure();
    }
    std::filesystem::path path = blockDir / kInfoFileName;
    Result<std::string> text = ReadSmallFile(path, kMaxInfoBytes);
    if (!text) {
        return text.failure();
    }
    Result<BlockInfo> info = ParseBlockInfo(*text);
    if (!info) {
        return Fail(info.kind(), path.string() + ": " + info.error());
    }
    return info;
}

Status WriteBlockInfo(const std::filesystem::path& blockDir, const BlockInfo& info)
{
    return ReplaceFileAtomically(blockDir / kInfoFileName, FormatBlockInfo(info));
}

Result<std::string> ReadBlockNotes(const std::filesystem::path& blockDir)
{
    if (Status folder = CheckBlockFolder(blockDir); !folder) {
        return folder.failure();
    }
    Result<std::string> notes = ReadSmallFile(blockDir / kNotesFileName, kMaxNotesBytes);
    // Notes only describe a block: losing them must not make it unusable.
    if (!notes && notes.kind() == ErrorKind::kNotFound) {
        return std::string();
    }
    return notes;
}

Status ReplaceBlockNotes(const std::filesystem::path& blockDir, std::string_view notes)
{
    if (notes.size() > kMaxNotesBytes) {
        return Fail(ErrorKind::kInvalidArgument, "block notes of " + std::to_string(notes.size()) +
                                                     " bytes exceed the limit of " + std::to_string(kMaxNotesBytes));
    }
    if (Status folder = CheckBlockFolder(blockDir); !folder) {
        return folder;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(blockDir / kInfoFileName, error))) {
        return Fail(ErrorKind::kNotFound, blockDir.string() + " is not a block");
    }
    return ReplaceFileAtomically(blockDir / kNotesFileName, notes);
}

const char* BlockNameProblem(std::string_view name)
{
    if (name.empty() || name.size() > kMaxBlockNameBytes) {
        return "a block name has 1 to 200 bytes";
    }
    if (name.front() == '.') {
        return "a block name does not begin with a dot";
    }
    if (name.find('/') != std::string_view::npos) {
        return "a block name holds no slash";
    }
    if (HoldsControl(name)) {
        return "a block name holds no control characters";
    }
    return nullptr;
}

}  // namespace orvo::tank
