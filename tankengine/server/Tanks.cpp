// Tanks: the registered list, making, checking and opening them.
#include "tankengine/server/TankEngine.h"

#include "protocol/Names.h"
#include "tankengine/server/TankList.h"
#include "tankengine/server/Text.h"
#include "tankengine/storage/posix_file.h"
#include "tankengine/storage/tank_folder.h"

#include <algorithm>
#include <cctype>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// OpenTank modes, as numbers or letters.
constexpr LONG kReadMode = 0;
constexpr LONG kWriteMode = 1;

std::optional<TankMode> ModeOf(LONG mode)
{
    switch (mode) {
    case kReadMode:
    case 'R':
    case 'r': return TankMode::Read;
    case kWriteMode:
    case 'W':
    case 'w': return TankMode::Write;
    default: return std::nullopt;
    }
}

std::string Upper(std::string text)
{
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

}  // namespace

tank::Result<std::filesystem::path> TankEngine::ExistingTankDir(std::string_view name)
{
    tank::Result<std::filesystem::path> dir = TankDir(name);
    if (dir && !tank::IsTank(*dir)) {
        return tank::Fail(kNotFound, dir->string() + " is not a tank");
    }
    return dir;
}

tank::Result<std::filesystem::path> TankEngine::TankDir(std::string_view name)
{
    if (name.empty()) {
        return tank::Fail(kInvalidArgument, "no tank named");
    }
    if (HoldsControl(name)) {
        return tank::Fail(kInvalidArgument, "a tank name or path holds no control characters");
    }
    if (std::optional<std::string> folder = RegisteredFolder(name)) {
        return std::filesystem::path(*folder + std::string(name)).lexically_normal();
    }
    std::error_code error;
    std::filesystem::path dir = std::filesystem::absolute(std::filesystem::path(name), error);
    if (error) {
        return tank::SystemFailure("cannot tell where tank \"" + std::string(name) + "\" lies", error);
    }
    return dir.lexically_normal();
}

tank::Status TankEngine::CloseClientTank(Client& client)
{
    tank::Status stopped;
    if (client.recording) {
        stopped = Stop(client);
    }
    client.position.reset();
    client.block.reset();
    client.tank.reset();
    return stopped;
}

LONG TankEngine::AddTank(BSTR name, BSTR path)
{
    return WithoutClient("AddTank", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        std::string folder = FromBstr(path);
        if (tankName.empty() || tankName == "." || tankName == ".." ||
            tankName.find('/') != std::string::npos || HoldsControl(tankName)) {
            return tank::Fail(kInvalidArgument, "\"" + tankName +
                                                    "\" cannot name a tank: it is empty, a dot name or holds a "
                                                    "slash or a control character");
        }
        std::error_code error;
        std::filesystem::path dir = std::filesystem::absolute(folder.empty() ? "." : folder, error);
        if (error) {
            return tank::SystemFailure("cannot tell where folder \"" + folder + "\" lies", error);
        }
        std::string stored = dir.lexically_normal().string();
        if (!stored.ends_with('/')) {
            stored += '/';
        }
        if (tank::Status registered = RegisterTank(tankName, stored); !registered) {
            return registered.failure();
        }
        return 1;
    });
}

LONG TankEngine::RemoveTank(BSTR name)
{
    return WithoutClient("RemoveTank", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        if (tank::Status removed = UnregisterTank(tankName); !removed) {
            return removed.failure();
        }
        return 1;
    });
}

LONG TankEngine::GetEnumTank(LONG index, BSTR* name)
{
    return WithoutClient("GetEnumTank", [&]() -> tank::Result<LONG> {
        tank::Result<std::string> found = RegisteredTankAt(index);
        if (!found) {
            return found.failure();
        }
        return DeliverAnswer(name, *found);
    });
}

LONG TankEngine::GetTankItem(BSTR tank, BSTR item, BSTR* text)
{
    return WithoutClient("GetTankItem", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(tank);
        std::string itemName = Upper(FromBstr(item));
        tank::Result<std::filesystem::path> dir = TankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        std::string answer;
        if (itemName == "PATH") {
            answer = dir->string();
        } else if (itemName == "REGISTERED") {
            answer.assign(1, RegisteredFolder(tankName) ? '1' : '0');
        } else if (itemName == "STATUS") {
            std::error_code error;
            answer = tank::IsTank(*dir) ? "tank" : std::filesystem::exists(*dir, error) ? "not a tank" : "missing";
        } else if (itemName == "BLOCKS") {
            tank::Result<std::vector<tank::BlockEntry>> blocks = tank::ListBlocks(*dir);
            if (!blocks) {
                return blocks.failure();
            }
            answer = std::to_string(blocks->size());
        } else {
            return tank::Fail(kInvalidArgument,
                              "item \"" + itemName + "\" is not known; ask for PATH, REGISTERED, STATUS or BLOCKS");
        }
        return DeliverAnswer(text, answer);
    });
}

LONG TankEngine::CheckTank(BSTR name)
{
    return WithoutClient("CheckTank", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        tank::Result<std::filesystem::path> dir = ExistingTankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        return 1;
    });
}

LONG TankEngine::ResetTank(BSTR name)
{
    return WithoutClient("ResetTank", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        tank::Result<std::filesystem::path> dir = ExistingTankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        // Readers are opened afresh: one that met a block its writer had cut
        // back cannot go on by itself.
        for (const std::shared_ptr<ClientSlot>& slot : AllClients()) {
            MutexLock lock(slot->mutex);
            Client& client = slot->client;
            if (client.tank && client.tank->dir == *dir && client.block) {
                tank::Result<tank::BlockReader> reader = tank::BlockReader::Open(client.block->reader.Dir());
                if (!reader) {
                    return reader.failure();
                }
                client.block->reader = std::move(*reader);
                client.position.reset();
            }
        }
        return 1;
    });
}

LONG TankEngine::InitializeTank(BSTR name)
{
    return WithoutClient("InitializeTank", [&]() -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        tank::Result<std::filesystem::path> dir = TankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        if (tank::Status made = tank::CreateTank(*dir); !made) {
            return made.failure();
        }
        return 1;
    });
}

LONG TankEngine::OpenTank(LONG clientId, BSTR name, LONG mode)
{
    return WithClient(clientId, "OpenTank", [&](Client& client) -> tank::Result<LONG> {
        std::string tankName = FromBstr(name);
        std::optional<TankMode> tankMode = ModeOf(mode);
        if (!tankMode) {
            return tank::Fail(kInvalidArgument,
                              "mode " + std::to_string(mode) + " is not known; 0 or 'R' reads, 1 or 'W' writes");
        }
        if (client.recording) {
            return tank::Fail(kInvalidArgument, "the client is recording block " + client.recording->writer.Name() +
                                                    "; stop it before opening another tank");
        }
        tank::Result<std::filesystem::path> dir = ExistingTankDir(tankName);
        if (!dir) {
            return dir.failure();
        }
        (void)CloseClientTank(client);
        client.tank = OpenTankState{tankName, *dir, *tankMode};
        return 1;
    });
}

LONG TankEngine::CloseTank(LONG clientId)
{
    return WithClient(clientId, "CloseTank", [&](Client& client) -> tank::Result<LONG> {
        if (tank::Status closed = CloseClientTank(client); !closed) {
            return closed.failure();
        }
        return 1;
    });
}

}  // namespace orvo::engine
