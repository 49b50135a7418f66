// Files through POSIX calls, with every failure turned into an error text
// that names the file. What changes the disk goes through CurrentFileSystem().
#pragma once

#include "tankengine/storage/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <sys/types.h>
#include <sys/uio.h>

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
    // Another handle of the same open file, for a thread of its own: it
    // stays valid when this object moves or closes.
    Result<File> Duplicate() const;
    const std::string& path() const { return m_path; }

    // Reads until out is full or the file ends; answers the bytes read.
    Result<std::size_t> ReadUpTo(std::uint64_t offset, std::span<std::byte> out) const;
    // Reads exactly out.size() bytes; a shorter file is an error.
    Status ReadExact(std::uint64_t offset, std::span<std::byte> out) const;
    // The same for bytes that lie back to back in the file from offset and
    // go to the pieces in turn, with as few calls as the system allows. The
    // pieces are used up on the way.
    Status ReadExact(std::uint64_t offset, std::span<iovec> pieces) const;
    Status WriteAll(std::uint64_t offset, std::span<const std::byte> bytes);
    Result<std::uint64_t> Size() const;
    Status Truncate(std::uint64_t size);
    Status DataSync();
    Status FullSync();

private:
    friend class FileLock;

    Status Error(std::string_view what) const;

    int m_fd = -1;
    std::string m_path;
};

// Whether a failed call's error number says that the file system lacks what
// was asked (a flag, an operation) rather than that the call went wrong:
// network shares and FUSE file systems answer so for what only local disks
// offer.
bool Unsupported(int error);

// An exclusive lock on a file, held until the object ends. It refuses a
// second holder in any process through flock, and in this process also
// through a table of the locks the process holds: a network share may emulate
// flock with byte-range locks, which never conflict within one process and
// which closing any handle of the file would drop.
class FileLock {
public:
    // Opens path, creating it when missing, and locks it without waiting.
    static Result<FileLock> Take(const std::filesystem::path& path);
    // Whether anyone holds the lock of path now; false when path is missing.
    static Result<bool> IsHeld(const std::filesystem::path& path);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

private:
    FileLock(File file, std::pair<dev_t, ino_t> id) : m_file(std::move(file)), m_id(id) {}
    // flock of the kind without waiting: false while another handle holds it.
    static Result<bool> TryLock(const File& file, int kind);
    void Release();

    File m_file;
    std::optional<std::pair<dev_t, ino_t>> m_id;  // device and inode; none once moved from or released
};

// Syncs a folder so that the names made or changed in it last. A file system
// that keeps no folder to sync and says so is not an error: its names last as
// its server keeps them.
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
