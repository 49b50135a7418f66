// Message boxes. There is no desktop to show them on, so every box goes to a
// process-wide handler; by default it prints the title and text to standard
// error and answers IDOK. Tests replace the handler to see what was shown.
#pragma once

#include <functional>

#include <orvo/platform/types.h>

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr int IDOK = 1;

using MessageBoxHandler = std::function<int(const char* text, const char* caption, UINT type)>;

// Installs handler (an empty one restores the default) and returns the one
// it replaces.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The class library's box: titled with the executable's file name.
int AfxMessageBox(LPCSTR text, UINT type = MB_OK);
