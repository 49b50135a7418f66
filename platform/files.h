// File-system queries with the Windows shell's and kernel's answers.
#pragma once

#include <sys/stat.h>

#include <string>

#include <orvo/platform/types.h>

constexpr DWORD MAX_PATH = 260;

// TRUE when a file or folder exists at the path.
BOOL PathFileExistsA(LPCSTR path);

// The current directory. Returns its length without the NUL when it fits in
// bufferChars, else the size needed including the NUL (nothing is written);
// 0 on failure.
DWORD GetCurrentDirectoryA(DWORD bufferChars, LPSTR buffer);

// Why a file or folder may not be trusted with what this process will run or
// act on: "" when it belongs to this process's user or to root and no one
// else may write to it; else "owned by another user" or "writable by others".
// Anyone who may write there could put their own code or settings in its place.
std::string UntrustedBecause(const struct stat& info);
// The same for a path (followed to what it names), or why it could not be
// examined ("does not exist", ...).
std::string UntrustedBecause(const std::string& path);
