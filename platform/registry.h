// The registry under HKEY_LOCAL_MACHINE, kept in one SQLite file that every
// process of the machine shares. The file is the one the environment variable
// kRegistryPathVariable names when that is set, else registry.db in a folder
// of the user's configuration folder ($XDG_CONFIG_HOME, or ~/.config); the
// build chooses the variable and the folder's name. It is created readable
// and writable by its owner only, holding the keys "" and "Software".
//
// Key and value names compare without regard to ASCII case. Values enumerate
// in the order they were first created; overwriting a value keeps its place.
// Data is stored byte for byte as given: a REG_SZ written without its NUL is
// read back without one.
//
// A handle allows only what it was opened for: reading values needs
// KEY_QUERY_VALUE, changing them KEY_SET_VALUE, making keys below it
// KEY_CREATE_SUB_KEY (ERROR_ACCESS_DENIED otherwise). Asking for a write right
// on a store this process cannot write is ERROR_ACCESS_DENIED at once. A
// handle keeps working on the store it was opened in even if that variable
// changes later. A file that is not a store of ours, or a damaged one, gives
// ERROR_BADDB. A file owned by another user than this process's or root's, or
// writable by its group or others, is not used: ERROR_ACCESS_DENIED.
//
// The error codes cannot say which file failed or why, so a caller that
// shows the failure asks RegLastStoreProblem.
#pragma once

#include <string>

#include <orvo/platform/errors.h>
#include <orvo/platform/types.h>

using REGSAM = DWORD;
using PHKEY = HKEY*;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// The environment variable that names the store's file.
extern const char* const kRegistryPathVariable;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM access, const void* securityAttributes, PHKEY result,
                     LPDWORD disposition);
LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataBytes);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                      LPDWORD dataBytes);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameChars,
                   LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD dataBytes);
LONG RegDeleteValueA(HKEY key, LPCSTR valueName);
LONG RegCloseKey(HKEY key);

// Makes the file of the store that key is in readable and writable by its
// owner only, keeping the owner's own bits, before a caller stores a secret
// in it; a store not made yet is begun, private. ERROR_SUCCESS when no one
// else may read or write it (any more); ERROR_ACCESS_DENIED when it cannot
// be made private, a file of another user's, say.
LONG RegMakeStorePrivate(HKEY key);

// Why the calling thread's last registry call failed on its store, as "the
// registry <file>: <cause>" with the cause in plain words ("damaged or not a
// registry file", "not a registry file", "damaged", "permission denied",
// "read-only", "owned by another user", "writable by others", "its folder
// does not exist", ...). Empty when that call
// succeeded or failed for another reason (a missing key, a handle without
// the right). Every function above but RegCloseKey sets or clears it, so it
// is read right after the failure it explains, as GetLastError is.
std::string RegLastStoreProblem();

// An open key, closed when the object ends.
class UniqueHKey {
public:
    UniqueHKey() = default;
    ~UniqueHKey() { reset(); }
    UniqueHKey(const UniqueHKey&) = delete;
    UniqueHKey& operator=(const UniqueHKey&) = delete;

    HKEY get() const { return m_key; }
    // Closes any key held and returns where an opening function stores one.
    PHKEY put()
    {
        reset();
        return &m_key;
    }
    void reset()
    {
        if (m_key != nullptr) {
            RegCloseKey(m_key);
            m_key = nullptr;
        }
    }

private:
    HKEY m_key = nullptr;
};
