// A connection's whole byte stream as a peer of no good faith sends it:
// framing, RPC messages, logins and engine calls of any shape reach the
// server's handling of one connection, which must refuse what is wrong and
// never crash, read outside a message or allocate past its limits.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "protocol/EngineWire.h"
#include "protocol/LoopThread.h"
#include "server/orvo-engined/Connection.h"
#include "tankengine/server/TankEngine.h"

namespace {

using orvo::engined::Connection;
using orvo::engined::Served;

// A fresh folder with the tanks folder "tanks" in it, which relative tank
// paths start from, as the server's do from its tanks root.
std::filesystem::path ScratchFolder()
{
    const char* temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp != nullptr && temp[0] != '\0' ? temp : "/tmp") + "/orvo-engined-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        orvo::fuzz::HarnessBroken("cannot make " + pattern, errno);
    }
    const std::filesystem::path tanks = std::filesystem::path(pattern) / "tanks";
    if (mkdir(tanks.c_str(), 0700) != 0 || chdir(tanks.c_str()) != 0) {
        orvo::fuzz::HarnessBroken("cannot enter " + tanks.string(), errno);
    }
    return pattern;
}

ComPtr<ITankEngine> NewEngine()
{
    ComPtr<ITankEngine> engine;
    engine.attach(new orvo::engine::TankEngine);
    return engine;
}

// A users file admitting "fuzz" with the password "fuzz", as the sessions of
// the corpus log in, so that inputs get past the login to the engine.
orvo::engined::UsersFile FuzzUser(const std::filesystem::path& folder)
{
    orvo::engined::UsersFile users((folder / "users").string());
    users.Add("fuzz", "", "fuzz");
    return users;
}

// What every input's connection shares, made once: an engine kept to a
// scratch folder's tanks, limits smaller than a server's to keep runs fast,
// and refusals without their delay.
struct Harness {
    kj::AsyncIoContext io = kj::setupAsyncIo();
    orvo::wire::LoopThread passwordChecks;
    std::filesystem::path folder = ScratchFolder();
    Served served{NewEngine(), FuzzUser(folder), io.provider->getTimer(), passwordChecks.Executor(), 0 * kj::SECONDS,
                  4,           1 << 12,          std::filesystem::canonical(folder / "tanks")};
};

// Reads and drops what the server sends until it closes.
kj::Promise<void> Drain(kj::AsyncIoStream& stream, kj::byte* buffer, std::size_t size)
{
    return stream.tryRead(buffer, 1, size).then([&stream, buffer, size](std::size_t got) -> kj::Promise<void> {
        return got == 0 ? kj::Promise<void>(kj::READY_NOW) : Drain(stream, buffer, size);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Never destroyed: a password check a finished input left queued may
    // still run while the process exits.
    static Harness& harness = *new Harness;
    auto connection = std::make_shared<Connection>(harness.served, "fuzz");
    auto pipe = kj::newTwoWayPipe();
    kj::byte answers[4096];
    {
        capnp::TwoPartyVatNetwork network(*pipe.ends[0], capnp::rpc::twoparty::Side::SERVER,
                                          capnp::ReaderOptions{orvo::wire::kMessageWords, 64});
        auto rpc = capnp::makeRpcServer(network, connection->Login());
        auto sent = pipe.ends[1]->write(data, size).then([&] { pipe.ends[1]->shutdownWrite(); }).eagerlyEvaluate(nullptr);
        auto drained = Drain(*pipe.ends[1], answers, sizeof answers).eagerlyEvaluate(nullptr);
        // The server ends the connection when the peer's stream ends or breaks a rule.
        network.onDisconnect().wait(harness.io.waitScope);
    }
    connection->Close().wait(harness.io.waitScope);
    return 0;
}
