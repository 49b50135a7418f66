// The engine through orvo-engined on loopback, each figure beside a baseline
// of the same run over the same kind of connection (plaintext, then TLS):
//   - ReadEvents of the 16-channel, 60 s block in batches of 1000 rows,
//     against a Cap'n Proto interface that only returns the same bytes in
//     the same batches (bench/bulk_bytes.capnp), served from memory;
//     "x_raw_throughput" is the remote read's throughput over the raw one's.
//     The remote read also runs the engine's own read, which the raw one
//     does not, one after the other with the transfer, since a read's next
//     batch is asked for only once the last one arrived; "x_raw_and_engine"
//     is the remote read's throughput over that of the raw transfer and the
//     in-process read done one after the other, so what the network layer
//     adds shows apart from the engine;
//   - GetWaves of that block, against GetWaves from the engine in this
//     process; "x_in_process" is the remote call's time over the local one's.
// The in-process ReadEvents runs too, for scale.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <kj/compat/tls.h>

#include "bench/bulk_bytes.capnp.h"
#include "bench/bench_tank.h"
#include "protocol/LoopThread.h"
#include "tests/fixtures/engine_server.h"
#include "tests/fixtures/scratch.h"

namespace {

using namespace orvo::bench;

enum Transport { kPlain, kTls, kTransports };
const char* const kServerNames[kTransports] = {"plain-lab", "tls-lab"};

double g_rawSeconds[kTransports] = {};  // per iteration
double g_localReadSeconds = 0;
double g_localWavesSeconds = 0;

double PerIteration(const benchmark::State& state, double seconds)
{
    return state.iterations() > 0 ? seconds / static_cast<double>(state.iterations()) : 0;
}

// Serves the minute's records from memory in batches of kReadBatch rows, on a
// thread of its own, as orvo-engined serves from its own process.
class BulkServer {
public:
    // With TLS when given a certificate and its key (PEM files).
    BulkServer(const std::vector<char>& bytes, const std::string& certificate, const std::string& key)
    {
        m_loop.Executor().executeSync([&] {
            return m_loop.Io().provider->getNetwork().parseAddress("127.0.0.1", 0).then(
                [&](kj::Own<kj::NetworkAddress> address) {
                    m_serving = kj::heap<Serving>(bytes, address->listen());
                    if (!certificate.empty()) {
                        m_serving->Secure(certificate, key);
                    }
                    port = m_serving->listener->getPort();
                    m_serving->accepting = m_serving->Accept().eagerlyEvaluate(nullptr);
                });
        });
    }
    ~BulkServer()
    {
        m_loop.Executor().executeSync([&] { m_serving = nullptr; });
    }

    unsigned port = 0;

private:
    class Bulk final : public BulkBytes::Server {
    public:
        explicit Bulk(const std::vector<char>& bytes) : m_bytes(bytes) {}
        kj::Promise<void> read(ReadContext context) override
        {
            const std::size_t batch = kReadBatch * kStreamRecordBytes;
            const std::size_t at = std::min(m_bytes.size(), std::size_t{context.getParams().getIndex()} * batch);
            const std::size_t size = std::min(batch, m_bytes.size() - at);
            auto data = context.getResults().initData(static_cast<capnp::uint>(size));
            std::memcpy(data.begin(), m_bytes.data() + at, size);
            return kj::READY_NOW;
        }

    private:
        const std::vector<char>& m_bytes;
    };

    struct Connection {
        kj::Own<kj::AsyncIoStream> stream;
        capnp::TwoPartyVatNetwork network;
        capnp::RpcSystem<capnp::rpc::twoparty::VatId> rpc;
        Connection(kj::Own<kj::AsyncIoStream> accepted, const std::vector<char>& bytes)
            : stream(kj::mv(accepted)),
              network(*stream, capnp::rpc::twoparty::Side::SERVER),
              rpc(capnp::makeRpcServer(network, BulkBytes::Client(kj::heap<Bulk>(bytes))))
        {
        }
    };

    struct Serving : private kj::TaskSet::ErrorHandler {
        const std::vector<char>& bytes;
        kj::Own<kj::ConnectionReceiver> listener;
        std::optional<kj::TlsKeypair> keypair;
        kj::Own<kj::TlsContext> tls;
        kj::TaskSet connections{*this};
        kj::Promise<void> accepting = nullptr;

