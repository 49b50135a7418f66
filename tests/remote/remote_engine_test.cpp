// The engine through orvo-engined on a loopback port, reached through the
// client's server list: wrong credentials are refused while it serves on, and
// a server that dies or hangs leaves failures with their reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <orvo/OrvoCI.h>
#include <orvo/platform/com_error.h>
#include "protocol/EngineWire.h"
#include "protocol/Installation.h"
#include "protocol/LoopThread.h"
#include "tests/fixtures/engine_server.h"
#include "tests/fixtures/scratch.h"
#include "tests/tankengine/recording_support.h"

namespace orvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Connects client through the server list entry "lab".
LONG ConnectTo(OrvoCI& client, const std::string& address, const char* user, const char* password)
{
    client.AddServer("lab", address.c_str(), user, "", password);
    return client.ConnectServer("lab", "App");
}

class RemoteEngineTest : public ::testing::Test {
protected:
    LONG Connect(OrvoCI& client, const char* user, const char* password)
    {
        return ConnectTo(client, server.PlainAddress(), user, password);
    }

    // Connects as alice and opens block "Remote" of T1 for reading.
    void OpenReader(OrvoCI& client)
    {
        ASSERT_GT(Connect(client, "alice", "secret"), 0) << client.GetError().GetString();
        ASSERT_TRUE(client.OpenTank("T1", 'R')) << client.GetError().GetString();
        ASSERT_TRUE(client.SelectBlock("Remote")) << client.GetError().GetString();
    }
    // Connects as alice and records `batches` stream batches of Wav1 into T1 as block "Remote".
    void Record(OrvoCI& client, std::int64_t batches)
    {
        ASSERT_GT(Connect(client, "alice", "secret"), 0) << client.GetError().GetString();
        ASSERT_TRUE(client.AddTank("T1", scratch.path().string().c_str())) << client.GetError().GetString();
        ASSERT_TRUE(client.InitializeTank("T1")) << client.GetError().GetString();
        ASSERT_TRUE(client.OpenTank("T1", 'W')) << client.GetError().GetString();
        ASSERT_NE(client.StartRecord("Remote"), 0) << client.GetError().GetString();
        for (std::int64_t b = 0; b < batches; ++b) {
            ASSERT_EQ(SaveStreamRecord(client, "Wav1", kShortFormat, b), kChannels) << client.GetError().GetString();
        }
    }

    ScratchRegistry registry;
    ScratchDir scratch;
    EngineServer server{scratch, false};
};

// Readers and a recorder at once, each on its own thread, are served whole and
// in order by a server whose memory stays bounded.
TEST_F(RemoteEngineTest, ManyConnectionsAtOnceEachGetTheirWholeAnswers)
{
    constexpr int kReaders = 31;
    constexpr std::int64_t kBatches = 6;
    // About 175 MiB under the sanitizers; each password check held at the
    // same time as another would add 64 MiB.
    constexpr long kServerMemoryBoundKiB = 256 << 10;
    {
        OrvoCI recorder;
        Record(recorder, kBatches);
    }
    const Records saved = StreamBatches("Wav1", kShortFormat, kBatches);
    std::vector<std::thread> clients;
    for (int i = 0; i < kReaders; ++i) {
        clients.emplace_back([&] {
            OrvoCI reader;
            OpenReader(reader);
            EXPECT_EQ(FirstDifference(ReadBlock(reader, {}, 10), TimeOrdered(saved)), "");
        });
    }
    clients.emplace_back([&] {
        OrvoCI recorder;
        ASSERT_GT(Connect(recorder, "alice", "secret"), 0) << recorder.GetError().GetString();
        ASSERT_TRUE(recorder.OpenTank("T1", 'W'));
        ASSERT_NE(recorder.StartRecord("Concurrent"), 0) << recorder.GetError().GetString();
        for (std::int64_t b = 0; b < kBatches; ++b) {
            EXPECT_EQ(SaveStreamRecord(recorder, "Wav1", kShortFormat, b), kChannels) << recorder.GetError().GetString();
        }
        recorder.StopRecord();
        ASSERT_TRUE(recorder.SelectBlock("Concurrent"));
        EXPECT_EQ(FirstDifference(ReadBlock(recorder), TimeOrdered(saved)), "");
    });
    for (std::thread& client : clients) {
        client.join();
    }
    const long peak = server.PeakMemoryKiB();
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kServerMemoryBoundKiB);
}

