// orvo-engined: serves this machine's tank engine to clients on others, over
// Cap'n Proto RPC, to the users of its users file; and manages that file.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <CLI/CLI.hpp>
#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <kj/async-unix.h>
#include <kj/compat/tls.h>
#include <termios.h>

#include "protocol/EngineWire.h"
#include "protocol/Installation.h"
#include "server/orvo-engined/Connection.h"

namespace {

using namespace orvo::engined;

constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxClientsPerConnection = 32;
constexpr LONG kMaxRowsPerRead = 1 << 20;
constexpr auto kRefusalDelay = 1 * kj::SECONDS;
constexpr auto kHandshakeTimeout = 10 * kj::SECONDS;

struct Options {
    std::string listen = "127.0.0.1:" + std::to_string(orvo::wire::kDefaultPort);
    std::string users;
    bool allowPlaintext = false;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string tanksRoot;
};

std::string DefaultUsersFile()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string folder = config != nullptr && config[0] != '\0' ? config
                               : home != nullptr                    ? std::string(home) + "/.config"
                                                                    : ".";
    return folder + "/orvo/engined-users";
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// From the terminal without echo, asked twice; else one line of standard input.
std::string ReadPassword()
{
    std::string password;
    if (isatty(STDIN_FILENO) == 0) {
        std::getline(std::cin, password);
        return password;
    }
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::string again;
    std::cerr << "Password: ";
    std::getline(std::cin, password);
    std::cerr << "\nAgain: ";
    std::getline(std::cin, again);
    std::cerr << '\n';
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (password != again) {
        throw std::runtime_error("the passwords differ");
    }
    return password;
}

// Stream, RPC network and RPC system of one connection, ended in that order.
struct Link {
    kj::Own<kj::AsyncIoStream> stream;
    capnp::TwoPartyVatNetwork network;
    capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;

    Link(kj::Own<kj::AsyncIoStream> accepted, capnp::Capability::Client bootstrap)
        : stream(kj::mv(accepted)),
          network(*stream, capnp::rpc::twoparty::Side::SERVER, capnp::ReaderOptions{orvo::wire::kMessageWords, 64}),
          rpc(capnp::makeRpcServer(network, kj::mv(bootstrap)))
    {
    }
};

class Server final : private kj::TaskSet::ErrorHandler {
public:
    Server(const Served& served, kj::Maybe<kj::TlsContext&> tls) : m_served(served), m_tls(tls) {}

    kj::Promise<void> Listen(kj::ConnectionReceiver& listener)
    {
        return listener.acceptAuthenticated().then([this, &listener](kj::AuthenticatedStream accepted) {
            m_tasks.add(Serve(kj::mv(accepted)));
            return Listen(listener);
        });
    }

    // Deletes every connection's clients, stopping their recordings.
    kj::Promise<void> CloseAll()
    {
        kj::Vector<kj::Promise<void>> closing;
        for (const auto& connection : m_live) {
            closing.add(connection->Close());
        }
        return kj::joinPromises(closing.releaseAsArray());
    }

private:
    kj::Promise<void> Serve(kj::AuthenticatedStream accepted)
    {
        std::string peer = "a peer";
        KJ_IF_MAYBE (identity, kj::dynamicDowncastIfAvailable<kj::NetworkPeerIdentity>(*accepted.peerIdentity)) {
            peer = identity->getAddress().toString().cStr();
        }
        if (m_live.size() >= kMaxConnections) {
            LogLine(peer + ": refused: " + std::to_string(m_live.size()) + " connections are open, the most served");
            return kj::READY_NOW;
        }
        kj::Promise<kj::Own<kj::AsyncIoStream>> secured = nullptr;
        KJ_IF_MAYBE (tls, m_tls) {
            secured = tls->wrapServer(kj::mv(accepted.stream));
        } else {
            secured = kj::mv(accepted.stream);
        }
        return secured.then(
            [this, peer](kj::Own<kj::AsyncIoStream> stream) {
                auto connection = std::make_shared<Connection>(m_served, peer);
                m_live.insert(connection);
                LogLine(peer + ": connected");
                auto link = kj::heap<Link>(kj::mv(stream), connection->Login());
                // An expelled connection closes once its last answer is on its way.
                auto ended = link->network.onDisconnect().exclusiveJoin(
                    connection->Expelled().then([] { return kj::evalLast([] {}); }));
                return ended.attach(kj::mv(link))
                    .then([connection] { return connection->Close(); })
                    .then([this, connection, peer] {
                        m_live.erase(connection);
                        LogLine(peer + ": disconnected; its clients deleted");
                    });
            },
            [peer](kj::Exception&& failure) { LogLine(peer + ": refused: " + failure.getDescription().cStr()); });
    }

