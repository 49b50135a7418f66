#include "tools/orvo/wave_read.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <orvo/platform/safearray.h>
#include <orvo/platform/variant.h>
#include "protocol/FilterGrammar.h"
#include "tools/orvo/channel_list.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/progress.h"

namespace orvo::tool {

namespace {

constexpr LONG kChannelSetting = 2;
constexpr LONG kT1Setting = 4;
constexpr LONG kT2Setting = 5;
constexpr LONG kMemLimitSetting = 13;
constexpr double kDefaultMemLimit = 33554432.0;
constexpr double kFallbackRate = 100.0;  // the library's grid rate for stores without one

// Whether a writer is still recording the selected block: the engine names
// the block's state in the third text of its information.
bool StillRecording(OrvoCI& client)
{
    CString state;
    return client.GetBlockInfo(nullptr, nullptr, &state, nullptr, nullptr, nullptr) != 0 && state == "recording";
}

// SetFilterWithDesc skips a description it cannot read without a word, and
// answers the sum of the engine's results; each description is checked
// first so a typing slip is reported as such, and every one must take.
void SetFilters(Session& session, const std::string& text)
{
    LONG count = 0;
    for (const CString& piece : FilterPieces(CString(text.c_str()))) {
        const std::string one(piece);
        if (one.find_first_not_of(' ') == std::string::npos) {
            continue;
        }
        LONG code = 0;
        LONG op = 0;
        double value1 = 0.0;
        double value2 = 0.0;
        if (OrvoCI::ParseFilterDesc(one.c_str(), &code, &op, &value1, &value2) == 0) {
            throw Failure("cannot read the filter \"" + one +
                          "\"; write it as STORE OPERATOR VALUE, such as \"Freq = 1000:2000\"");
        }
        ++count;
    }
    if (count == 0) {
        throw Failure("the filter \"" + text + "\" holds no description");
    }
    if (session.client().SetFilterWithDesc(text.c_str()) != count) {
        throw Failure("the engine refused the filter \"" + text + "\": " + session.Reason());
    }
}

}  // namespace

WaveRows TakeWaveRows(const VARIANT& answer)
{
    SAFEARRAY* array = answer.parray;
    LONG lastPoint = -1;
    LONG lastRow = -1;
    if (answer.vt != (VT_ARRAY | VT_R4) || array == nullptr || SafeArrayGetDim(array) != 2 ||
        SafeArrayGetUBound(array, 1, &lastPoint) != S_OK || SafeArrayGetUBound(array, 2, &lastRow) != S_OK ||
        lastRow < 0 || lastPoint < 0) {
        throw Failure("the library answered waveforms of an unexpected shape");
    }
    WaveRows rows;
    rows.rows = static_cast<std::size_t>(lastRow) + 1;
    rows.points = static_cast<std::size_t>(lastPoint) + 1;
    const SafeArrayData data(array);
    if (data.get() == nullptr) {
        throw Failure("cannot reach the waveform data the library answered");
    }
    // Both counts come from a descriptor whose data block was allocated for
    // their product, so the product cannot overflow here.
    const auto* first = static_cast<const float*>(data.get());
    rows.values.assign(first, first + rows.rows * rows.points);
    return rows;
}

void CheckWindow(double t1, double t2)
{
    if (!std::isfinite(t1) || !std::isfinite(t2) || t1 < 0.0 || t2 < 0.0) {
        throw Failure("--t1 and --t2 are seconds from the block's start, 0 or more");
    }
    if (t2 != 0.0 && t2 <= t1) {
        throw Failure("--t2 must lie after --t1 (or be 0 for the block's end)");
    }
}

Waves ReadWaves(Session& session, const WaveRequest& request, const StoreSummary& summary,
                const std::function<void(std::size_t, std::size_t)>& progress)
{
    CheckWindow(request.t1, request.t2);
    OrvoCI& client = session.client();
    const LONG code = summary.code;

    Waves waves;
    // Channel 0 stands for every channel in the read settings, so a store's
    // channel 0 cannot be asked for on its own.
    for (const int channel : summary.channels) {
        if (channel != 0) {
            waves.channels.push_back(channel);
        }
    }
    if (!request.channels.empty()) {
        for (const int channel : request.channels) {
            if (!std::binary_search(waves.channels.begin(), waves.channels.end(), channel)) {
                throw Failure("store \"" + request.store + "\" has no channel " + std::to_string(channel));
            }
        }
        waves.channels = request.channels;
    }
    if (waves.channels.empty()) {
        throw Failure("store \"" + request.store + "\" has no channel above 0 to read");
    }
    waves.rate = summary.rate > 0.0f ? static_cast<double>(summary.rate) : kFallbackRate;

    // Every channel is read up to the same end, where all of them were
    // recorded when the store was looked over; a block still growing is
    // read as it was then.
    const double end = request.t2 > 0.0 ? std::min(request.t2, summary.recordedEnd) : summary.recordedEnd;
    if (!(end > request.t1)) {
        throw Failure("the window starts at " + Seconds(request.t1) + ", after the store's end at " +
                      Seconds(summary.recordedEnd));
    }
    if (request.t2 > end) {
        std::printf("Note: --t2 %s lies past the end of \"%s\" at %s; the window ends there.\n",
                    Seconds(request.t2).c_str(), Shown(request.store).c_str(), Seconds(end).c_str());
    }
    waves.recording = StillRecording(client);

    // One channel's record must fit the read's memory limit, a 32-bit count
    // of bytes; twice the record leaves room for the per-range cache.
    const double span = end - request.t1;
    const double recordBytes = (span * waves.rate + 2.0) * sizeof(float) + 64.0;
    const double limit = std::max(kDefaultMemLimit, 2.0 * recordBytes);
    if (!(limit <= static_cast<double>(std::numeric_limits<LONG>::max()))) {
        const double longest = (std::numeric_limits<LONG>::max() / 2.0 - 64.0) / sizeof(float) / waves.rate;
        throw Failure("a window of " + Seconds(span) +
                      " is too long for one read; keep --t1 and --t2 at most " +
                      Seconds(std::floor(longest)) + " apart");
    }

    client.ResetGlobals();
    client.ResetFilters();
    if (!request.filter.empty()) {
        SetFilters(session, request.filter);
    }
    client.SetGlobal(kT1Setting, request.t1);
    client.SetGlobal(kT2Setting, end);
    client.SetGlobal(kMemLimitSetting, std::floor(limit));

    bool any = false;
    for (std::size_t i = 0; i < waves.channels.size(); ++i) {
        const int channel = waves.channels[i];
        const std::string what = "channel " + std::to_string(channel) + " of \"" + request.store + "\"";
        client.SetGlobal(kChannelSetting, channel);
        Variant answer;
        const LONG read = client.GetWaves(code, answer.out());
        // A read that fails, of the engine or of the library (memory, a
        // record it cannot parse: its own error block), stops the export:
        // nothing it could not read is ever written as a value.
        if (read < 1) {
            const std::string text(client.GetError());
            if (read < 0 || text.find("Local Error") != std::string::npos) {
                throw Failure("reading " + what + " failed: " + ErrorLine(text));
            }
        }
        if (read > 0) {
            // One channel was asked for: the first row is its own.
            const WaveRows row = TakeWaveRows(*answer);
            if (!any) {
                const std::vector<TimeRange>& ranges = client.ValidRanges();
                const double start = request.t1 > 0.0 || ranges.empty() ? request.t1 : ranges.front().start;
                waves.start = std::ceil(waves.rate * start) / waves.rate;
                // The grid may reach a point past the last sample recorded.
                const double recorded = std::floor((end - waves.start) * waves.rate + 0.5);
                waves.samples = std::min(row.points, static_cast<std::size_t>(std::max(recorded, 0.0)));
                // A channel without events in the window stays NaN: not a value.
                waves.values.assign(waves.channels.size() * waves.samples, std::numeric_limits<float>::quiet_NaN());
                any = true;
            } else if (row.points < waves.samples) {
                throw Failure(what + " came back with " + std::to_string(row.points) +
                              " samples, the others with " + std::to_string(waves.samples));
            }
            std::copy_n(row.values.begin(), waves.samples,
                        waves.values.begin() + static_cast<std::ptrdiff_t>(i * waves.samples));
        }
        if (progress) {
            progress(i + 1, waves.channels.size());
        }
    }
    if (!any) {
        throw Failure("store \"" + request.store + "\" has no data in the window" +
                      (request.filter.empty() ? "" : " and filter"));
    }
    return waves;
}

Waves ReadWavesShowingProgress(Session& session, const WaveRequest& request, const StoreSummary& summary,
                               const std::string& label)
{
    Waves waves;
    {
        Progress progress(label + " " + request.store);
        waves = ReadWaves(session, request, summary,
                          [&progress](std::size_t done, std::size_t total) { progress.Update(done, total); });
    }
    if (waves.recording) {
        std::printf("The block is still being recorded: read up to %.6f s, as far as every channel was recorded "
                    "when the %s began.\n",
                    waves.start + waves.seconds(), label.c_str());
    }
    return waves;
}

void WithStore(const WindowOptions& options,
               const std::function<void(Session&, const WaveRequest&, const StoreSummary&)>& use)
{
    WaveRequest request = options.request;
    if (!options.channels.empty()) {
        request.channels = ParseChannelList(options.channels);
    }
    CheckWindow(request.t1, request.t2);
    const LONG code = StoreCode(request.store);
    Session session;
    session.OpenTank(options.tank, false);
    session.SelectBlock(options.block);
    use(session, request, ScanStore(session.client(), code));
}

}  // namespace orvo::tool
