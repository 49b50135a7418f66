// check: reads every record of a tank's blocks, data included, so that each
// frame and each data checksum is verified; the tool's fsck.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/session.h"

namespace orvo::tool {

namespace {

// How the engine's block state names an index it does not use.
constexpr char kIndexNotUsed[] = "; index not used: ";

// Prints the block's verdict; false when it is damaged or cannot be read.
bool CheckBlock(Session& session, const std::string& block)
{
    OrvoCI& client = session.client();
    if (client.SelectBlock(block.c_str()) == 0) {
        std::printf("%s: unreadable: %s\n", Shown(block).c_str(), session.Reason().c_str());
        return false;
    }
    // All stores merged, the whole block: a read that meets damage fails and
    // names the record, where one that ends early would hide it.
    std::uint64_t records = 0;
    LONG* rows = nullptr;
    LONG count = client.GetEvents(&rows, kReadBatch, 0, 0, 0, 0.0, 0.0, 0);
    while (count > 0) {
        records += static_cast<std::uint64_t>(count);
        count = client.GetEvents(&rows, kReadBatch, 0, 0, 0, 0.0, 0.0, kContinueRead);
    }
    if (count < 0) {
        std::printf("%s: damaged after %s: %s\n", Shown(block).c_str(), Counted(records, "good record").c_str(),
                    session.Reason().c_str());
        return false;
    }
    // The read went through the block's index wherever it could, checking
    // each part it used against the frames; the engine tells what disagreed.
    CString state;
    client.GetBlockInfo(nullptr, nullptr, &state, nullptr, nullptr, nullptr);
    const std::string told(state.GetString());
    if (const std::size_t at = told.find(kIndexNotUsed); at != std::string::npos) {
        std::printf("%s: records ok (%s), but the index is not used: %s; recording into the block again rebuilds "
                    "it\n",
                    Shown(block).c_str(), Counted(records, "record").c_str(),
                    told.substr(at + std::strlen(kIndexNotUsed)).c_str());
        return false;
    }
    std::printf("%s: ok, %s\n", Shown(block).c_str(), Counted(records, "record").c_str());
    return true;
}

}  // namespace

void RunCheck(const std::string& tank, const std::string& block)
{
    Session session;
    session.OpenTank(tank, false);
    const std::vector<std::string> blocks = block.empty() ? BlockNames(session.client()) : std::vector{block};
    std::size_t damaged = 0;
    for (const std::string& name : blocks) {
        damaged += CheckBlock(session, name) ? 0 : 1;
    }
    if (damaged > 0) {
        throw Failure(std::to_string(damaged) + " of " + Counted(blocks.size(), "block") +
                      (damaged == 1 ? " is" : " are") + " damaged or unreadable");
    }
}

}  // namespace orvo::tool
