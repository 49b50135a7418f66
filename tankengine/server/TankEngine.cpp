#include "tankengine/server/TankEngine.h"

#include "tankengine/server/Text.h"

namespace orvo::engine {
namespace {

// GetStatus(code 0): what the client has.
constexpr LONG kStatusNoTank = 'C';
constexpr LONG kStatusReading = 'R';
constexpr LONG kStatusWriting = 'W';
constexpr LONG kStatusRecording = 'A';

}  // namespace

TankEngine::~TankEngine()
{
    // Blocks still recorded when the process lets the engine go get their
    // stop time, as a StopRecord would give them.
    for (std::optional<Client>& client : m_clients) {
        if (client) {
            (void)CloseClientTank(*client);
        }
    }
}

LONG TankEngine::WithClient(LONG clientId, std::string_view operation, const ClientOperation& run)
{
    std::lock_guard lock(m_mutex);
    if (clientId < 1 || clientId > kMaxClients || !m_clients[static_cast<std::size_t>(clientId)]) {
        m_freeError = std::string(operation) + ": no client " + std::to_string(clientId);
        return 0;
    }
    Client& client = *m_clients[static_cast<std::size_t>(clientId)];
    // Closing forgets the tank, so its trace is looked up before as well.
    const std::filesystem::path before = client.tank ? client.tank->dir : std::filesystem::path();
    tank::Result<LONG> result = run(client);
    Trace(client.tank ? client.tank->dir : before, clientId, operation, result);
    if (!result) {
        client.error = std::string(operation) + ": " + result.error();
        return 0;
    }
    return *result;
}

LONG TankEngine::WithoutClient(std::string_view operation, const std::function<tank::Result<LONG>()>& run)
{
    std::lock_guard lock(m_mutex);
    tank::Result<LONG> result = run();
    if (!result) {
        m_freeError = std::string(operation) + ": " + result.error();
        return 0;
    }
    return *result;
}

LONG TankEngine::AddClient(BSTR name)
{
    std::string text = FromBstr(name);
    return WithoutClient("AddClient", [&]() -> tank::Result<LONG> {
        for (LONG id = 1; id <= kMaxClients; ++id) {
            if (!m_clients[static_cast<std::size_t>(id)]) {
                m_clients[static_cast<std::size_t>(id)].emplace().name = std::move(text);
                return id;
            }
        }
        return tank::Fail("all 999 client ids are taken");
    });
}

LONG TankEngine::DeleteClient(LONG clientId)
{
    return WithoutClient("DeleteClient", [&]() -> tank::Result<LONG> {
        if (clientId < 1 || clientId > kMaxClients || !m_clients[static_cast<std::size_t>(clientId)]) {
            return tank::Fail("no client " + std::to_string(clientId));
        }
        std::optional<Client>& client = m_clients[static_cast<std::size_t>(clientId)];
        tank::Status closed = CloseClientTank(*client);
        client.reset();
        if (!closed) {
            return tank::Fail("client " + std::to_string(clientId) + " deleted, but " + closed.error());
        }
        return 1;
    });
}

LONG TankEngine::GetError(LONG clientId, BSTR* text)
{
    std::lock_guard lock(m_mutex);
    std::string answer;
    if (clientId >= 1 && clientId <= kMaxClients && m_clients[static_cast<std::size_t>(clientId)]) {
        answer = std::move(m_clients[static_cast<std::size_t>(clientId)]->error);
        m_clients[static_cast<std::size_t>(clientId)]->error.clear();
    }
    if (!m_freeError.empty()) {
        answer += (answer.empty() ? "" : "\n") + m_freeError;
        m_freeError.clear();
    }
    if (answer.empty()) {
        return 0;
    }
    return Deliver(text, answer) ? 1 : 0;
}

LONG TankEngine::GetStatus(LONG clientId, LONG code)
{
    return WithClient(clientId, "GetStatus", [&](Client& client) -> tank::Result<LONG> {
        if (code != 0) {
            return tank::Fail("status code " + std::to_string(code) + " is not known; 0 asks for the client's state");
        }
        if (client.recording) {
            return kStatusRecording;
        }
        if (!client.tank) {
            return kStatusNoTank;
        }
        return client.tank->mode == TankMode::Write ? kStatusWriting : kStatusReading;
    });
}

}  // namespace orvo::engine
