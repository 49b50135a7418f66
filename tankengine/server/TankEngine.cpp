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

// The text of a failure that ended in an exception.
std::string CaughtFailure(std::string_view operation) noexcept
{
    try {
        return std::string(operation) + ": " + CaughtText();
    } catch (...) {
        return "out of memory";  // short enough to need no memory of its own
    }
}

}  // namespace

TankEngine::~TankEngine()
{
    // Blocks still recorded when the process lets the engine go get their
    // stop time, as a StopRecord would give them.
    for (const std::shared_ptr<ClientSlot>& slot : AllClients()) {
        MutexLock lock(slot->mutex);
        try {
            (void)CloseClientTank(slot->client);
        } catch (...) {
            // The block is left without a stop time, as after a crash, and
            // reads back whole.
        }
    }
}

std::shared_ptr<ClientSlot> TankEngine::Find(LONG clientId)
{
    if (clientId < 1 || clientId > kMaxClients) {
        return nullptr;
    }
    MutexLock lock(m_mutex);
    return m_clients[static_cast<std::size_t>(clientId)];
}

std::vector<std::shared_ptr<ClientSlot>> TankEngine::AllClients()
{
    MutexLock lock(m_mutex);
    std::vector<std::shared_ptr<ClientSlot>> all;
    for (const std::shared_ptr<ClientSlot>& slot : m_clients) {
        if (slot) {
            all.push_back(slot);
        }
    }
    return all;
}

void TankEngine::KeepFree(std::string text) noexcept
{
    try {
        MutexLock lock(m_mutex);
        m_freeErrors[std::this_thread::get_id()] = std::move(text);
    } catch (...) {
        // A thread's first free error needs memory for its entry; without it
        // the failed answer is all the caller gets.
    }
}

LONG TankEngine::RunWithClient(LONG clientId, std::string_view operation, LONG failed,
                               const ClientOperation& run) noexcept
{
    std::shared_ptr<ClientSlot> slot;
    try {
        slot = Find(clientId);
    } catch (...) {
        return failed;  // the engine lock could not be taken
    }
    const auto unknownClient = [&] {
        try {
            KeepFree(std::string(operation) + ": no client " + std::to_string(clientId));
        } catch (...) {
        }
        return failed;
    };
    if (!slot) {
        return unknownClient();
    }
    try {
        MutexLock lock(slot->mutex);
        if (slot->deleted) {
            return unknownClient();
        }
        Client& client = slot->client;
        try {
            // Closing forgets the tank, so its trace is looked up before as well.
            const std::filesystem::path before = client.tank ? client.tank->dir : std::filesystem::path();
            RunHook(operation);
            tank::Result<LONG> result = run(client);
            Trace(client.tank ? client.tank->dir : before, clientId, operation, result);
            if (!result) {
                client.error = std::string(operation) + ": " + result.error();
                return failed;
            }
            return *result;
        } catch (...) {
            client.error = CaughtFailure(operation);
            return failed;
        }
    } catch (...) {
        return failed;  // the client's lock could not be taken
    }
}

LONG TankEngine::RunWithoutClient(std::string_view operation, const FreeOperation& run) noexcept
{
    try {
        RunHook(operation);
        tank::Result<LONG> result = run();
        if (!result) {
            KeepFree(std::string(operation) + ": " + result.error());
            return kFailed;
        }
        return *result;
    } catch (...) {
        KeepFree(CaughtFailure(operation));
        return kFailed;
    }
}

LONG TankEngine::AddClient(BSTR name)
{
    return WithoutClient("AddClient", [&]() -> tank::Result<LONG> {
        std::string text = FromBstr(name);
        MutexLock lock(m_mutex);
        for (LONG id = 1; id <= kMaxClients; ++id) {
            if (!m_clients[static_cast<std::size_t>(id)]) {
                m_clients[static_cast<std::size_t>(id)] = std::make_shared<ClientSlot>(id, std::move(text));
                return id;
            }
        }
        return tank::Fail(kBusy, "all 999 client ids are taken");
    });
}

LONG TankEngine::DeleteClient(LONG clientId)
{
    return WithoutClient("DeleteClient", [&]() -> tank::Result<LONG> {
        std::shared_ptr<ClientSlot> slot;
        if (clientId >= 1 && clientId <= kMaxClients) {
            MutexLock lock(m_mutex);
            slot = std::move(m_clients[static_cast<std::size_t>(clientId)]);
        }
        if (!slot) {
            return tank::Fail(kNotFound, "no client " + std::to_string(clientId));
        }
        // Out of the table, so no new operation finds it; one that did waits
        // here and then finds it deleted.
        MutexLock lock(slot->mutex);
        slot->deleted = true;
        if (tank::Status closed = CloseClientTank(slot->client); !closed) {
            return tank::Fail(closed.kind(), "client " + std::to_string(clientId) + " deleted, but " + closed.error());
        }
        return 1;
    });
}

LONG TankEngine::GetError(LONG clientId, BSTR* text)
{
    const auto answer = [&](std::string* clientError) noexcept -> LONG {
        try {
            RunHook("GetError");
            return AnswerError(clientError, text);
        } catch (...) {
            std::string failure = CaughtFailure("GetError");
            if (clientError != nullptr) {
                *clientError = std::move(failure);
            } else {
                KeepFree(std::move(failure));
            }
            return 0;
        }
    };
    try {
        if (std::shared_ptr<ClientSlot> slot = Find(clientId)) {
            MutexLock lock(slot->mutex);
            return answer(slot->deleted ? nullptr : &slot->client.error);
        }
        return answer(nullptr);
    } catch (...) {
        return 0;  // a lock could not be taken
    }
}

LONG TankEngine::AnswerError(std::string* clientError, BSTR* text)
{
    MutexLock lock(m_mutex);
    std::string answer = clientError != nullptr ? *clientError : std::string();
    const auto free = m_freeErrors.find(std::this_thread::get_id());
    if (free != m_freeErrors.end()) {
        answer += (answer.empty() ? "" : "\n") + free->second;
    }
    if (answer.empty() || !Deliver(text, answer)) {
        return 0;
    }
    // Forgotten only once answered, so a failed answer loses nothing.
    if (clientError != nullptr) {
        clientError->clear();
    }
    if (free != m_freeErrors.end()) {
        m_freeErrors.erase(free);
    }
    return 1;
}

LONG TankEngine::GetStatus(LONG clientId, LONG code)
{
    return WithClient(clientId, "GetStatus", [&](Client& client) -> tank::Result<LONG> {
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
