#include "tankengine/storage/posix_file.h"

#include "platform/thread_safety.h"
#include "tankengine/storage/file_system.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::tank {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
constexpr int kFreshNameAttempts = 100;

// pread/pwrite take signed offsets; an offset or end past off_t is refused
// rather than wrapped.
bool RangeFits(std::uint64_t offset, std::size_t length)
{
    return offset <= kMaxOffset && length <= kMaxOffset - offset;
}

ErrorKind KindOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return ErrorKind::kNotFound;
    case EWOULDBLOCK:
    case EBUSY: return ErrorKind::kBusy;
    case ENOMEM: return ErrorKind::kOutOfMemory;
    default: return ErrorKind::kIoError;
    }
}

Failure ErrnoFailure(std::string_view what, const std::string& path, int error)
{
    return SystemFailure(std::string(what) + " " + path, error);
}

// Makes something in dir under a name nobody chose before: make(path) answers
// as its system call does, and a name found taken is drawn again. Random
// names, not a counter, so that no one can plant a link under the next one.
// Answers the path and what make answered.
template <class Make>
Result<std::pair<std::string, int>> MakeUnderFreshName(const std::filesystem::path& dir, std::string_view prefix,
                                                       std::string_view suffix, Make make)
{
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        std::uint64_t bits = 0;
        if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
            return SystemFailure("cannot draw a fresh name in " + dir.string(), errno);
        }
        char letters[17];
        std::snprintf(letters, sizeof letters, "%016" PRIx64, bits);
        std::string path = (dir / (std::string(prefix) + letters + std::string(suffix))).string();
        const int made = make(path.c_str());
        if (made >= 0) {
            return std::pair(std::move(path), made);
        }
        if (errno != EEXIST) {
            return ErrnoFailure("cannot create", path, errno);
        }
    }
    return Fail(ErrorKind::kBusy, "no fresh name left in " + dir.string());
}

}  // namespace

Failure SystemFailure(std::string_view what, int error)
{
    return Fail(KindOf(error), std::string(what) + ": " + std::strerror(error));
}

Failure SystemFailure(std::string_view what, const std::error_code& error)
{
    return Fail(KindOf(error.value()), std::string(what) + ": " + error.message());
}

Result<File> File::Open(const std::filesystem::path& path, int flags, mode_t mode)
{
    File file;
    file.m_path = path.string();
    // A FIFO or device planted in a block would make open or read wait
    // forever while the engine holds its one lock; O_NONBLOCK lets open
    // return so that fstat can refuse it, and changes nothing on a regular
    // file.
    file.m_fd = CurrentFileSystem().Open(file.m_path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                                         mode);
    if (file.m_fd < 0) {
        if (errno == ELOOP) {
            return Fail(ErrorKind::kCorruption, file.m_path + " is not a regular file: " + std::strerror(errno));
        }
        return ErrnoFailure("cannot open", file.m_path, errno);
    }
    struct stat st {};
    if (::fstat(file.m_fd, &st) != 0) {
        return file.Error("cannot stat").failure();
    }
    if (!S_ISREG(st.st_mode)) {
        return Fail(ErrorKind::kCorruption, file.m_path + " is not a regular file");
    }
    return file;
}

Result<File> File::CreateFresh(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix)
{
    Result<std::pair<std::string, int>> made = MakeUnderFreshName(dir, prefix, suffix, [](const char* path) {
        return CurrentFileSystem().Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    });
    if (!made) {
        return made.failure();
    }
    File file;
    file.m_path = std::move(made->first);
    file.m_fd = made->second;
    return file;
}

File::~File()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

File::File(File&& other) noexcept : m_fd(other.m_fd), m_path(std::move(other.m_path))
{
    other.m_fd = -1;
}

