#include "tankengine/server/TankEngine.h"

#include "tankengine/server/OperationHook.h"
#include "tankengine/server/Text.h"

#include <exception>
#include <new>

namespace orvo::engine {

std::atomic<OperationHook> g_operationHookForTests{nullptr};

namespace {

using enum tank::ErrorKind;

// GetStatus(code 0): what the client has.
constexpr LONG kStatusNoTank = 'C';
constexpr LONG kStatusReading = 'R';
constexpr LONG kStatusWriting = 'W';
constexpr LONG kStatusRecording = 'A';

void RunHook(std::string_view operation)
{
    if (OperationHook hook = g_operationHookForTests.load(std::memory_order_relaxed)) {
        hook(operation);
    }
}

// The text of the exception being handled.
std::string CaughtText()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

TankEngine::~TankEngine()
{
    // Blocks still recorded when the process lets the engine go get their
    // stop time, as a StopRecord would give them.
    for (std::optional<Client>& client : m_clients) {
        if (client) {
            try {
                (void)CloseClientTank(*client);
            } catch (...) {
                // The block is left without a stop time, as after a crash,
                // and reads back whole.
            }
        }
    }
}

template <class Body>
LONG TankEngine::Framed(LONG clientId, std::string_view operation, LONG failed, const Body& body) noexcept
{
    try {
        MutexLock lock(m_mutex);
        try {
            return body();
        } catch (...) {
            KeepCaught(clientId, operation);
            return failed;
        }
    } catch (...) {
        // Only taking the lock throws this far, and without it nothing can
        // be kept.
        return failed;
    }
}

void TankEngine::KeepCaught(LONG clientId, std::string_view operation) noexcept
{
    Client* client = Find(clientId);
    try {
        std::string text = std::string(operation) + ": " + CaughtText();
        if (client != nullptr) {
            client->error = std::move(text);
        } else {
            KeepFree(std::move(text));
        }
    } catch (...) {
        if (client != nullptr) {
            client->error = "out of memory";  // short enough to need no memory of its own
        }
        // A thread's first free error needs memory for its entry; without it
        // the failed answer is all the caller gets.
    }
}

void TankEngine::KeepFree(std::string text)
{
    m_freeErrors[std::this_thread::get_id()] = std::move(text);
}

Client* TankEngine::Find(LONG clientId)
{
    if (clientId < 1 || clientId > kMaxClients || !m_clients[static_cast<std::size_t>(clientId)]) {
        return nullptr;
    }
    return &*m_clients[static_cast<std::size_t>(clientId)];
}

LONG TankEngine::RunWithClient(LONG clientId, std::string_view operation, LONG failed,
                               const ClientOperation& run) noexcept
{
    return Framed(clientId, operation, failed, [&]() REQUIRES(m_mutex) -> LONG {
        Client* client = Find(clientId);
        if (client == nullptr) {
            KeepFree(std::string(operation) + ": no client " + std::to_string(clientId));
            return failed;
        }
        // Closing forgets the tank, so its trace is looked up before as well.
        const std::filesystem::path before = client->tank ? client->tank->dir : std::filesystem::path();
        RunHook(operation);
        tank::Result<LONG> result = run(*client);
        Trace(client->tank ? client->tank->dir : before, clientId, operation, result);
        if (!result) {
            client->error = std::string(operation) + ": " + result.error();
            return failed;
        }
        return *result;
    });
}

LONG TankEngine::RunWithoutClient(std::string_view operation, const FreeOperation& run) noexcept
{
    return Framed(0, operation, kFailed, [&]() REQUIRES(m_mutex) -> LONG {
        RunHook(operation);
        tank::Result<LONG> result = run();
        if (!result) {
            KeepFree(std::string(operation) + ": " + result.error());
            return kFailed;
        }
        return *result;
    });
}

LONG TankEngine::AddClient(BSTR name)
{
    return WithoutClient("AddClient", [&]() REQUIRES(m_mutex) -> tank::Result<LONG> {
        std::string text = FromBstr(name);
        for (LONG id = 1; id <= kMaxClients; ++id) {
            if (!m_clients[static_cast<std::size_t>(id)]) {
                m_clients[static_cast<std::size_t>(id)].emplace().name = std::move(text);
                return id;
            }
        }
        return tank::Fail(kBusy, "all 999 client ids are taken");
    });
}

LONG TankEngine::DeleteClient(LONG clientId)
{
    return WithoutClient("DeleteClient", [&]() REQUIRES(m_mutex) -> tank::Result<LONG> {
        Client* client = Find(clientId);
        if (client == nullptr) {
            return tank::Fail(kNotFound, "no client " + std::to_string(clientId));
        }
        tank::Status closed = CloseClientTank(*client);
        m_clients[static_cast<std::size_t>(clientId)].reset();
        if (!closed) {
            return tank::Fail(closed.kind(), "client " + std::to_string(clientId) + " deleted, but " + closed.error());
        }
        return 1;
    });
}

LONG TankEngine::GetError(LONG clientId, BSTR* text)
{
    return Framed(clientId, "GetError", kFailed, [&]() REQUIRES(m_mutex) -> LONG {
        RunHook("GetError");
        Client* client = Find(clientId);
        std::string answer = client != nullptr ? client->error : std::string();
        const auto free = m_freeErrors.find(std::this_thread::get_id());
        if (free != m_freeErrors.end()) {
            answer += (answer.empty() ? "" : "\n") + free->second;
        }
        if (answer.empty() || !Deliver(text, answer)) {
            return 0;
        }
        // Forgotten only once answered, so a failed answer loses nothing.
        if (client != nullptr) {
            client->error.clear();
        }
        if (free != m_freeErrors.end()) {
            m_freeErrors.erase(free);
        }
        return 1;
    });
}

LONG TankEngine::GetStatus(LONG clientId, LONG code)
{
    return WithClient(clientId, "GetStatus", [&](Client& client) REQUIRES(m_mutex) -> tank::Result<LONG> {
        if (code != 0) {
            return tank::Fail(kInvalidArgument,
                              "status code " + std::to_string(code) + " is not known; 0 asks for the client's state");
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
