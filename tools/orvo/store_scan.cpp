#include "tools/orvo/store_scan.h"

#include <string>

#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

constexpr LONG kBatch = 1000;
constexpr LONG kHeadersOnly = 1024;
constexpr LONG kContinue = 1;
constexpr int kChannelSlots = 65536;  // the header's channel is 16 bits

}  // namespace

std::vector<LONG> StoreCodes(OrvoCI& client)
{
    LONG* codes = nullptr;
    const LONG count = client.GetEventCodes(&codes, 0);
    if (count < 1 || codes == nullptr) {
        return {};
    }
    // The pointer lives only until the next read: copy at once.
    return std::vector<LONG>(codes, codes + count);
}

StoreSummary ScanStore(OrvoCI& client, LONG code)
{
    StoreSummary summary;
    summary.code = code;
    double firstTime = 0.0;
    if (client.GetCodeSpecs(code, &summary.type, &summary.points, &firstTime, &summary.format,
                            &summary.rate) == 0) {
        throw Failure("the block has no events in store \"" + std::string(OrvoCI::CodeToString(code)) + "\"");
    }
    summary.lastTime = firstTime;

    std::vector<bool> seen(kChannelSlots, false);
    LONG* rows = nullptr;
    LONG count = client.GetEvents(&rows, kBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly);
    while (count > 0) {
        for (LONG i = 0; i < count; ++i) {
            LONG* record = client.GetEvPtr(i, nullptr);
            if (record == nullptr) {
                throw Failure("the engine answered " + std::to_string(count) +
                              " events but handed over fewer");
            }
            const double channel = client.ParseEvHeaderInfo(record, 4);
            if (channel >= 0.0 && channel < kChannelSlots) {
                seen[static_cast<std::size_t>(channel)] = true;
            }
            summary.lastTime = client.ParseEvHeaderInfo(record, 6);
        }
        summary.events += static_cast<std::uint64_t>(count);
        count = client.GetEvents(&rows, kBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly | kContinue);
    }
    for (int channel = 0; channel < kChannelSlots; ++channel) {
        if (seen[static_cast<std::size_t>(channel)]) {
            summary.channels.push_back(channel);
        }
    }
    return summary;
}

}  // namespace orvo::tool
