#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

#include <orvo/platform/errors.h>

namespace {

constexpr LONG kErrorFilenameExcedRange = 206;

LONG FromErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace

BOOL PathFileExistsA(LPCSTR path)
{
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    struct stat info {};
    if (stat(path, &info) != 0) {
        SetLastError(static_cast<DWORD>(FromErrno(errno)));
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD bufferChars, LPSTR buffer)
{
    // Grown until the whole path fits: the caller's answer must be the real
    // length however deep the folder, not a cut one.
    std::vector<char> path(256);
    while (getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE) {
            SetLastError(static_cast<DWORD>(FromErrno(errno)));
            return 0;
        }
        if (path.size() > SIZE_MAX / 2) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t length = std::strlen(path.data());
    // The answer with the NUL must still be a DWORD.
    if (length >= UINT32_MAX) {
        SetLastError(kErrorFilenameExcedRange);
        return 0;
    }
    if (buffer == nullptr || length >= bufferChars) {
        return static_cast<DWORD>(length + 1);
    }
    std::memcpy(buffer, path.data(), length + 1);
    return static_cast<DWORD>(length);
}

std::string UntrustedBecause(const struct stat& info)
{
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        return "owned by another user";
    }
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? "writable by others" : "";
}

std::string UntrustedBecause(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "does not exist" : std::generic_category().message(errno);
    }
    return UntrustedBecause(info);
}