// Records go up, and answers come back, in chunks.
TEST_F(RemoteEngineTest, ArraysLargerThanAMessageCrossInChunks)
{
    OrvoCI remote;
    Record(remote, 0);
    Records records;
    for (std::int64_t b = 0; records.size() * (kHeaderWords + StreamWords(kShortFormat)) * 4 < (9u << 20); ++b) {
        const Records batch = StreamRecords("Wav1", kShortFormat, b);
        records.insert(records.end(), batch.begin(), batch.end());
    }
    const std::vector<LONG> rows = Rows(records);
    ASSERT_EQ(remote.SaveEvents(rows.data(), static_cast<LONG>(records.size())), static_cast<LONG>(records.size()))
        << remote.GetError().GetString();
    remote.StopRecord();
    ASSERT_TRUE(remote.SelectBlock("Remote"));
    EXPECT_EQ(FirstDifference(ReadBlock(remote, {}, static_cast<LONG>(records.size())), TimeOrdered(records)), "");
}

TEST_F(RemoteEngineTest, WrongCredentialsAreRefusedAndTheServerServesOn)
{
    for (auto [user, password] : {std::pair{"alice", "wrong"}, {"mallory", "secret"}, {"*", "*"}}) {
        OrvoCI refused;
        EXPECT_EQ(Connect(refused, user, password), 0) << user;
        EXPECT_THAT(refused.GetError().GetString(), HasSubstr("Access is denied")) << user;
    }
    OrvoCI admitted;
    EXPECT_GT(Connect(admitted, "alice", "secret"), 0) << admitted.GetError().GetString();
    EXPECT_THAT(server.Log(), HasSubstr("login of \"mallory\" refused"));
}

// After its third refused login a connection is closed.
TEST_F(RemoteEngineTest, AConnectionIsClosedAfterThreeRefusedLogins)
{
    auto io = kj::setupAsyncIo();
    auto address = io.provider->getNetwork().parseAddress("127.0.0.1", server.port).wait(io.waitScope);
    auto stream = address->connect().wait(io.waitScope);
    capnp::TwoPartyClient connection(*stream);
    auto login = connection.bootstrap().castAs<wire::Login>();
    std::vector<kj::Exception::Type> failures;
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto request = login.loginRequest();
        request.setUser("alice");
        request.setPassword("guess" + std::to_string(attempt));
        KJ_IF_MAYBE (failure, kj::runCatchingExceptions([&] { request.send().wait(io.waitScope); })) {
            failures.push_back(failure->getType());
        }
    }
    using Type = kj::Exception::Type;
    EXPECT_THAT(failures, ElementsAre(Type::FAILED, Type::FAILED, Type::FAILED, Type::DISCONNECTED));
    EXPECT_THAT(server.Log(), HasSubstr("refused; the connection is closed after 3 refused logins"));
}

