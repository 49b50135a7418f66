// A connection to the tank engine under the client name "orvo", with the
// tank and block steps every command shares: the local engine, or the one on
// the listed server that the command line chose with UseServer. Failures become Failure
// with the engine's or the library's reason on one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <orvo/OrvoCI.h>

namespace orvo::tool {

// The server list entry every later Session connects to; "" for the local engine.
void UseServer(std::string server);

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

// "1 channel", "2 channels": a count with its noun, plural when it is not 1.
std::string Counted(std::uint64_t count, std::string_view noun);

// "1.500 s": a time in seconds, to the millisecond, with its unit.
std::string Seconds(double value);

// A store name as the library packs it: one to four printable characters.
LONG StoreCode(const std::string& name);

// How the tool reads events: batches of kReadBatch rows, each after the
// first continuing the one before; kHeadersOnly leaves the data out.
inline constexpr LONG kReadBatch = 1000;
inline constexpr LONG kContinueRead = 1;
inline constexpr LONG kHeadersOnly = 1024;

// Items of OrvoCI::ParseEvHeaderInfo.
inline constexpr LONG kTypeItem = 2;
inline constexpr LONG kChannelItem = 4;
inline constexpr LONG kSortCodeItem = 5;
inline constexpr LONG kTimeItem = 6;
inline constexpr LONG kValueItem = 7;

// The open tank's block names in the engine's order; bounded, so that a
// misbehaving engine cannot keep the tool listing for ever.
std::vector<std::string> BlockNames(OrvoCI& client);

}  // namespace orvo::tool