    void taskFailed(kj::Exception&& failure) override { LogLine(std::string("a connection failed: ") + failure.getDescription().cStr()); }

    const Served& m_served;
    kj::Maybe<kj::TlsContext&> m_tls;
    std::set<std::shared_ptr<Connection>> m_live;
    kj::TaskSet m_tasks{*this};
};

ComPtr<ITankEngine> ActivateEngine()
{
    if (const LONG error = orvo::RegisterInstallation(); error != ERROR_SUCCESS) {
        throw std::runtime_error("the engine's registration could not be written (error " + std::to_string(error) + ")");
    }
    MULTI_QI request{&ITankEngine::iid, nullptr, S_OK};
    const HRESULT result = CoCreateInstanceEx(orvo::CLSID_TankEngine, nullptr, CLSCTX_LOCAL_SERVER, nullptr, 1, &request);
    ComPtr<ITankEngine> engine;
    engine.attach(static_cast<ITankEngine*>(request.pItf));
    if (FAILED(result) || !engine) {
        const std::string problem = CoLastLocalServerProblem();
        throw std::runtime_error("the tank engine could not be started" + (problem.empty() ? "" : ": " + problem));
    }
    return engine;
}

int Serve(const Options& options)
{
    CheckServedMethods();
    const bool withTls = !options.tlsCertificate.empty() || !options.tlsKey.empty();
    if (withTls && (options.tlsCertificate.empty() || options.tlsKey.empty())) {
        throw std::runtime_error("TLS needs both --tls-cert and --tls-key");
    }
    // Taken before the server enters its tanks folder, from where it started.
    const std::string usersFile = std::filesystem::weakly_canonical(options.users).string();
    std::filesystem::path tanksRoot;
    if (!options.tanksRoot.empty()) {
        tanksRoot = std::filesystem::canonical(options.tanksRoot);
        if (chdir(tanksRoot.c_str()) != 0) {
            throw std::runtime_error("cannot enter the tanks folder " + tanksRoot.string());
        }
    }
    CoInitialize(nullptr);
    const ComPtr<ITankEngine> engine = ActivateEngine();

    kj::UnixEventPort::captureSignal(SIGTERM);
    kj::UnixEventPort::captureSignal(SIGINT);
    auto io = kj::setupAsyncIo();
    auto address = io.provider->getNetwork().parseAddress(options.listen, orvo::wire::kDefaultPort).wait(io.waitScope);
    const std::string where = address->toString().cStr();
    if (!withTls && !(options.allowPlaintext && orvo::wire::IsLoopbackAddress(where))) {
        throw std::runtime_error("without TLS the server listens on a loopback address only, and only with "
                                 "--allow-plaintext; give --tls-cert and --tls-key");
    }
    kj::Maybe<kj::Own<kj::TlsContext>> tls;
    kj::Maybe<kj::TlsKeypair> keypair;
    if (withTls) {
        keypair = kj::TlsKeypair{kj::TlsPrivateKey(ReadWhole(options.tlsKey).c_str()),
                                 kj::TlsCertificate(ReadWhole(options.tlsCertificate).c_str())};
        kj::TlsContext::Options tlsOptions;
        tlsOptions.useSystemTrustStore = false;
        tlsOptions.defaultKeypair = keypair;
        tlsOptions.timer = io.provider->getTimer();
        tlsOptions.acceptTimeout = kHandshakeTimeout;
        tls = kj::heap<kj::TlsContext>(kj::mv(tlsOptions));
    }
    auto listener = address->listen();
    const orvo::wire::LoopThread passwordChecks;
    const Served served{engine,         UsersFile(usersFile),     io.provider->getTimer(), passwordChecks.Executor(),
                        kRefusalDelay,  kMaxClientsPerConnection, kMaxRowsPerRead,         tanksRoot};
    kj::Maybe<kj::TlsContext&> tlsContext;
    KJ_IF_MAYBE (context, tls) {
        tlsContext = **context;
    }
    Server server(served, tlsContext);
    LogLine("orvo-engined: serving on " + where + (withTls ? " with TLS" : " in plaintext") + ", users from " +
            usersFile);
    auto stopped = io.unixEventPort.onSignal(SIGTERM).exclusiveJoin(io.unixEventPort.onSignal(SIGINT));
    const siginfo_t signal = server.Listen(*listener).then([]() -> siginfo_t { KJ_UNREACHABLE; }).exclusiveJoin(kj::mv(stopped)).wait(io.waitScope);
    LogLine("orvo-engined: stopping on signal " + std::to_string(signal.si_signo));
    server.CloseAll().wait(io.waitScope);
    return 0;
}

int Run(int argc, char** argv)
{
    CLI::App app("orvo-engined: serves this machine's tank engine over the network.", "orvo-engined");
    Options options;
    options.users = DefaultUsersFile();
    app.add_option("--listen", options.listen, "HOST:PORT to listen on (default: " + options.listen + ")");
    app.add_option("--users", options.users, "The users file (default: " + options.users + ")");
    app.add_flag("--allow-plaintext", options.allowPlaintext, "Serve without TLS, on a loopback address only");
    app.add_option("--tls-cert", options.tlsCertificate, "The server's certificate chain, PEM");
    app.add_option("--tls-key", options.tlsKey, "The certificate's private key, PEM");
    app.add_option("--tanks-root", options.tanksRoot,
                   "Serve only the tanks inside this folder, which relative tank paths start from");

    CLI::App* users = app.add_subcommand("users", "Manage the users file: add, remove, list");
    users->require_subcommand(1);
    std::string name;
    std::string domain;
    std::function<int()> run = [&] { return Serve(options); };
    CLI::App* add = users->add_subcommand("add", "Add a user, or give one a new password (asked for)");
    add->add_option("NAME", name, "User name")->required();
    add->add_option("--domain", domain, "The user's domain (default: none)");
    add->callback([&] {
        run = [&] {
            UsersFile(options.users).Add(name, domain, ReadPassword());
            return 0;
        };
    });
    CLI::App* remove = users->add_subcommand("remove", "Remove a user");
    remove->add_option("NAME", name, "User name")->required();
    remove->add_option("--domain", domain, "The user's domain (default: none)");
    remove->callback([&] {
        run = [&] {
            if (!UsersFile(options.users).Remove(name, domain)) {
                throw std::runtime_error("no user " + name + " in " + options.users);
            }
            return 0;
        };
    });
    users->add_subcommand("list", "List the users")->callback([&] {
        run = [&] {
            for (const User& user : UsersFile(options.users).Read()) {
                std::cout << (user.domain.empty() ? user.name : user.domain + "\\" + user.name) << '\n';
            }
            return 0;
        };
    });
    CLI11_PARSE(app, argc, argv);
    return run();
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const kj::Exception& failure) {
        std::cerr << "orvo-engined: " << failure.getDescription().cStr() << '\n';
    } catch (const std::exception& failure) {
        std::cerr << "orvo-engined: " << failure.what() << '\n';
    }
    return 1;
}