// Reads held by a server that dies fail with the reason and hand out no part.
TEST_F(RemoteEngineTest, AServerThatDiesLeavesFailuresWithTheirReasonNeverData)
{
    OrvoCI remote;
    Record(remote, 2);
    OrvoCI readers[2];
    for (OrvoCI& reader : readers) {
        OpenReader(reader);
    }
    ASSERT_EQ(readers[0].GetEvents(nullptr, 10, 0, 0, 0, 0.0, 0.0, 0), 10) << readers[0].GetError().GetString();
    server.Signal(SIGSTOP);
    struct Outcome {
        LONG result;
        bool handedOut;
        std::string error;
    };
    auto continued = std::async(std::launch::async, [&reader = readers[0]] {
        LONG* rows = nullptr;
        const LONG result = reader.GetEvents(&rows, 10, 0, 0, 0, 0.0, 0.0, 1);
        return Outcome{result, rows != nullptr, reader.GetError().GetString()};
    });
    auto waves = std::async(std::launch::async, [&reader = readers[1]] {
        Variant answer;
        const LONG result = reader.GetWaves(PackStoreCode("Wav1"), answer.out());
        return Outcome{result, answer->vt != VT_EMPTY, reader.GetError().GetString()};
    });
    server.Stop(SIGKILL);
    for (auto* read : {&continued, &waves}) {
        const Outcome outcome = read->get();
        EXPECT_LT(outcome.result, 1);
        EXPECT_FALSE(outcome.handedOut);
        EXPECT_THAT(outcome.error, HasSubstr("the connection to the engine server was lost"));
    }

    EXPECT_EQ(SaveStreamRecord(remote, "Wav1", kShortFormat, 2), 0);
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("the connection to the engine server was lost"));
    EXPECT_EQ(remote.GetEvents(nullptr, 10, 0, 0, 0, 0.0, 0.0, 0), ITankEngine::kCountFailed);
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("ReadEvents: the connection to the engine server was lost"));

    // Restarted, the server serves every batch acknowledged before, as saved.
    server.Start();
    OrvoCI again;
    OpenReader(again);
    EXPECT_EQ(FirstDifference(ReadBlock(again), StreamBatches("Wav1", kShortFormat, 2)), "");
}

// The engine on the server, activated as ConnectServer does, with alice's credentials.
ComPtr<ITankEngine> ActivateRemote(const std::string& address)
{
    const BStr name(address);
    std::string user = "alice";
    std::string password = "secret";
    COAUTHIDENTITY identity{reinterpret_cast<USHORT*>(user.data()), static_cast<ULONG>(user.size()), nullptr, 0,
                            reinterpret_cast<USHORT*>(password.data()), static_cast<ULONG>(password.size()),
                            SEC_WINNT_AUTH_IDENTITY_ANSI};
    COAUTHINFO authentication{RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CONNECT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, &identity, EOAC_NONE};
    COSERVERINFO server{0, name.get(), &authentication, 0};
    MULTI_QI request{&ITankEngine::iid, nullptr, S_OK};
    EXPECT_EQ(CoCreateInstanceEx(CLSID_TankEngine, nullptr, CLSCTX_REMOTE_SERVER, &server, 1, &request), S_OK);
    ComPtr<ITankEngine> engine;
    engine.attach(static_cast<ITankEngine*>(request.pItf));
    return engine;
}

TEST_F(RemoteEngineTest, AConnectionMayNameNoOtherConnectionsClients)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    const ComPtr<ITankEngine> first = ActivateRemote(server.PlainAddress());
    const ComPtr<ITankEngine> second = ActivateRemote(server.PlainAddress());
    ASSERT_TRUE(first && second);
    const LONG firstClient = first->AddClient(BStr("First").get());
    const LONG secondClient = second->AddClient(BStr("Second").get());
    ASSERT_GT(firstClient, 0);
    ASSERT_GT(secondClient, 0);
    EXPECT_EQ(second->DeleteClient(firstClient), 0);
    BStr error;
    EXPECT_EQ(second->GetError(secondClient, error.out()), 1);
    EXPECT_EQ(BstrToAnsi(error.get()), "DeleteClient: no client " + std::to_string(firstClient) + " on this connection");
    EXPECT_EQ(first->DeleteClient(firstClient), 1);
    EXPECT_EQ(second->DeleteClient(secondClient), 1);
    CoUninitialize();
}

// The orvo program records and lists through a listed server.
TEST_F(RemoteEngineTest, TheOrvoProgramWorksOnAListedServer)
{
    const auto orvo = [&](const std::string& arguments) {
        const std::string command =
            std::string(ORVO_PROGRAM) + " " + arguments + " > " + scratch.file("orvo.out") + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(scratch.file("orvo.out"));
    };
    orvo("servers add lab " + server.PlainAddress() + " --user alice --password secret");
    orvo("demo " + scratch.file("demo") + " --seconds 1 --server lab");
    orvo("--server lab blocks OrvoDemo");
    EXPECT_THAT(ReadFile(scratch.file("orvo.out")), HasSubstr("Block-1"));
    EXPECT_THAT(server.Log(), HasSubstr("\"alice\" logged in"));
}

