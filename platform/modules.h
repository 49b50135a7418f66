// Loaded modules (shared objects) in the manner of the Windows loader.
// An HMODULE is the address at which the module is mapped, as on Windows, so
// the same module always has the same handle however it was found.
#pragma once

#include <string>

#include <orvo/platform/types.h>

using FARPROC = void (*)();

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x1;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x1;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;

// The module that holds an address (with FLAG_FROM_ADDRESS), or the loaded
// module with a name: a full path, or a bare file name matched against the
// file names of the loaded modules; null names the executable. Unless
// FLAG_UNCHANGED_REFCOUNT is given the module gains a reference that
// FreeLibrary drops, and FLAG_PIN keeps it loaded until the process ends.
// Fails with ERROR_MOD_NOT_FOUND.
BOOL GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module);

// The full file name of a module, or of the process's executable when module
// is null. A name that does not fit is cut to size - 1 characters and NUL
// terminated; the result is then size and the last error
// ERROR_INSUFFICIENT_BUFFER. Returns 0 on failure.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

// The same name whatever its length, for callers of our own; "" when the
// module is unknown.
std::string ModulePath(HMODULE module);

// The folder the platform library itself was loaded from, where an
// installation keeps its other libraries beside it; "" when unknown.
std::string PlatformLibraryFolder();

// Sets the folder that LoadLibraryA searches before the standard search
// order; null or "" restores the standard order alone.
BOOL SetDllDirectoryA(LPCSTR path);

// A name with a "/" is loaded as given. A bare name is looked for in the
// folder of SetDllDirectoryA first, then by the dynamic loader's standard
// search (LD_LIBRARY_PATH, the caller's RUNPATH, the system folders).
// Returns null with the last error ERROR_MOD_NOT_FOUND when nothing loads.
HMODULE LoadLibraryA(LPCSTR fileName);
// The flags are accepted for DONT_RESOLVE_DLL_REFERENCES and
// LOAD_LIBRARY_AS_DATAFILE; the module's initialisers still run, which the
// dynamic loader offers no way to skip.
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE reserved, DWORD flags);
// Loads a module only when this process may trust the code it would run:
// the name is an absolute path, and the file (links followed) and the folder
// that holds it belong to this process's user or to root and no one else may
// write to them. Otherwise null with the last error ERROR_ACCESS_DENIED, and
// refusal tells why: "the module <name>: <cause>".
HMODULE LoadTrustedLibrary(const std::string& fileName, std::string& refusal);
// Finds only what the module itself exports, not what its dependencies do;
// ERROR_PROC_NOT_FOUND otherwise. Ordinals are not supported.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// Undoes one LoadLibraryA (or counted GetModuleHandleExA); the module is
// unloaded when nothing holds it any more. ERROR_INVALID_HANDLE for a module
// with no such load outstanding.
BOOL FreeLibrary(HMODULE module);
