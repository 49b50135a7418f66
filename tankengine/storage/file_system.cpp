#include "tankengine/storage/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::tank {
namespace {

FileSystem* g_replacement = nullptr;

}  // namespace

int FileSystem::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int FileSystem::MakeFolder(const char* path, mode_t mode) { return ::mkdir(path, mode); }

ssize_t FileSystem::WriteAt(int fd, const void* bytes, std::size_t count, off_t offset)
{
    return ::pwrite(fd, bytes, count, offset);
}

int FileSystem::Sync(int fd, SyncDepth depth) { return depth == SyncDepth::kData ? ::fdatasync(fd) : ::fsync(fd); }

int FileSystem::Truncate(int fd, off_t size) { return ::ftruncate(fd, size); }

int FileSystem::Rename(const char* from, const char* to, unsigned flags)
{
    return flags == 0 ? ::rename(from, to) : ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}

int FileSystem::Lock(int fd, int operation) { return ::flock(fd, operation); }

FileSystem& CurrentFileSystem()
{
    static FileSystem system;
    return g_replacement != nullptr ? *g_replacement : system;
}

FileSystemInUse::FileSystemInUse(FileSystem& replacement) : m_previous(g_replacement)
{
    g_replacement = &replacement;
}

FileSystemInUse::~FileSystemInUse() { g_replacement = m_previous; }

}  // namespace orvo::tank
