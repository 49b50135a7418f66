// What the fuzz programs share: a failed expectation ends the run as a crash,
// so libFuzzer keeps the input that broke it. A failure of the harness's own
// work (its scratch files) ends the run too, but says "harness error", so
// that it is never taken for a fault of the code under test.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#define FUZZ_CHECK(condition) \
    ((condition) ? void(0) : orvo::fuzz::Broken(#condition, __FILE__, __LINE__))

namespace orvo::fuzz {

[[noreturn]] inline void Broken(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: expected %s\n", file, line, what);
    std::abort();
}

[[noreturn]] inline void HarnessBroken(const std::string& what, int error)
{
    std::fprintf(stderr, "harness error: %s: %s\n", what.c_str(), std::strerror(error));
    std::abort();
}

// Writes bytes as the whole content of path. Interrupted calls are retried:
// libFuzzer's own timer signals interrupt them in long runs.
inline void WriteWholeFile(const std::string& path, std::string_view bytes)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        HarnessBroken("cannot open " + path, errno);
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            HarnessBroken("cannot write " + path, written < 0 ? errno : EIO);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
}

// The whole content of path; an interrupted read is retried.
inline std::string ReadWholeFile(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        HarnessBroken("cannot open " + path, errno);
    }
    std::string content;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            HarnessBroken("cannot read " + path, errno);
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return content;
}

inline std::string_view Bytes(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

// Pieces of an input that stands for several files. A marker, not lengths, so
// that a mutation inside one piece leaves the others where they were.
inline std::vector<std::string_view> Pieces(std::string_view input, std::string_view marker)
{
    std::vector<std::string_view> pieces;
    for (std::size_t at; (at = input.find(marker)) != std::string_view::npos;) {
        pieces.push_back(input.substr(0, at));
        input.remove_prefix(at + marker.size());
    }
    pieces.push_back(input);
    return pieces;
}

}  // namespace orvo::fuzz
