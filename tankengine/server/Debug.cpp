// Debugging aids: per-tank traces of client operations and state reports.
#include "tankengine/server/TankEngine.h"

#include "tankengine/server/Text.h"

namespace orvo::engine {
namespace {

// A trace keeps the latest operations only.
constexpr std::size_t kTraceLines = 200;

// One line on the state of a client, or none when it uses another tank
// (any tank, for an empty path).
std::string DescribeClient(const ClientSlot& slot, const std::filesystem::path& tank) REQUIRES(slot.mutex)
{
    const Client& client = slot.client;
    if (slot.deleted || (!tank.empty() && (!client.tank || client.tank->dir != tank))) {
        return {};
    }
    std::string line = "client " + std::to_string(slot.id) + " (" + slot.name + ")";
    if (client.tank) {
        line += ": tank " + client.tank->dir.string() +
                (client.tank->mode == TankMode::Write ? " for writing" : " for reading");
    }
    if (client.block) {
        line += ", block " + client.block->name + " selected";
    }
    if (client.recording) {
        line += ", recording " + client.recording->writer.Name() + " (" +
                std::to_string(client.recording->writer.RecordCount()) + " records)";
    }
    return line + "\n";
}

}  // namespace

void TankEngine::Trace(const std::filesystem::path& tank, LONG clientId, std::string_view operation,
                       const tank::Result<LONG>& result)
{
    MutexLock lock(m_mutex);
    auto trace = tank.empty() ? m_traces.end() : m_traces.find(tank);
    if (trace == m_traces.end()) {
        return;
    }
    trace->second.push_back("client " + std::to_string(clientId) + " " + std::string(operation) + ": " +
                            (result ? std::to_string(*result) : "failed: " + result.error()));
    if (trace->second.size() > kTraceLines) {
        trace->second.pop_front();
    }
}

std::string TankEngine::Report(const std::filesystem::path& tank)
{
    std::string clients;
    for (const std::shared_ptr<ClientSlot>& slot : AllClients()) {
        // A report must not wait for a client's long read or sync.
        if (!slot->mutex.TryLock()) {
            clients += "client " + std::to_string(slot->id) + " (" + slot->name + "): busy\n";
            continue;
        }
        try {
            clients += DescribeClient(*slot, tank);
        } catch (...) {
            slot->mutex.Unlock();
            throw;
        }
        slot->mutex.Unlock();
    }
    MutexLock lock(m_mutex);
    std::string text;
    if (!tank.empty()) {
        text = "tank " + tank.string() + ": debugging " + (m_traces.contains(tank) ? "on" : "off") + "\n";
    }
    text += clients;
    if (auto trace = m_traces.find(tank); trace != m_traces.end()) {
        for (const std::string& line : trace->second) {
            text += line + "\n";
        }
    }
    return text;
}

LONG TankEngine::GetDebug(BSTR name, BSTR* text)
{
    return WithoutClient("GetDebug", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        std::filesystem::path dir;
        if (!tankName.empty()) {
            tank::Result<std::filesystem::path> found = TankDir(tankName);
            if (!found) {
                return found.failure();
            }
            dir = *found;
        }
        return DeliverAnswer(text, Report(dir));
    });
}

LONG TankEngine::EnabTankDebug(BSTR name, LONG enable)
{
    return WithoutClient("EnabTankDebug", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        tank::Result<std::filesystem::path> dir = TankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        MutexLock lock(m_mutex);
        if (enable != 0) {
            m_traces.try_emplace(*dir);
        } else {
            m_traces.erase(*dir);
        }
        return 1;
    });
}

}  // namespace orvo::engine
