// The system calls through which the storage changes the disk, gathered in
// one place so that tests can make them fail as a full or failing disk does.
// The storage reaches them through CurrentFileSystem() only.
#pragma once

#include <cstddef>

#include <sys/types.h>

namespace orvo::tank {

enum class SyncDepth {
    kData,              // fdatasync: the contents and what reading them needs
    kDataAndMetadata,   // fsync
};

// The system's calls. Each answers as its system call does, -1 with errno
// on failure, so that callers report errors the one way whatever answers.
class FileSystem {
public:
    FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;
    virtual ~FileSystem() = default;

    virtual int Open(const char* path, int flags, mode_t mode);
    virtual int MakeFolder(const char* path, mode_t mode);
    virtual ssize_t WriteAt(int fd, const void* bytes, std::size_t count, off_t offset);
    virtual int Sync(int fd, SyncDepth depth);
    virtual int Truncate(int fd, off_t size);
    // renameat2 relative to the working folder. Flags 0 is a plain rename,
    // which replaces the target and which every file system offers; network
    // shares and FUSE file systems refuse the others with EINVAL.
    virtual int Rename(const char* from, const char* to, unsigned flags);
    // flock without waiting when operation says so. A network share may
    // emulate it with byte-range locks, which never conflict within one
    // process.
    virtual int Lock(int fd, int operation);
};

FileSystem& CurrentFileSystem();

// Puts another file system in place while the object lives. Only while no
// storage call runs on another thread: the swap is not synchronised.
class FileSystemInUse {
public:
    explicit FileSystemInUse(FileSystem& replacement);
    ~FileSystemInUse();
    FileSystemInUse(const FileSystemInUse&) = delete;
    FileSystemInUse& operator=(const FileSystemInUse&) = delete;

private:
    FileSystem* m_previous;
};

}  // namespace orvo::tank