// A server that stops answering holds no caller for longer than the timeout.
TEST_F(RemoteEngineTest, AServerThatStopsAnsweringTimesOut)
{
    ScopedEnv timeout("ORVO_REMOTE_TIMEOUT", "3");
    OrvoCI remote;
    ASSERT_GT(Connect(remote, "alice", "secret"), 0) << remote.GetError().GetString();
    server.Signal(SIGSTOP);
    EXPECT_EQ(remote.InitializeTank("T1"), 0);
    OrvoCI late;
    EXPECT_EQ(Connect(late, "alice", "secret"), 0);
    server.Signal(SIGCONT);
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("InitializeTank: the call to the engine server failed: "
                                                         "no answer from the engine server within the timeout"));
    EXPECT_THAT(late.GetError().GetString(), HasSubstr("timeout period expired"));
}

// A client process dying mid-recording has its recording stopped, as acknowledged.
TEST_F(RemoteEngineTest, AConnectionThatDropsHasItsRecordingStopped)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t recorder = fork();
    if (recorder == 0) {
        OrvoCI remote;
        const bool recording = Connect(remote, "alice", "secret") > 0 && remote.AddTank("T1", scratch.path().string().c_str()) &&
                               remote.InitializeTank("T1") && remote.OpenTank("T1", 'W') && remote.StartRecord("Remote") &&
                               SaveStreamRecord(remote, "Wav1", kShortFormat, 0) == kChannels;
        const char byte = recording ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char recording = 0;
    ASSERT_EQ(read(ready[0], &recording, 1), 1);
    ASSERT_EQ(recording, 1);
    OrvoCI local;
    ASSERT_GT(local.ConnectServer("", "Here"), 0);
    ASSERT_TRUE(local.OpenTank("T1", 'R'));
    EXPECT_EQ(local.GetHotBlock(), "Remote");

    kill(recorder, SIGKILL);
    waitpid(recorder, nullptr, 0);
    for (int waited = 0; server.Log().find("disconnected; its clients deleted") == std::string::npos; ++waited) {
        ASSERT_LT(waited, 200) << server.Log();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(local.GetHotBlock(), "");
    ASSERT_TRUE(local.SelectBlock("Remote"));
    EXPECT_EQ(ReadBlock(local).size(), static_cast<std::size_t>(kChannels));
}

// What the server sends back to raw words before closing ("(open)" if not within 20 s).
std::string ServerAnswerTo(unsigned port, const std::vector<std::uint32_t>& words)
{
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    timeval patience{20, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string answer;
    if (connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(peer, words.data(), words.size() * 4) == static_cast<ssize_t>(words.size() * 4)) {
        char bytes[4096];
        ssize_t got = 0;
        while ((got = read(peer, bytes, sizeof bytes)) > 0) {
            answer.append(bytes, static_cast<std::size_t>(got));
        }
        // Closed with our bytes unread, the connection is reset.
        if (got < 0 && errno != ECONNRESET) {
            answer = "(open)";
        }
    }
    close(peer);
    return answer;
}

// Frames claiming 4 GiB or too many segments, and reads of too many rows, are
// refused before anything is allocated.
TEST_F(RemoteEngineTest, WhatBreaksALimitIsRefusedWithItsReasonAndTheServerServesOn)
{
    EXPECT_THAT(ServerAnswerTo(server.port, {0, 0x20000000, 0, 0}), HasSubstr("Message is too large"));
    EXPECT_THAT(ServerAnswerTo(server.port, {0xFFFFFFF0, 1, 2, 3}), HasSubstr("too many segments"));
    OrvoCI remote;
    Record(remote, 1);
    remote.StopRecord();
    ASSERT_TRUE(remote.SelectBlock("Remote"));
    EXPECT_EQ(remote.GetEvents(nullptr, (1 << 20) + 1, 0, 0, 0, 0.0, 0.0, 0), ITankEngine::kCountFailed);
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("ReadEvents: at most 1048576 rows"));
    EXPECT_EQ(remote.GetEvents(nullptr, 1 << 20, 0, 0, 0, 0.0, 0.0, 0), kChannels);
}

// A server of no good faith: it logs anyone in and announces every read's
// answer as an array of the given rows of `width` words, then sends nothing.
class ClaimingServer {
public:
    ClaimingServer(std::uint32_t rows, std::uint32_t width)
    {
        m_loop.Executor().executeSync([&] {
            return m_loop.Io().provider->getNetwork().parseAddress("127.0.0.1", 0).then(
                [this, rows, width](kj::Own<kj::NetworkAddress> address) {
                    m_serving = kj::heap<Serving>(address->listen(), rows, width);
                    port = m_serving->listener->getPort();
                });
        });
    }
    ~ClaimingServer()
    {
        m_loop.Executor().executeSync([&] { m_serving = nullptr; });
    }

    unsigned port = 0;

private:
    class Engine final : public capnp::DynamicCapability::Server {
    public:
        Engine(std::uint32_t rows, std::uint32_t width) : Server(wire::EngineSchema()), m_rows(rows), m_width(width) {}
        kj::Promise<void> call(capnp::InterfaceSchema::Method method,
                               capnp::CallContext<capnp::DynamicStruct, capnp::DynamicStruct> context) override
        {
            if (method.getProto().getName() != "readEvents") {
                return kj::READY_NOW;
            }
            auto begin = context.getParams().get("sink").as<wire::ArraySink>().beginRequest();
            begin.setElementType(VT_I4);
            auto bounds = begin.initBounds(2);
            bounds[0].setElements(m_rows);
            bounds[1].setElements(m_width);
            return begin.send().then([context](auto&&) mutable {
                context.getResults().init("events").as<wire::Variant>().initArray().setStreamed();
            });
        }

    private:
        std::uint32_t m_rows;
        std::uint32_t m_width;
    };
    class AnyoneLogin final : public wire::Login::Server {
    public:
        AnyoneLogin(std::uint32_t rows, std::uint32_t width) : m_engine(kj::heap<Engine>(rows, width)) {}
        kj::Promise<void> login(LoginContext context) override
        {
            context.getResults().setEngine(m_engine.castAs<wire::TankEngine>());
            return kj::READY_NOW;
        }

    private:
        capnp::Capability::Client m_engine;
    };
    struct Serving {
        kj::Own<kj::ConnectionReceiver> listener;
        capnp::TwoPartyServer server;
        kj::Promise<void> accepting;
        Serving(kj::Own<kj::ConnectionReceiver> receiver, std::uint32_t rows, std::uint32_t width)
            : listener(kj::mv(receiver)),
              server(kj::heap<AnyoneLogin>(rows, width)),
              accepting(server.listen(*listener).eagerlyEvaluate(nullptr))
        {
        }
    };

    wire::LoopThread m_loop;
    kj::Own<Serving> m_serving;
};

// What a server claims is checked before the client makes room for it. A
// million 266-word rows exceed 1 GiB: a client taking that much fails only
// because nothing is sent.
TEST(RemoteEngineAnswerTest, AnAnswerLargerThanTheClientTakesFailsBeforeItIsMade)
{
    ScratchRegistry registry;
    ASSERT_EQ(RegisterInstallation(), ERROR_SUCCESS);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    constexpr std::uint32_t kRecordWords = kHeaderWords + 256;
    const struct {
        std::uint32_t rows;
        LONG asked;
        const char* maxAnswerMiB;
        const char* refusal;
    } claims[] = {{1u << 20, 1 << 20, "256", "answer of 1115684864 bytes is more than the 268435456 this client takes"},
                  {1u << 20, 1 << 20, "1100", "an array sent in chunks ended early"},
                  {11, 10, "256", "answered 11 rows where at most 10 were asked for"}};
    for (const auto& claim : claims) {
        ScopedEnv maxAnswer("ORVO_REMOTE_MAX_ANSWER_MB", claim.maxAnswerMiB);
        ClaimingServer server(claim.rows, kRecordWords);
        const ComPtr<ITankEngine> engine = ActivateRemote("plain:127.0.0.1:" + std::to_string(server.port));
        ASSERT_TRUE(engine);
        Variant events;
        EXPECT_EQ(engine->ReadEvents(1, events.get(), claim.asked, 0, 0, 0, 0.0, 0.0, 0), -1);
        EXPECT_EQ(events->vt, VT_EMPTY);
        BStr text;
        engine->GetError(1, text.out());
        EXPECT_THAT(BstrToAnsi(text.get()), HasSubstr(claim.refusal));
    }
    CoUninitialize();
}

TEST(RemoteEngineTanksRootTest, TanksOutsideTheServedFolderAreRefused)
{
    ScratchRegistry registry;
    ScratchDir scratch;
    std::filesystem::create_directory(scratch.path() / "served");
    EngineServer server(scratch, false, {"--tanks-root", (scratch.path() / "served").string()});
    OrvoCI local;
    ASSERT_GT(local.ConnectServer("", "Here"), 0);
    ASSERT_TRUE(local.AddTank("Elsewhere", scratch.path().string().c_str()));

    // The users file was named relative to where the server started, not to the served folder.
    OrvoCI remote;
    ASSERT_GT(ConnectTo(remote, server.PlainAddress(), "alice", "secret"), 0) << remote.GetError().GetString();
    EXPECT_THAT(server.Log(), HasSubstr("users from " + std::filesystem::canonical(scratch.file("users")).string()));
    EXPECT_TRUE(remote.AddTank("Inside", "")) << remote.GetError().GetString();
    EXPECT_TRUE(remote.InitializeTank("Inside")) << remote.GetError().GetString();
    EXPECT_TRUE(std::filesystem::is_directory(scratch.path() / "served" / "Inside"));
    EXPECT_FALSE(remote.AddTank("Outside", scratch.path().string().c_str()));
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("lies outside the tanks this server serves"));
    // A link inside the served folder leads no further than the folder does.
    std::filesystem::create_directory_symlink(scratch.path(), scratch.path() / "served" / "Link");
    for (const char* name : {"../Escaped", "Elsewhere", "Link/Escaped"}) {
        EXPECT_FALSE(remote.InitializeTank(name)) << name;
        EXPECT_THAT(remote.GetError().GetString(), HasSubstr("InitializeTank: \"" + std::string(name) + "\" lies outside"));
    }
    EXPECT_FALSE(remote.AddTank("Linked", "Link"));
    EXPECT_THAT(remote.GetError().GetString(), HasSubstr("\"Link\" lies outside"));
    EXPECT_FALSE(std::filesystem::exists(scratch.path() / "Escaped"));
}

TEST(RemoteEngineTlsTest, CredentialsTravelEncryptedAndPlaintextIsRefused)
{
    ScratchRegistry registry;
    ScratchDir scratch;
    EngineServer server(scratch, true);
    ScopedEnv trusted("ORVO_SERVER_CERTIFICATES", server.Certificate());

    OrvoCI plain;
    EXPECT_EQ(ConnectTo(plain, server.PlainAddress(), "alice", "secret"), 0);
    EXPECT_THAT(plain.GetError().GetString(), HasSubstr("The RPC server is unavailable"));

    OrvoCI encrypted;
    ASSERT_GT(ConnectTo(encrypted, server.TlsAddress(), "alice", "secret"), 0)
        << encrypted.GetError().GetString() << server.Log();
    EXPECT_TRUE(encrypted.AddTank("T1", scratch.path().string().c_str())) << encrypted.GetError().GetString();
    EXPECT_TRUE(encrypted.InitializeTank("T1")) << encrypted.GetError().GetString();
    EXPECT_THAT(server.Log(), HasSubstr("refused"));
}

}  // namespace
}  // namespace orvo::test
