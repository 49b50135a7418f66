// One client connection's share of the engine: it logs in through Login,
// which hands out the engine only to a user the users file admits, and
// reaches the engine through clients of its own, which it alone may name
// and which are deleted (their recordings stopped) when it ends.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include <capnp/capability.h>
#include <kj/timer.h>
#include <orvo/protocol/ITankEngine.h>

#include "protocol/EngineWire.h"
#include "protocol/LoopThread.h"
#include "server/orvo-engined/UsersFile.h"

namespace orvo::engined {

// What every connection of one server shares.
struct Served {
    ComPtr<ITankEngine> engine;
    UsersFile users;
    kj::Timer& timer;
    // Checks passwords, one at a time for every connection: a check takes
    // tens of MiB for a moment, which many connections logging in at once
    // must not multiply.
    const kj::Executor& passwordChecks;
    // How long a refused login waits before it answers.
    kj::Duration refusalDelay;
    // The most clients one connection may hold at once.
    std::size_t maxClients;
    // The most rows one ReadEvents may ask for.
    LONG maxRowsPerRead;
    // The folder every tank served must lie in (canonical), or empty.
    std::filesystem::path tanksRoot;
};

// Lives on the server's event loop; its engine calls run on its worker.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(const Served& served, std::string peer) : m_served(served), m_peer(std::move(peer)) {}

    // The bootstrap capability the peer first holds.
    wire::Login::Client Login();
    // Deletes the clients the connection made; the promise ends when the
    // engine has stopped their recordings.
    kj::Promise<void> Close();

    const std::string& Peer() const { return m_peer; }
    // Ends when the server closes the connection itself: after
    // kMaxRefusedLogins refused logins, so that one connection cannot go on
    // guessing passwords. Taken once.
    kj::Promise<void> Expelled() { return kj::mv(m_expel.promise); }

    static constexpr unsigned kMaxRefusedLogins = 3;

private:
    friend class LoginService;
    friend class EngineService;

    const Served& m_served;
    const std::string m_peer;
    // Runs the connection's engine calls: the engine keeps the failure of a
    // call that names no client for the thread that made it, so each
    // connection needs a thread to itself; a slow call then holds up its own
    // connection only.
    wire::LoopThread m_worker;
    std::set<LONG> m_clients;
    // Why the last call naming a client not of this connection failed, kept
    // for the next GetError as the engine keeps its own failures.
    std::string m_refusal;
    capnp::CapabilityServerSet<wire::ArrayUpload> m_uploads;
    // The data bytes of the uploads made and not yet ended.
    std::uint64_t m_uploadBytes = 0;
    unsigned m_refusedLogins = 0;
    kj::PromiseFulfillerPair<void> m_expel = kj::newPromiseAndFulfiller<void>();
};

// One line of the server's log, on standard error.
void LogLine(const std::string& line);

// Checks that every method of the schema is served by an interface slot.
void CheckServedMethods();

}  // namespace orvo::engined
