// servers: the machine's list of tank-engine servers.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <termios.h>
#include <unistd.h>

#include <orvo/OrvoCI.h>
#include "platform/registry.h"
#include "protocol/Installation.h"
#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

constexpr DWORD kMaxNameBytes = 1000;  // the library's own limit for a name
constexpr DWORD kMaxServers = 100;

bool IsLocal(const std::string& name) { return CString(name.c_str()).CompareNoCase("Local") == 0; }

// The stored server names. The library's GetEnumServer hands out the place
// of the first stored name as "Local", so that name never shows through it;
// the names come from the list's registry key instead. A registry without
// the list (one this program may only read) holds no servers.
std::vector<std::string> StoredServerNames()
{
    std::vector<std::string> names;
    UniqueHKey key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServerListKey, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
    for (DWORD index = 0; error == ERROR_SUCCESS && index < kMaxServers; ++index) {
        char name[kMaxNameBytes];
        DWORD nameBytes = sizeof name;
        error = RegEnumValueA(key.get(), index, name, &nameBytes, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            names.emplace_back(name, std::min<DWORD>(nameBytes, sizeof name - 1));
        }
    }
    if (error != ERROR_SUCCESS && error != ERROR_NO_MORE_ITEMS && error != ERROR_FILE_NOT_FOUND) {
        const std::string problem = RegLastStoreProblem();
        throw Failure("cannot read the server list: " +
                      (problem.empty() ? "registry error " + std::to_string(error) : problem));
    }
    return names;
}

// The first line of the file, without its line end.
std::string PasswordFromFile(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || (!std::getline(file, line) && !file.eof())) {
        throw Failure("cannot read the password file " + path + ": " + std::strerror(errno));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Asks at the terminal without showing what is typed.
std::string PasswordFromTerminal(const std::string& server)
{
    std::cerr << "Password for " << server << ": " << std::flush;
    termios shown{};
    const bool quiet = tcgetattr(STDIN_FILENO, &shown) == 0;
    if (quiet) {
        termios hidden = shown;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    std::string password;
    std::getline(std::cin, password);
    if (quiet) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &shown);
    }
    std::cerr << '\n';
    return password;
}

// A password on the command line is seen by anyone who lists the processes,
// so it is taken from a file or the terminal when it is not given there.
std::string PasswordOf(const ServerEntry& entry)
{
    if (!entry.passwordFile.empty()) {
        return PasswordFromFile(entry.passwordFile);
    }
    if (!entry.passwordGiven && isatty(STDIN_FILENO) != 0) {
        return PasswordFromTerminal(entry.name);
    }
    return entry.password;
}

}  // namespace

void RunServersList()
{
    // The list lives in the registry: no engine connection is needed.
    OrvoCI client;
    const std::vector<std::string> names = StoredServerNames();
    std::printf("%-20s %s\n", "name", "address");
    std::printf("%-20s %s\n", static_cast<const char*>(client.GetEnumServer(0)), "(this machine)");
    for (const std::string& name : names) {
        std::printf("%-20s %s\n", name.c_str(),
                    static_cast<const char*>(client.GetServerItem(name.c_str(), "IP")));
    }
}

void RunServersAdd(const ServerEntry& entry)
{
    // Items are stored blank-separated, so a blank would split one item in
    // two; "Local" is the machine itself and cannot be redefined.
    constexpr const char* kBlanks = " \t\r\n";
    for (const std::string* item : {&entry.name, &entry.address, &entry.user, &entry.domain}) {
        if (item->find_first_of(kBlanks) != std::string::npos) {
            throw Failure("server items cannot hold blanks: \"" + *item + "\"");
        }
    }
    if (entry.name.empty() || IsLocal(entry.name)) {
        throw Failure("a server needs a name other than \"Local\"");
    }
    if (entry.address.empty()) {
        throw Failure("server \"" + entry.name + "\" needs an address: a host name or IP address");
    }
    const std::string password = PasswordOf(entry);
    // Not shown, being a secret.
    if (password.find_first_of(kBlanks) != std::string::npos) {
        throw Failure("a password cannot hold blanks");
    }
    const std::vector<std::string> stored = StoredServerNames();
    const bool known = std::any_of(stored.begin(), stored.end(), [&](const std::string& name) {
        return CString(name.c_str()).CompareNoCase(entry.name.c_str()) == 0;
    });
    OrvoCI client;
    const std::string before = known ? std::string(client.GetServerItem(entry.name.c_str(), "IP")) : "";
    if (client.AddServer(entry.name.c_str(), entry.address.c_str(), entry.user.c_str(), entry.domain.c_str(),
                         password.c_str()) == 0) {
        const std::string problem = RegLastStoreProblem();
        throw Failure("cannot store server \"" + entry.name + "\" in the server list" +
                      (problem.empty() ? "" : ": " + problem));
    }
    if (known) {
        std::printf("Changed server %s (its address was %s)\n", entry.name.c_str(), before.c_str());
    } else {
        std::printf("Added server %s\n", entry.name.c_str());
    }
}

void RunServersRemove(const std::string& name)
{
    // Refused here, before the library would refuse it without a registry
    // call, so that a registry problem shown below is always the removal's.
    if (IsLocal(name)) {
        throw Failure("\"Local\" is this machine and always stays");
    }
    OrvoCI client;
    if (client.RemoveServer(name.c_str()) == 0) {
        const std::string problem = RegLastStoreProblem();
        throw Failure(problem.empty() ? "no server \"" + name + "\" to remove"
                                      : "cannot remove server \"" + name + "\": " + problem);
    }
    std::printf("Removed server %s\n", name.c_str());
}

}  // namespace orvo::tool
