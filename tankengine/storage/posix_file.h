// Files through POSIX calls, with every failure turned into an error text
// that names the file. What changes the disk goes through CurrentFileSystem().
#pragma once

#include "tankengine/storage/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/types.h>

namespace orvo::tank {

// A failed system call as "what: reason", its kind told by the error number:
// a missing file is not found, a lock held elsewhere is busy, the rest is I/O.
Failure SystemFailure(std::string_view what, int error);
Failure SystemFailure(std::string_view what, const std::error_code& error);

// What the storage asks for when it creates files and folders; the umask
// narrows it further. Recordings may hold private data, so others get nothing.
inline constexpr mode_t kFileMode = 0640;
inline constexpr mode_t kFolderMode = 0750;

class File {
public:
    // Opens a regular file, flags as for open(2). Anything else in its place,
    // a link included, is refused as damage, without waiting on it.
    static Result<File> Open(const std::filesystem::path& path, int flags, mode_t mode = kFileMode);
    // Opens a folder to sync it; a link to one is followed.
    static Result<File> OpenFolder(const std::filesystem::path& dir);
    // A new file in dir named prefix, random letters, suffix; never one that
    // was there before, nor a link planted under that name.
    static Result<File> CreateFresh(const std::filesystem::path& dir, std::string_view prefix,
                                    std::string_view suffix);

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool is_open() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

    // Reads until out is full or the file ends; answers the bytes read.
    Result<std::size_t> ReadUpTo(std::uint64_t offset, std::span<std::byte> out) const;
    // Reads exactly out.size() bytes; a shorter file is an error.
    Status ReadExact(std::uint64_t offset, std::span<std::byte> out) const;
    Status WriteAll(std::uint64_t offset, std::span<const std::byte> bytes);
    Result<std::uint64_t> Size() const;
    Status Truncate(std::uint64_t size);
    Status DataSync();
    Status FullSync();
    // Takes an exclusive flock without waiting; held until the file closes.
    Status TryLockExclusive();
    // Takes a shared flock without waiting: false while another handle holds
    // it exclusively.
    Result<bool> TryLockShared();

private:
    Status Error(std::string_view what) const;
    Result<bool> TryLock(int kind);

    int m_fd = -1;
    std::string m_path;
};

Status SyncDirectory(const std::filesystem::path& dir);

// Makes a folder; answers whether it was made rather than already there.
Result<bool> MakeFolder(const std::filesystem::path& dir);
// Makes a new folder in dir named prefix and random letters; answers its path.
Result<std::filesystem::path> MakeFreshFolder(const std::filesystem::path& dir, std::string_view prefix);

// Writes content to a temporary file beside target, syncs it, renames it over
// target and syncs the folder, so readers see the old or the new text whole.
Status ReplaceFileAtomically(const std::filesystem::path& target, std::string_view content);

// Reads a whole small file; one longer than limit bytes is refused.
Result<std::string> ReadSmallFile(const std::filesystem::path& path, std::size_t limit);

}  // namespace orvo::tank
