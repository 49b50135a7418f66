#include "tools/orvo/store_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "tools/orvo/failure.h"
#include "tools/orvo/session.h"

namespace orvo::tool {

namespace {

constexpr int kChannelSlots = 65536;  // the header's channel is 16 bits

}  // namespace

const char* StoreSummary::Kind() const
{
    switch (type) {
    case kStreamType: return "stream";
    case kSnipType: return "snippet";
    case kScalarType: return "scalar";
    default: return "strobe";
    }
}

std::vector<LONG> StoreCodes(OrvoCI& client)
{
    LONG* codes = nullptr;
    const LONG count = client.GetEventCodes(&codes, 0);
    if (count < 0) {
        throw Failure("cannot list the block's stores: " + ErrorLine(std::string(client.GetError())));
    }
    if (count == 0 || codes == nullptr) {
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

    // Per channel, the end of its last record; NaN for channels not seen.
    std::vector<double> ends(kChannelSlots, std::numeric_limits<double>::quiet_NaN());
    LONG* rows = nullptr;
    LONG count = client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly);
    while (count > 0) {
        for (LONG i = 0; i < count; ++i) {
            LONG* record = client.GetEvPtr(i, nullptr);
            if (record == nullptr) {
                throw Failure("the engine answered " + std::to_string(count) +
                              " events but handed over fewer");
            }
            const double channel = client.ParseEvHeaderInfo(record, kChannelItem);
            summary.lastTime = client.ParseEvHeaderInfo(record, kTimeItem);
            if (channel >= 0.0 && channel < kChannelSlots) {
                const double samples = summary.IsStream() && summary.rate > 0.0f
                                           ? static_cast<double>(OrvoCI::GetNpts(record)) / summary.rate
                                           : 0.0;
                ends[static_cast<std::size_t>(channel)] = summary.lastTime + samples;
            }
        }
        summary.events += static_cast<std::uint64_t>(count);
        count = client.GetEvents(&rows, kReadBatch, code, 0, 0, 0.0, 0.0, kHeadersOnly | kContinueRead);
    }
    if (count < 0) {
        throw Failure("reading store \"" + std::string(OrvoCI::CodeToString(code)) +
                      "\" failed: " + ErrorLine(std::string(client.GetError())));
    }
    summary.recordedEnd = std::numeric_limits<double>::infinity();
    for (int channel = 0; channel < kChannelSlots; ++channel) {
        const double end = ends[static_cast<std::size_t>(channel)];
        if (!std::isnan(end)) {
            summary.channels.push_back(channel);
            summary.recordedEnd = std::min(summary.recordedEnd, end);
        }
    }
    if (summary.channels.empty()) {
        summary.recordedEnd = summary.lastTime;
    }
    return summary;
}

}  // namespace orvo::tool