        Serving(const std::vector<char>& data, kj::Own<kj::ConnectionReceiver> receiver)
            : bytes(data), listener(kj::mv(receiver))
        {
        }
        void Secure(const std::string& certificate, const std::string& key)
        {
            keypair.emplace(kj::TlsKeypair{kj::TlsPrivateKey(orvo::test::ReadFile(key)),
                                           kj::TlsCertificate(orvo::test::ReadFile(certificate))});
            kj::TlsContext::Options options;
            options.useSystemTrustStore = false;
            options.defaultKeypair = *keypair;
            tls = kj::heap<kj::TlsContext>(kj::mv(options));
        }
        kj::Promise<void> Accept()
        {
            return listener->accept().then([this](kj::Own<kj::AsyncIoStream> stream) {
                kj::Promise<kj::Own<kj::AsyncIoStream>> secured =
                    tls ? tls->wrapServer(kj::mv(stream)) : kj::Promise<kj::Own<kj::AsyncIoStream>>(kj::mv(stream));
                connections.add(secured.then([this](kj::Own<kj::AsyncIoStream> ready) {
                    auto connection = kj::heap<Connection>(kj::mv(ready), bytes);
                    auto ended = connection->network.onDisconnect();
                    return ended.attach(kj::mv(connection));
                }));
                return Accept();
            });
        }
        void taskFailed(kj::Exception&&) override {}
    };

    orvo::wire::LoopThread m_loop;
    kj::Own<Serving> m_serving;
};

// The servers, the clients and the minute block, made once.
class Session {
public:
    Session()
    {
        if (!tank.ready) {
            return;
        }
        std::ifstream raw(tank.File("minute.raw"), std::ios::binary);
        minute.assign(std::istreambuf_iterator<char>(raw), {});
        servers[kPlain].emplace(dirs[kPlain], false);
        servers[kTls].emplace(dirs[kTls], true);
        ::setenv("ORVO_SERVER_CERTIFICATES", servers[kTls]->Certificate().c_str(), 1);
        const std::string addresses[kTransports] = {servers[kPlain]->PlainAddress(), servers[kTls]->TlsAddress()};
        ready = local.ConnectServer("", "BenchLocal") > 0 && OpenMinute(local, tank);
        for (int transport = kPlain; transport < kTransports; ++transport) {
            const bool tls = transport == kTls;
            bulk[transport].emplace(minute, tls ? servers[kTls]->Certificate() : "",
                                    tls ? dirs[kTls].file("server.key") : "");
            OrvoCI& reader = remote[transport];
            ready = ready &&
                    reader.AddServer(kServerNames[transport], addresses[transport].c_str(), "alice", "", "secret") &&
                    reader.ConnectServer(kServerNames[transport], "BenchRemote") > 0 && OpenMinute(reader, tank);
        }
        // A client's first GetWaves fills the caches that the reads after it
        // keep; the figures are of those.
        for (OrvoCI* reader : {&local, &remote[kPlain], &remote[kTls]}) {
            Variant waves;
            ready = ready && reader->GetWaves(orvo::PackStoreCode("Wav1"), waves.out()) > 0;
        }
    }
    ~Session()
    {
        local.ReleaseServer();
        for (OrvoCI& reader : remote) {
            reader.ReleaseServer();
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    MinuteTank tank;
    std::vector<char> minute;
    orvo::test::ScratchDir dirs[kTransports];
    std::optional<orvo::test::EngineServer> servers[kTransports];
    std::optional<BulkServer> bulk[kTransports];
    bool ready = false;
    OrvoCI local;
    OrvoCI remote[kTransports];
};

Session& TheSession()
{
    static Session session;
    return session;
}

// The client end of a BulkBytes connection on this thread's event loop.
struct BulkClient {
    kj::AsyncIoContext& io;
    kj::Own<kj::TlsContext> tls;
    kj::Own<kj::AsyncIoStream> stream;
    kj::Own<capnp::TwoPartyClient> client;
    BulkBytes::Client bulk = nullptr;

    BulkClient(kj::AsyncIoContext& context, unsigned port, const std::string& certificate) : io(context)
    {
        auto address = io.provider->getNetwork().parseAddress("127.0.0.1", port).wait(io.waitScope);
        stream = address->connect().wait(io.waitScope);
        if (!certificate.empty()) {
            kj::TlsContext::Options options;
            const kj::TlsCertificate trusted(orvo::test::ReadFile(certificate));
            options.trustedCertificates = kj::arrayPtr(&trusted, 1);
            tls = kj::heap<kj::TlsContext>(kj::mv(options));
            stream = tls->wrapClient(kj::mv(stream), "localhost").wait(io.waitScope);
        }
        client = kj::heap<capnp::TwoPartyClient>(*stream);
        bulk = client->bootstrap().castAs<BulkBytes>();
    }
};

kj::AsyncIoContext& ThisThreadsIo()
{
    static kj::AsyncIoContext io = kj::setupAsyncIo();
    return io;
}

void RawRead(benchmark::State& state)
{
    const auto transport = static_cast<Transport>(state.range(0));
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the servers did not start");
        return;
    }
    BulkClient raw(ThisThreadsIo(), s.bulk[transport]->port,
                   transport == kTls ? s.servers[kTls]->Certificate() : std::string());
    // Copied out of the message, as a receiver keeps what it reads.
    std::vector<char> kept(kReadBatch * kStreamRecordBytes);
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        double total = 0;
        for (std::uint32_t index = 0;; ++index) {
            auto request = raw.bulk.readRequest();
            request.setIndex(index);
            auto answer = request.send().wait(raw.io.waitScope);
            const auto data = answer.getData();
            if (data.size() == 0) {
                break;
            }
            std::memcpy(kept.data(), data.begin(), data.size());
            total += static_cast<double>(data.size());
        }
        if (total != kMinuteBytes) {
            state.SkipWithError("the raw transfer is short");
            break;
        }
    }
    g_rawSeconds[transport] = PerIteration(state, SecondsSince(begin));
    Rates(state, kMinuteRecordCount, kMinuteBytes);
}

void ReadEvents(benchmark::State& state, OrvoCI& reader)
{
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        if (ReadMinuteRecords(reader) != kMinuteRecordCount) {
            state.SkipWithError("GetEvents did not read the whole block");
            break;
        }
    }
    Rates(state, kMinuteRecordCount, kMinuteBytes);
    const double seconds = PerIteration(state, SecondsSince(begin));
    if (&reader == &TheSession().local) {
        g_localReadSeconds = seconds;
    } else if (seconds > 0) {
        const auto transport = static_cast<Transport>(state.range(0));
        state.counters["x_raw_throughput"] = g_rawSeconds[transport] / seconds;
        state.counters["x_raw_and_engine"] = (g_rawSeconds[transport] + g_localReadSeconds) / seconds;
    }
}