Result<File> File::Duplicate() const
{
    File copy;
    copy.m_fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (copy.m_fd < 0) {
        return Error("cannot duplicate the handle of").failure();
    }
    copy.m_path = m_path;
    return copy;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

Status File::Error(std::string_view what) const { return ErrnoFailure(what, m_path, errno); }

Result<std::size_t> File::ReadUpTo(std::uint64_t offset, std::span<std::byte> out) const
{
    if (!RangeFits(offset, out.size())) {
        return Fail(ErrorKind::kInvalidArgument, "read past the largest file offset in " + m_path);
    }
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(m_fd, out.data() + done, out.size() - done,
                            static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error("cannot read").failure();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Status File::ReadExact(std::uint64_t offset, std::span<std::byte> out) const
{
    Result<std::size_t> got = ReadUpTo(offset, out);
    if (!got) {
        return got.failure();
    }
    if (*got != out.size()) {
        return Fail(ErrorKind::kCorruption, "unexpected end of " + m_path);
    }
    return {};
}

Status File::ReadExact(std::uint64_t offset, std::span<iovec> pieces) const
{
    std::size_t total = 0;
    for (const iovec& piece : pieces) {
        total += piece.iov_len;  // pieces of memory: their sum fits
    }
    if (!RangeFits(offset, total)) {
        return Fail(ErrorKind::kInvalidArgument, "read past the largest file offset in " + m_path);
    }
    for (;;) {
        while (!pieces.empty() && pieces.front().iov_len == 0) {
            pieces = pieces.subspan(1);
        }
        if (pieces.empty()) {
            return {};
        }
        const auto count = static_cast<int>(std::min<std::size_t>(pieces.size(), IOV_MAX));
        const ssize_t n = ::preadv(m_fd, pieces.data(), count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error("cannot read");
        }
        if (n == 0) {
            return Fail(ErrorKind::kCorruption, "unexpected end of " + m_path);
        }
        offset += static_cast<std::uint64_t>(n);
        for (auto done = static_cast<std::size_t>(n); done > 0;) {
            iovec& piece = pieces.front();
            const std::size_t taken = std::min(done, piece.iov_len);
            piece.iov_base = static_cast<std::byte*>(piece.iov_base) + taken;
            piece.iov_len -= taken;
            done -= taken;
            if (piece.iov_len == 0) {
                pieces = pieces.subspan(1);
            }
        }
    }
}

Status File::WriteAll(std::uint64_t offset, std::span<const std::byte> bytes)
{
    if (!RangeFits(offset, bytes.size())) {
        return Fail(ErrorKind::kInvalidArgument, "write past the largest file offset in " + m_path);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = CurrentFileSystem().WriteAt(m_fd, bytes.data() + done, bytes.size() - done,
                                                static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error("cannot write");
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

Result<std::uint64_t> File::Size() const
{
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        return Error("cannot stat").failure();
    }
    return static_cast<std::uint64_t>(st.st_size);
}

Status File::Truncate(std::uint64_t size)
{
    if (size > kMaxOffset) {
        return Fail(ErrorKind::kInvalidArgument, "cannot truncate " + m_path + " to an offset past off_t");
    }
    if (CurrentFileSystem().Truncate(m_fd, static_cast<off_t>(size)) != 0) {
        return Error("cannot truncate");
    }
    return {};
}

Status File::DataSync()
{
    if (CurrentFileSystem().Sync(m_fd, SyncDepth::kData) != 0) {
        return Error("cannot sync");
    }
    return {};
}

Status File::FullSync()
{
    if (CurrentFileSystem().Sync(m_fd, SyncDepth::kDataAndMetadata) != 0) {
        return Error("cannot sync");
    }
    return {};
}

bool Unsupported(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP; }

namespace {

// The locks this process holds, by the device and inode of their files.
struct HeldLocks {
    Mutex mutex;
    std::set<std::pair<dev_t, ino_t>> files GUARDED_BY(mutex);
};

HeldLocks& Held()
{
    static HeldLocks held;
    return held;
}

}  // namespace

Result<FileLock> FileLock::Take(const std::filesystem::path& path)
{
    HeldLocks& held = Held();
    MutexLock guard(held.mutex);
    const Failure taken = Fail(ErrorKind::kBusy, "locked by another process or handle: " + path.string());
    // Looked up by name before opening: where locks are byte-range locks,
    // closing a second handle of the file would drop the holder's lock.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && held.files.contains({st.st_dev, st.st_ino})) {
        return taken;
    }
    Result<File> file = File::Open(path, O_RDWR | O_CREAT);
    if (!file) {
        return file.failure();
    }
    if (::fstat(file->m_fd, &st) != 0) {
        return file->Error("cannot stat").failure();
    }
    if (held.files.contains({st.st_dev, st.st_ino})) {
        return taken;  // the name was moved onto a held file since the look-up
    }
    Result<bool> locked = TryLock(*file, LOCK_EX);
    if (!locked) {
        return locked.failure();
    }
    if (!*locked) {
        return taken;
    }
    held.files.insert({st.st_dev, st.st_ino});
    return FileLock(std::move(*file), {st.st_dev, st.st_ino});
}

Result<bool> FileLock::IsHeld(const std::filesystem::path& path)
{
    HeldLocks& held = Held();
    MutexLock guard(held.mutex);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? Result<bool>(false) : ErrnoFailure("cannot stat", path.string(), errno);
    }
    if (held.files.contains({st.st_dev, st.st_ino})) {
        return true;
    }
    // Held by no one in this process, so this handle closes no lock of ours.
    Result<File> file = File::Open(path, O_RDONLY);
    if (!file) {
        return file.failure();
    }
    Result<bool> locked = TryLock(*file, LOCK_SH);
    if (!locked) {
        return locked.failure();
    }
    return !*locked;
}

Result<bool> FileLock::TryLock(const File& file, int kind)
{
    while (CurrentFileSystem().Lock(file.m_fd, kind | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return false;
        }
        if (errno != EINTR) {
            return file.Error("cannot lock").failure();
        }
    }
    return true;
}

FileLock::FileLock(FileLock&& other) noexcept
    : m_file(std::move(other.m_file)), m_id(std::exchange(other.m_id, std::nullopt))
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        Release();
        m_file = std::move(other.m_file);
        m_id = std::exchange(other.m_id, std::nullopt);
    }
    return *this;
}

FileLock::~FileLock() { Release(); }

void FileLock::Release()
{
    if (!m_id) {
        return;
    }
    // Closed before the entry goes: until then, this process refuses others.
    m_file = File();
    HeldLocks& held = Held();
    MutexLock guard(held.mutex);
    held.files.erase(*m_id);
    m_id.reset();
}

Status SyncDirectory(const std::filesystem::path& dir)
{
    const int fd = CurrentFileSystem().Open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        return ErrnoFailure("cannot open", dir.string(), errno);
    }
    const int synced = CurrentFileSystem().Sync(fd, SyncDepth::kDataAndMetadata);
    const int error = errno;
    ::close(fd);
    if (synced != 0 && !Unsupported(error)) {
        return ErrnoFailure("cannot sync", dir.string(), error);
    }
    return {};
}

