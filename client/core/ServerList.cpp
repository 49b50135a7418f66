// The machines a tank engine may be reached on: one registry value per
// server, named after it, holding "address user domain password" with "*"
// for an empty item. "Local" heads the list without being stored.
#include <array>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include <orvo/OrvoCI.h>
#include "platform/registry.h"
#include "protocol/Installation.h"

namespace {

constexpr REGSAM kRead = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM kWrite = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
constexpr DWORD kValueBytes = 1000;
constexpr DWORD kNameChars = 1000;

bool IsLocal(const CString& server) { return server.CompareNoCase("Local") == 0; }

bool OpenServerList(REGSAM access, UniqueHKey& key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, orvo::kServerListKey, 0, access, key.put()) ==
           ERROR_SUCCESS;
}

// The four items of a server's entry, in stored order; missing ones empty.
std::array<std::string, 4> ReadEntry(const CString& server, bool& found)
{
    std::array<std::string, 4> items;
    found = false;
    UniqueHKey key;
    if (!OpenServerList(kRead, key)) {
        return items;
    }
    char text[kValueBytes];
    DWORD bytes = sizeof text;
    if (RegQueryValueExA(key.get(), server, nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                         &bytes) != ERROR_SUCCESS) {
        return items;
    }
    found = true;
    // The stored text need not end in a NUL: it ends after the bytes read.
    std::istringstream words(std::string(text, strnlen(text, bytes)));
    for (std::string& item : items) {
        words >> item;
    }
    return items;
}

}  // namespace

int OrvoCI::AddServer(CString name, CString ip, CString user, CString domain, CString password)
{
    UniqueHKey key;
    // Other users must not read a password, so a store open to them is made
    // private before it holds one, or refused.
    if (!OpenServerList(kWrite, key) ||
        (!password.IsEmpty() && RegMakeStorePrivate(key.get()) != ERROR_SUCCESS)) {
        return 0;
    }
    const auto item = [](const CString& text) { return text.IsEmpty() ? CString("*") : text; };
    const CString entry =
        item(ip) + " " + item(user) + " " + item(domain) + " " + item(password);
    return RegSetValueExA(key.get(), name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(entry.GetString()),
                          static_cast<DWORD>(entry.GetLength())) == ERROR_SUCCESS
               ? 1
               : 0;
}

int OrvoCI::RemoveServer(CString name)
{
    UniqueHKey key;
    if (IsLocal(name) || !OpenServerList(kWrite, key)) {
        return 0;
    }
    return RegDeleteValueA(key.get(), name) == ERROR_SUCCESS ? 1 : 0;
}

CString OrvoCI::GetEnumServer(LONG index)
{
    if (index < 0 || index >= kServerSlots) {
        return CString();
    }
    if (index > 0) {
        return m_serverNames[index] ? *m_serverNames[index] : CString();
    }

    UniqueHKey key;
    if (!OpenServerList(kRead, key)) {
        return CString();
    }
    // Slot k caches the value enumerated k-th; "Local" stands in for the
    // first. Slots after the end are emptied too, so that a shorter list
    // leaves no names of an earlier, longer one behind.
    bool ended = false;
    for (DWORD k = 0; k < kServerSlots; ++k) {
        std::unique_ptr<CString>& slot = m_serverNames[k];
        if (!slot) {
            slot = std::make_unique<CString>();
        }
        char name[kNameChars];
        DWORD nameChars = sizeof name;
        ended = ended || RegEnumValueA(key.get(), k, name, &nameChars, nullptr, nullptr, nullptr,
                                       nullptr) != ERROR_SUCCESS;
        *slot = ended ? CString() : CString(name);
    }
    return "Local";
}

CString OrvoCI::GetServerItem(CString server, CString item)
{
    if (IsLocal(server)) {
        return "*";
    }
    bool found = false;
    const std::array<std::string, 4> entry = ReadEntry(server, found);
    if (!found) {
        return CString();
    }
    const std::string& address = entry[0];
    if (item == "IP") {
        return address;
    }
    if (item == "UN") {
        return entry[1];
    }
    if (item == "DM") {
        return entry[2];
    }
    if (item == "PW") {
        return entry[3];
    }
    return address == "*" ? server : CString(address);
}
