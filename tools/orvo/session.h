// A connection to the local tank engine under the client name "orvo", with
// the tank and block steps every command shares. Failures become Failure
// with the engine's or the library's reason on one line.
#pragma once

#include <string>
#include <string_view>

#include <orvo/OrvoCI.h>

namespace orvo::tool {

class Session {
public:
    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    OrvoCI& client() { return m_client; }

    void OpenTank(const std::string& tank, bool forWriting);
    void SelectBlock(const std::string& block);

    // The reason of the last failure, cut to one line; "no reason given"
    // when neither the engine nor the library kept one.
    std::string Reason();

private:
    OrvoCI m_client;
};

// Text from the engine or the command line as it may be printed: a name
// could hold control characters that move the cursor or fake a line, so
// they show as \xNN.
std::string Shown(std::string_view text);

// GetError's text cut to its most telling line; "no reason given" for none.
std::string ErrorLine(const std::string& errorText);

// A store name as the library packs it: one to four printable characters.
LONG StoreCode(const std::string& name);

}  // namespace orvo::tool
