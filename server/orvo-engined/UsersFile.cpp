#include "server/orvo-engined/UsersFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include "platform/files.h"

namespace orvo::engined {
namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& cause)
{
    throw std::runtime_error("the users file " + path + ": " + cause);
}

void RequireSodium()
{
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not be initialised");
    }
}

// Names end at a tab or a line end in the file.
void CheckName(const std::string& what, const std::string& text)
{
    if (text.find_first_of("\t\r\n") != std::string::npos) {
        throw std::runtime_error("a " + what + " may not hold a tab or a line end");
    }
}

std::string Hash(const std::string& password)
{
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        throw std::runtime_error("the password could not be hashed: out of memory");
    }
    return hash;
}

auto Named(const std::string& name, const std::string& domain)
{
    return [&](const User& user) { return user.name == name && user.domain == domain; };
}

}  // namespace

std::vector<User> UsersFile::Read() const
{
    std::vector<User> users;
    if (!PathFileExistsA(m_path.c_str())) {
        return users;
    }
    if (const std::string untrusted = UntrustedBecause(m_path); !untrusted.empty()) {
        Fail(m_path, untrusted);
    }
    std::ifstream file(m_path);
    if (!file) {
        Fail(m_path, std::strerror(errno));
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::istringstream fields(line);
        User user;
        if (!std::getline(fields, user.name, '\t') || !std::getline(fields, user.domain, '\t') ||
            !std::getline(fields, user.hash) || user.name.empty()) {
            Fail(m_path, "line " + std::to_string(number) + " is not \"user<TAB>domain<TAB>hash\"");
        }
        users.push_back(std::move(user));
    }
    return users;
}

void UsersFile::Add(const std::string& name, const std::string& domain, const std::string& password) const
{
    CheckName("user name", name);
    CheckName("domain", domain);
    if (name.empty()) {
        throw std::runtime_error("a user needs a name");
    }
    RequireSodium();
    std::vector<User> users = Read();
    User user{name, domain, Hash(password)};
    auto known = std::find_if(users.begin(), users.end(), Named(name, domain));
    if (known != users.end()) {
        *known = std::move(user);
    } else {
        users.push_back(std::move(user));
    }
    Write(users);
}

bool UsersFile::Remove(const std::string& name, const std::string& domain) const
{
    std::vector<User> users = Read();
    const auto removed = std::erase_if(users, Named(name, domain));
    if (removed != 0) {
        Write(users);
    }
    return removed != 0;
}

bool UsersFile::Admits(const std::string& name, const std::string& domain, const std::string& password) const
{
    RequireSodium();
    const std::vector<User> users = Read();
    const auto user = std::find_if(users.begin(), users.end(), Named(name, domain));
    // An unknown user is checked against a hash of its own, so that the time
    // taken does not tell which users exist.
    static const std::string unknownUserHash = Hash("");
    const std::string& hash = user != users.end() ? user->hash : unknownUserHash;
    const bool matches = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
    return user != users.end() && matches;
}

void UsersFile::Write(const std::vector<User>& users) const
{
    std::string text;
    for (const User& user : users) {
        text += user.name + '\t' + user.domain + '\t' + user.hash + '\n';
    }
    // A new file beside the old one, made by this call alone and never
    // through a link someone planted, then renamed over it.
    const std::string fresh = m_path + ".new" + std::to_string(getpid());
    const int file = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        Fail(fresh, std::strerror(errno));
    }
    std::string cause;
    for (std::size_t done = 0; cause.empty() && done < text.size();) {
        const ssize_t wrote = write(file, text.data() + done, text.size() - done);
        if (wrote < 0) {
            cause = std::strerror(errno);
        } else {
            done += static_cast<std::size_t>(wrote);
        }
    }
    if (cause.empty() && fsync(file) != 0) {
        cause = std::strerror(errno);
    }
    close(file);
    if (cause.empty() && rename(fresh.c_str(), m_path.c_str()) != 0) {
        cause = std::strerror(errno);
    }
    if (!cause.empty()) {
        unlink(fresh.c_str());
        Fail(m_path, cause);
    }
}

}  // namespace orvo::engined
