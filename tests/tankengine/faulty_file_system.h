// A disk that fails on cue: the Nth call of a kind fails with a chosen error,
// and later calls of that kind fail too or pass again. Put in place for the
// storage while the object lives; a writer's sync thread calls it too.
#pragma once

#include "tankengine/storage/file_system.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <optional>

#include <sys/stat.h>

namespace orvo::tank::test {

enum class Call { kOpen, kWrite, kSync, kTruncate, kRename };  // kOpen counts making folders too
inline constexpr std::array kCalls = {Call::kOpen, Call::kWrite, Call::kSync, Call::kTruncate, Call::kRename};
inline constexpr const char* kCallNames[] = {"open", "write", "sync", "truncate", "rename"};

enum class Afterwards { kKeepFailing, kRecover };

// kShare is a network share or FUSE mount: it refuses rename flags and folder
// syncs with EINVAL, and its locks are byte-range locks, which never conflict
// within one process.
enum class Disk { kLocal, kShare };

class FaultyFileSystem : public FileSystem {
public:
    explicit FaultyFileSystem(Disk disk = Disk::kLocal) : m_share(disk == Disk::kShare) {}

    // Fails the nth call of the kind from now on (1 is the next) with the
    // error; several kinds may be armed at once.
    void FailAt(Call kind, std::uint64_t nth, int error, Afterwards afterwards)
    {
        const std::lock_guard lock(m_mutex);
        m_faults[Index(kind)] = Fault{m_calls[Index(kind)] + nth, error, afterwards};
    }
    // The disk is sound again; counting goes on.
    void Heal()
    {
        const std::lock_guard lock(m_mutex);
        m_faults = {};
    }

    std::uint64_t Calls(Call kind) const
    {
        const std::lock_guard lock(m_mutex);
        return m_calls[Index(kind)];
    }
    std::uint64_t Failed(Call kind) const
    {
        const std::lock_guard lock(m_mutex);
        return m_failed[Index(kind)];
    }
    std::uint64_t Injected() const
    {
        const std::lock_guard lock(m_mutex);
        return std::accumulate(m_failed.begin(), m_failed.end(), std::uint64_t{0});
    }

    int Open(const char* path, int flags, mode_t mode) override
    {
        return Fails(Call::kOpen) ? -1 : FileSystem::Open(path, flags, mode);
    }
    int MakeFolder(const char* path, mode_t mode) override
    {
        return Fails(Call::kOpen) ? -1 : FileSystem::MakeFolder(path, mode);
    }
    // A failing write leaves the first half of its bytes behind, as a disk
    // that fills up or breaks in the middle of a write does; whatever the
    // storage does not cut back shows up on reading.
    ssize_t WriteAt(int fd, const void* bytes, std::size_t count, off_t offset) override
    {
        if (!Fails(Call::kWrite)) {
            return FileSystem::WriteAt(fd, bytes, count, offset);
        }
        const int error = errno;
        (void)FileSystem::WriteAt(fd, bytes, count / 2, offset);
        errno = error;
        return -1;
    }
    // Durability is not what is tested here, and real syncs would make the
    // many recordings of a test slow.
    int Sync(int fd, SyncDepth) override
    {
        struct stat st {};
        if (Fails(Call::kSync) || (m_share && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && Refuses())) {
            return -1;
        }
        return 0;
    }
    int Truncate(int fd, off_t size) override { return Fails(Call::kTruncate) ? -1 : FileSystem::Truncate(fd, size); }
    int Rename(const char* from, const char* to, unsigned flags) override
    {
        if (Fails(Call::kRename) || (m_share && flags != 0 && Refuses())) {
            return -1;
        }
        return FileSystem::Rename(from, to, flags);
    }
    int Lock(int fd, int operation) override { return m_share ? 0 : FileSystem::Lock(fd, operation); }

private:
    struct Fault {
        std::uint64_t nth;
        int error;
        Afterwards afterwards;
    };

    static std::size_t Index(Call kind) { return static_cast<std::size_t>(kind); }

    static bool Refuses()
    {
        errno = EINVAL;
        return true;
    }

    // Counts the call; true, with errno set, when it is to fail.
    bool Fails(Call kind)
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t i = Index(kind);
        const std::uint64_t n = ++m_calls[i];
        const std::optional<Fault>& fault = m_faults[i];
        if (!fault || n < fault->nth || (n > fault->nth && fault->afterwards == Afterwards::kRecover)) {
            return false;
        }
        ++m_failed[i];
        errno = fault->error;
        return true;
    }

    mutable std::mutex m_mutex;
    std::array<std::optional<Fault>, kCalls.size()> m_faults{};
    std::array<std::uint64_t, kCalls.size()> m_calls{};
    std::array<std::uint64_t, kCalls.size()> m_failed{};
    bool m_share;
    FileSystemInUse m_inUse{*this};
};

}  // namespace orvo::tank::test