void LocalReadEvents(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the servers did not start");
        return;
    }
    ReadEvents(state, s.local);
}

void RemoteReadEvents(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the servers did not start");
        return;
    }
    ReadEvents(state, s.remote[state.range(0)]);
}

double GetWaves(benchmark::State& state, OrvoCI& reader)
{
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        Variant waves;
        if (reader.GetWaves(orvo::PackStoreCode("Wav1"), waves.out()) < 1) {
            state.SkipWithError("GetWaves read nothing");
            break;
        }
    }
    return PerIteration(state, SecondsSince(begin));
}

void LocalGetWaves(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the servers did not start");
        return;
    }
    g_localWavesSeconds = GetWaves(state, s.local);
}

void RemoteGetWaves(benchmark::State& state)
{
    Session& s = TheSession();
    if (!s.ready) {
        state.SkipWithError("the servers did not start");
        return;
    }
    const double seconds = GetWaves(state, s.remote[state.range(0)]);
    if (g_localWavesSeconds > 0) {
        state.counters["x_in_process"] = seconds / g_localWavesSeconds;
    }
}

BENCHMARK(LocalReadEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawRead)->ArgName("tls")->Arg(kPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RemoteReadEvents)->ArgName("tls")->Arg(kPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawRead)->ArgName("tls")->Arg(kTls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RemoteReadEvents)->ArgName("tls")->Arg(kTls)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LocalGetWaves)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RemoteGetWaves)->ArgName("tls")->Arg(kPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RemoteGetWaves)->ArgName("tls")->Arg(kTls)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
