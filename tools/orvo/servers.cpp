// servers: the machine's list of tank-engine servers.
#include <algorithm>
#include <cstdio>

#include <string>
#include <vector>

#include <orvo/OrvoCI.h>
#include "platform/registry.h"
#include "protocol/Installation.h"
#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

constexpr DWORD kMaxNameBytes = 1000;  // the library's own limit for a name
constexpr DWORD kMaxServers = 100;

// The stored server names. The library's GetEnumServer hands out the place
// of the first stored name as "Local", so that name never shows through it;
// the names come from the list's registry key instead.
std::vector<std::string> StoredServerNames()
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServerListKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD index = 0; index < kMaxServers; ++index) {
        char name[kMaxNameBytes];
        DWORD nameBytes = sizeof name;
        if (RegEnumValueA(key, index, name, &nameBytes, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, std::min<DWORD>(nameBytes, sizeof name - 1));
    }
    RegCloseKey(key);
    return names;
}

}  // namespace

void RunServersList()
{
    // The list lives in the registry: no engine connection is needed.
    OrvoCI client;
    std::printf("%-20s %s\n", "name", "address");
    std::printf("%-20s %s\n", static_cast<const char*>(client.GetEnumServer(0)), "(this machine)");
    for (const std::string& name : StoredServerNames()) {
        std::printf("%-20s %s\n", name.c_str(),
                    static_cast<const char*>(client.GetServerItem(name.c_str(), "IP")));
    }
}

void RunServersAdd(const ServerEntry& entry)
{
    // Items are stored blank-separated, so a blank would split one item in
    // two; "Local" is the machine itself and cannot be redefined.
    for (const std::string* item :
         {&entry.name, &entry.address, &entry.user, &entry.domain, &entry.password}) {
        if (item->find_first_of(" \t\r\n") != std::string::npos) {
            throw Failure("server items cannot hold blanks: \"" + *item + "\"");
        }
    }
    if (entry.name.empty() || CString(entry.name.c_str()).CompareNoCase("Local") == 0) {
        throw Failure("a server needs a name other than \"Local\"");
    }
    OrvoCI client;
    if (client.AddServer(entry.name.c_str(), entry.address.c_str(), entry.user.c_str(), entry.domain.c_str(),
                         entry.password.c_str()) == 0) {
        throw Failure("cannot store server \"" + entry.name + "\" in the server list");
    }
    std::printf("Added server %s\n", entry.name.c_str());
}

void RunServersRemove(const std::string& name)
{
    OrvoCI client;
    if (client.RemoveServer(name.c_str()) == 0) {
        throw Failure("no server \"" + name + "\" to remove (\"Local\" always stays)");
    }
    std::printf("Removed server %s\n", name.c_str());
}

}  // namespace orvo::tool
