// The users a server admits: one line per user, "user<TAB>domain<TAB>hash",
// the hash a salted one of the password that libsodium made and checks. The
// file may be read and written by its owner only, who must be this process's
// user or root; changes replace it whole, so a reader never sees half of one.
#pragma once

#include <string>
#include <vector>

namespace orvo::engined {

struct User {
    std::string name;
    std::string domain;
    std::string hash;
};

class UsersFile {
public:
    explicit UsersFile(std::string path) : m_path(std::move(path)) {}

    // Every call reads the file afresh, so users added while the server runs
    // are admitted at once. They throw std::runtime_error with the reason.
    std::vector<User> Read() const;
    // Adds the user, or gives a known one a new password.
    void Add(const std::string& name, const std::string& domain, const std::string& password) const;
    // False when there was no such user.
    bool Remove(const std::string& name, const std::string& domain) const;
    // Whether the user is known and the password is theirs. Takes as long
    // for an unknown user as for a known one.
    bool Admits(const std::string& name, const std::string& domain, const std::string& password) const;

private:
    void Write(const std::vector<User>& users) const;

    std::string m_path;
};

}  // namespace orvo::engined
