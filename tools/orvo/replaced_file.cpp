#include "tools/orvo/replaced_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include "tools/orvo/failure.h"

namespace orvo::tool {
namespace {

constexpr int kNameAttempts = 100;

// Opens a new file with an unpredictable name beside target, never through a
// link planted under that name; the mode is the usual one for new files.
int CreateBeside(const std::string& target, std::string& name)
{
    const std::filesystem::path path(target);
    const std::string stem = (path.parent_path() / ("." + path.filename().string() + ".")).string();
    std::random_device random;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
        name = stem + suffix + ".part";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

void CheckOutputFolder(const std::string& target)
{
    const std::filesystem::path folder = std::filesystem::path(target).parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
        throw Failure("cannot write " + target + ": the folder " + folder.string() + " does not exist");
    }
}

ReplacedFile::ReplacedFile(std::string target) : m_target(std::move(target))
{
    const int fd = CreateBeside(m_target, m_temporary);
    if (fd < 0) {
        throw Failure("cannot write " + m_target + ": " + std::strerror(errno));
    }
    m_stream = ::fdopen(fd, "w");
    if (m_stream == nullptr) {
        const int error = errno;
        ::close(fd);
        Fail(error);
    }
}

ReplacedFile::~ReplacedFile()
{
    if (m_stream != nullptr) {
        std::fclose(m_stream);
    }
    if (!m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
    }
}

void ReplacedFile::Commit()
{
    const bool written = std::fflush(m_stream) == 0 && !std::ferror(m_stream);
    const int error = errno;
    if (!written) {
        Fail(error != 0 ? error : EIO);
    }
    if (::fsync(::fileno(m_stream)) != 0) {
        Fail(errno);
    }
    const int closed = std::fclose(m_stream);
    m_stream = nullptr;
    if (closed != 0) {
        Fail(errno);
    }
    if (std::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        Fail(errno);
    }
    m_temporary.clear();
    // The new name lasts only once the folder is on disk too.
    const std::string folder = std::filesystem::path(m_target).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void ReplacedFile::Fail(int error)
{
    throw Failure("cannot write " + m_target + ": " + std::strerror(error));
}

}  // namespace orvo::tool
