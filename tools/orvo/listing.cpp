// tanks, blocks, stores and info: what the engine holds, as tables.
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/session.h"
#include "tools/orvo/store_scan.h"

namespace orvo::tool {

namespace {

// A bound on engine lists, so a misbehaving engine cannot loop us for ever.
constexpr LONG kMaxListed = 1000000;

std::string UtcText(double secondsSince1970)
{
    const auto whole = static_cast<std::time_t>(secondsSince1970);
    std::tm parts{};
    char text[40];
    if (gmtime_r(&whole, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        return "?";
    }
    return text;
}

struct BlockTimes {
    double start = 0.0;
    double stop = 0.0;
    std::string notes;
    std::string state;   // how the engine sees the block, in words for a person
    std::string damage;  // why the block is damaged, printable, or empty
};

// The engine's block states, as a person reads them.
std::string StateText(std::string_view state)
{
    if (state == "recording") {
        return "being recorded";
    }
    if (state == "interrupted") {
        return "never closed: its recorder stopped without closing it; it ends at its last record";
    }
    return state == "stopped" ? "closed" : Shown(state);
}

// The engine tells a damaged block in its state text: "<state>; damaged: <why>".
constexpr std::string_view kDamageMark = "; damaged: ";

BlockTimes ReadBlockTimes(Session& session)
{
    BlockTimes times;
    CString notes;
    CString state;
    if (session.client().GetBlockInfo(nullptr, nullptr, &state, &times.start, &times.stop, &notes) == 0) {
        throw Failure("cannot read the block's information: " + session.Reason());
    }
    times.notes = std::string(notes);
    const std::string stateText(state);
    const std::size_t mark = stateText.find(kDamageMark);
    if (mark != std::string::npos) {
        times.damage = Shown(stateText.substr(mark + kDamageMark.size()));
    }
    times.state = StateText(std::string_view(stateText).substr(0, mark));
    return times;
}

}  // namespace

void PrintStoreTable(OrvoCI& client)
{
    std::printf("  %-5s %-8s %7s %-7s %12s %9s %9s\n", "store", "type", "points", "format", "rate (Hz)",
                "events", "channels");
    for (const LONG code : StoreCodes(client)) {
        const StoreSummary store = ScanStore(client, code);
        // Strobe records carry a second store code where others keep the
        // channel, so their "channels" mean nothing.
        const bool strobe = (store.type & 0xFF00) == 0x0100;
        const std::string channels =
            store.channels.empty() || strobe ? "-"
            : store.channels.size() == 1
                ? std::to_string(store.channels.front())
                : std::to_string(store.channels.front()) + "-" + std::to_string(store.channels.back());
        std::printf(
            "  %-5s %-8s %7d %-7s %12.4f %9llu %9s\n", Shown(OrvoCI::CodeToString(code).GetString()).c_str(),
            static_cast<const char*>(OrvoCI::EvTypeToString(store.type)), store.points,
            static_cast<const char*>(OrvoCI::DFormToString(store.format)), static_cast<double>(store.rate),
            static_cast<unsigned long long>(store.events), channels.c_str());
    }
}

void RunTanks()
{
    Session session;
    LONG index = 0;
    for (; index < kMaxListed; ++index) {
        const std::string name(session.client().GetEnumTank(index));
        if (name.empty()) {
            // The local engine reads the tank list from the registry in this
            // thread, so a list cut short by the registry leaves its problem
            // here, where the end of the list leaves none.
            if (const std::string problem = RegLastStoreProblem(); !problem.empty()) {
                throw Failure("cannot list the tanks: " + problem);
            }
            break;
        }
        // The folder a name points to may have gone or been emptied since.
        OrvoCI& client = session.client();
        const std::string folder(client.GetTankItem(name.c_str(), "PATH"));
        const std::string status(client.GetTankItem(name.c_str(), "STATUS"));
        std::printf("%-16s %s  (%s)\n", Shown(name).c_str(), Shown(folder).c_str(),
                    status.empty() ? "cannot tell whether it is a tank" : Shown(status).c_str());
    }
    if (index == 0) {
        std::printf("No tanks are registered (orvo demo registers one).\n");
    }
}

void RunBlocks(const std::string& tank)
{
    Session session;
    session.OpenTank(tank, false);
    OrvoCI& client = session.client();
    const std::vector<std::string> names = BlockNames(client);
    for (const std::string& name : names) {
        // A block that cannot be read is listed with the reason, and the
        // listing goes on to the next.
        if (client.SelectBlock(name.c_str()) == 0) {
            std::printf("%-16s unreadable: %s\n", Shown(name).c_str(), session.Reason().c_str());
            continue;
        }
        const BlockTimes times = ReadBlockTimes(session);
        const std::string notClosed = times.state == "closed" ? "" : "  " + times.state;
        std::printf("%-16s %s  %10.3f s%s%s\n", Shown(name).c_str(), UtcText(times.start).c_str(),
                    times.stop - times.start, notClosed.c_str(),
                    times.damage.empty() ? "" : ("  damaged: " + times.damage).c_str());
    }
    if (names.empty()) {
        std::printf("Tank \"%s\" has no blocks.\n", Shown(tank).c_str());
    }
}

void RunStores(const std::string& tank, const std::string& block)
{
    Session session;
    session.OpenTank(tank, false);
    session.SelectBlock(block);
    PrintStoreTable(session.client());
}

void RunInfo(const std::string& tank, const std::string& block)
{
    Session session;
    session.OpenTank(tank, false);
    session.SelectBlock(block);
    const BlockTimes times = ReadBlockTimes(session);
    std::printf("Tank:     %s\nBlock:    %s\nState:    %s\n", Shown(tank).c_str(), Shown(block).c_str(),
                times.state.c_str());
    std::printf("Start:    %s\nStop:     %s\nLength:   %.3f s\n", UtcText(times.start).c_str(),
                UtcText(times.stop).c_str(), times.stop - times.start);
    // The notes carry the user's text before the marker, then the store
    // supplements, which the store table shows in readable form.
    const std::string user = times.notes.substr(0, times.notes.find("[USERNOTEDELIMITER]"));
    std::printf("Notes:    %s\n", user.empty() ? "(none)" : Shown(user).c_str());
    if (!times.damage.empty()) {
        std::printf("Damaged:  %s\n", times.damage.c_str());
    }
    std::printf("Stores:\n");
    PrintStoreTable(session.client());
}

}  // namespace orvo::tool
