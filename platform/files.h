// File-system queries with the Windows shell's and kernel's answers.
#pragma once

#include <orvo/platform/types.h>

constexpr DWORD MAX_PATH = 260;

// TRUE when a file or folder exists at the path.
BOOL PathFileExistsA(LPCSTR path);

// The current directory. Returns its length without the NUL when it fits in
// bufferChars, else the size needed including the NUL (nothing is written);
// 0 on failure.
DWORD GetCurrentDirectoryA(DWORD bufferChars, LPSTR buffer);