Result<bool> MakeFolder(const std::filesystem::path& dir)
{
    if (CurrentFileSystem().MakeFolder(dir.c_str(), kFolderMode) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return ErrnoFailure("cannot make folder", dir.string(), errno);
    }
    return false;
}

Result<std::filesystem::path> MakeFreshFolder(const std::filesystem::path& dir, std::string_view prefix)
{
    Result<std::pair<std::string, int>> made = MakeUnderFreshName(
        dir, prefix, "", [](const char* path) { return CurrentFileSystem().MakeFolder(path, kFolderMode); });
    if (!made) {
        return made.failure();
    }
    return std::filesystem::path(made->first);
}

Status ReplaceFileAtomically(const std::filesystem::path& target, std::string_view content)
{
    Result<File> temp = File::CreateFresh(target.parent_path(), "." + target.filename().string() + ".", ".tmp");
    if (!temp) {
        return temp.failure();
    }
    Status written = temp->WriteAll(0, std::as_bytes(std::span(content.data(), content.size())));
    if (written) {
        written = temp->FullSync();
    }
    if (written && CurrentFileSystem().Rename(temp->path().c_str(), target.c_str(), 0) != 0) {
        written = ErrnoFailure("cannot rename over", target.string(), errno);
    }
    if (!written) {
        ::unlink(temp->path().c_str());
        return written;
    }
    return SyncDirectory(target.parent_path());
}

Result<std::string> ReadSmallFile(const std::filesystem::path& path, std::size_t limit)
{
    Result<File> file = File::Open(path, O_RDONLY);
    if (!file) {
        return file.failure();
    }
    Result<std::uint64_t> size = file->Size();
    if (!size) {
        return size.failure();
    }
    if (*size > limit) {
        // Nothing of ours writes past its limit.
        return Fail(ErrorKind::kCorruption, path.string() + " is larger than " + std::to_string(limit) + " bytes");
    }
    std::string text(static_cast<std::size_t>(*size), '\0');
    Result<std::size_t> got = file->ReadUpTo(0, std::as_writable_bytes(std::span(text)));
    if (!got) {
        return got.failure();
    }
    text.resize(*got);  // the file may have shrunk since fstat
    return text;
}

}  // namespace orvo::tank
