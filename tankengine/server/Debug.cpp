// Debugging aids: per-tank traces of client operations and state reports.
#include "tankengine/server/TankEngine.h"

#include "tankengine/server/Text.h"

namespace orvo::engine {
namespace {

// A trace keeps the latest operations only.
constexpr std::size_t kTraceLines = 200;

}  // namespace

void TankEngine::Trace(const std::filesystem::path& tank, LONG clientId, std::string_view operation,
                       const tank::Result<LONG>& result)
{
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

std::string TankEngine::Report(const std::filesystem::path& tank) const
{
    std::string text;
    if (!tank.empty()) {
        text = "tank " + tank.string() + ": debugging " + (m_traces.contains(tank) ? "on" : "off") + "\n";
    }
    for (std::size_t id = 1; id < m_clients.size(); ++id) {
        const std::optional<Client>& client = m_clients[id];
        if (!client || (!tank.empty() && (!client->tank || client->tank->dir != tank))) {
            continue;
        }
        text += "client " + std::to_string(id) + " (" + client->name + ")";
        if (client->tank) {
            text += ": tank " + client->tank->dir.string() +
                    (client->tank->mode == TankMode::Write ? " for writing" : " for reading");
        }
        if (client->block) {
            text += ", block " + client->block->name + " selected";
        }
        if (client->recording) {
            text += ", recording " + client->recording->writer.Name() + " (" +
                    std::to_string(client->recording->writer.RecordCount()) + " records)";
        }
        text += "\n";
    }
    if (auto trace = m_traces.find(tank); trace != m_traces.end()) {
        for (const std::string& line : trace->second) {
            text += line + "\n";
        }
    }
    return text;
}

LONG TankEngine::GetDebug(BSTR name, BSTR* text)
{
    return WithoutClient("GetDebug", [&]() REQUIRES(m_mutex) -> tank::Result<LONG> {
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
    return WithoutClient("EnabTankDebug", [&]() REQUIRES(m_mutex) -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        tank::Result<std::filesystem::path> dir = TankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        if (enable != 0) {
            m_traces.try_emplace(*dir);
        } else {
            m_traces.erase(*dir);
        }
        return 1;
    });
}

}  // namespace orvo::engine
