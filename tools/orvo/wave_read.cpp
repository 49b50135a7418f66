#include "tools/orvo/wave_read.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include <orvo/platform/safearray.h>
#include <orvo/platform/variant.h>
#include "protocol/FilterGrammar.h"
#include "tools/orvo/channel_list.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/progress.h"

namespace orvo::tool {

namespace {

constexpr LONG kChannelSetting = 2;
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
    CString unreadable;
    const std::vector<LONG> codes = FilterStoreCodes(CString(text.c_str()), &unreadable);
    if (!unreadable.IsEmpty()) {
        throw Failure("cannot read the filter \"" + std::string(unreadable) +
                      "\"; write it as STORE OPERATOR VALUE, such as \"Freq = 1000:2000\"");
    }
    if (codes.empty()) {
        throw Failure("the filter \"" + text + "\" holds no description");
    }
    if (session.client().SetFilterWithDesc(text.c_str()) != static_cast<LONG>(codes.size())) {
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

namespace {

// A read's channels and rate, and where its window ends: every channel is
// read up to the same end, where all of them were recorded when the store
// was looked over; a block still growing is read as it was then.
struct ReadPlan {
    Waves shape;  // channels, rate and whether the block is still recorded
    double end = 0.0;
};

ReadPlan PlanRead(Session& session, const WaveRequest& request, const StoreSummary& summary)
{
    CheckWindow(request.t1, request.t2);
    ReadPlan plan;
    std::vector<int>& channels = plan.shape.channels;
    // Channel 0 stands for every channel in the read settings, so a store's
    // channel 0 cannot be asked for on its own.
    for (const int channel : summary.channels) {
        if (channel != 0) {
            channels.push_back(channel);
        }
    }
    if (!request.channels.empty()) {
        for (const int channel : request.channels) {
            if (!std::binary_search(channels.begin(), channels.end(), channel)) {
                throw Failure("store \"" + request.store + "\" has no channel " + std::to_string(channel));
            }
        }
        channels = request.channels;
    }
    if (channels.empty()) {
        throw Failure("store \"" + request.store + "\" has no channel above 0 to read");
    }
    plan.shape.rate = summary.rate > 0.0f ? static_cast<double>(summary.rate) : kFallbackRate;
    plan.end = request.t2 > 0.0 ? std::min(request.t2, summary.recordedEnd) : summary.recordedEnd;
    if (!(plan.end > request.t1)) {
        throw Failure("the window starts at " + Seconds(request.t1) + ", after the store's end at " +
                      Seconds(summary.recordedEnd));
    }
    if (request.t2 > plan.end) {
        std::printf("Note: --t2 %s lies past the end of \"%s\" at %s; the window ends there.\n",
                    Seconds(request.t2).c_str(), Shown(request.store).c_str(), Seconds(plan.end).c_str());
    }
    plan.shape.recording = StillRecording(session.client());
    session.client().ResetGlobals();
    session.client().ResetFilters();
    if (!request.filter.empty()) {
        SetFilters(session, request.filter);
    }
    return plan;
}

// Sets the library's window, with a memory limit that one channel's record
// of it fits, a 32-bit count of bytes; twice the record leaves room for the
// per-range cache.
void SetWindow(OrvoCI& client, double rate, double from, double to)
{
    const double span = to - from;
    const double recordBytes = (span * rate + 2.0) * sizeof(float) + 64.0;
    const double limit = std::max(kDefaultMemLimit, 2.0 * recordBytes);
    if (!(limit <= static_cast<double>(std::numeric_limits<LONG>::max()))) {
        const double longest = (std::numeric_limits<LONG>::max() / 2.0 - 64.0) / sizeof(float) / rate;
        throw Failure("a window of " + Seconds(span) + " is too long for one read; keep --t1 and --t2 at most " +
                      Seconds(std::floor(longest)) + " apart");
    }
    client.SetGlobal(kT1Setting, from);
    client.SetGlobal(kT2Setting, to);
    client.SetGlobal(kMemLimitSetting, std::floor(limit));
}

// One channel over the window set: its row, or none when it has no events
// there. A read that fails, of the engine or of the library (memory, a
// record it cannot parse: its own error block), throws: nothing it could not
// read is ever written as a value.
std::optional<WaveRows> ReadChannel(OrvoCI& client, const StoreSummary& summary, const std::string& store,
                                    int channel)
{
    client.SetGlobal(kChannelSetting, channel);
    Variant answer;
    const LONG read = client.GetWaves(summary.code, answer.out());
    if (read < 1) {
        const std::string text(client.GetError());
        if (read < 0 || text.find("Local Error") != std::string::npos) {
            throw Failure("reading channel " + std::to_string(channel) + " of \"" + store +
                          "\" failed: " + ErrorLine(text));
        }
        return std::nullopt;
    }
    // One channel was asked for: the first row is its own.
    return TakeWaveRows(*answer);
}

// The first grid point at or after a time, and the samples of a window on
// the grid, as the library places them.
double GridStart(double rate, double time) { return std::ceil(rate * time) / rate; }

std::size_t GridSamples(double rate, double start, double end)
{
    return static_cast<std::size_t>(std::max(std::floor((end - start) * rate + 0.5), 0.0));
}

Failure NoData(const WaveRequest& request)
{
    return Failure("store \"" + request.store + "\" has no data in the window" +
                   (request.filter.empty() ? "" : " and filter"));
}

// Every channel of shape over the window set, NaN where a channel has no
// events. The first channel with events sets how many samples there are:
// planned() of them, asked once that channel answered, or fewer where the
// recording ends sooner; every other channel must give as many. None when
// no channel has events. progress(done, total) after each channel.
std::optional<Waves> ReadGrid(OrvoCI& client, const WaveRequest& request, const StoreSummary& summary,
                              const Waves& shape, const std::function<std::size_t()>& planned,
                              const std::function<void(std::size_t, std::size_t)>& progress)
{
    std::optional<Waves> waves;
    for (std::size_t i = 0; i < shape.channels.size(); ++i) {
        const int channel = shape.channels[i];
        if (std::optional<WaveRows> row = ReadChannel(client, summary, request.store, channel)) {
            if (!waves) {
                waves = shape;
                waves->samples = std::min(row->points, planned());
                waves->values.assign(shape.channels.size() * waves->samples, std::numeric_limits<float>::quiet_NaN());
            } else if (row->points < waves->samples) {
                throw Failure("channel " + std::to_string(channel) + " of \"" + request.store + "\" came back with " +
                              std::to_string(row->points) + " samples, the others with " +
                              std::to_string(waves->samples));
            }
            std::copy_n(row->values.begin(), waves->samples,
                        waves->values.begin() + static_cast<std::ptrdiff_t>(i * waves->samples));
        }
        if (progress) {
            progress(i + 1, shape.channels.size());
        }
    }
    return waves;
}

}  // namespace

Waves ReadWaves(Session& session, const WaveRequest& request, const StoreSummary& summary,
                const std::function<void(std::size_t, std::size_t)>& progress)
{
    const ReadPlan plan = PlanRead(session, request, summary);
    OrvoCI& client = session.client();
    SetWindow(client, plan.shape.rate, request.t1, plan.end);
    double start = request.t1;
    // The window starts at the first valid range's start when it is the
    // whole block, which the first read tells.
    std::optional<Waves> waves = ReadGrid(
        client, request, summary, plan.shape,
        [&] {
            const std::vector<TimeRange>& ranges = client.ValidRanges();
            start = GridStart(plan.shape.rate, request.t1 > 0.0 || ranges.empty() ? request.t1 : ranges.front().start);
            return GridSamples(plan.shape.rate, start, plan.end);
        },
        progress);
    if (!waves) {
        throw NoData(request);
    }
    waves->start = start;
    return *waves;
}

WaveStream StreamWaves(Session& session, const WaveRequest& request, const StoreSummary& summary,
                       double pieceSeconds, const std::function<void(std::size_t, std::size_t)>& progress)
{
    // A filter's valid ranges may start anywhere: such a window is read whole.
    if (!request.filter.empty()) {
        auto whole = std::make_shared<const Waves>(ReadWaves(session, request, summary, progress));
        WaveStream stream{*whole, {}};
        stream.shape.values.clear();
        stream.pieces = [whole](const WaveStream::Take& take) { take(*whole, 0); };
        return stream;
    }
    const ReadPlan plan = PlanRead(session, request, summary);
    OrvoCI& client = session.client();
    const double rate = plan.shape.rate;
    // Where the grid starts is what a read of the whole window would find:
    // with the window at the block's start, the first valid range's start,
    // which a read of one channel there tells.
    double start = GridStart(rate, request.t1);
    if (request.t1 == 0.0) {
        SetWindow(client, rate, 0.0, std::min(plan.end, pieceSeconds));
        for (const int channel : plan.shape.channels) {
            if (ReadChannel(client, summary, request.store, channel)) {
                const std::vector<TimeRange>& ranges = client.ValidRanges();
                start = GridStart(rate, ranges.empty() ? 0.0 : ranges.front().start);
                break;
            }
        }
    }
    const std::size_t planned = GridSamples(rate, start, plan.end);
    const auto perPiece = std::max<std::size_t>(1, static_cast<std::size_t>(pieceSeconds * rate));
    const std::size_t count = planned == 0 ? 0 : (planned - 1) / perPiece + 1;
    if (count == 0) {
        throw NoData(request);
    }
    // Piece k holds samples k * perPiece on; its window starts a quarter
    // sample before its first grid point, so that the library's grid starts
    // on that point. All but the last must come back whole.
    auto readPiece = [&session, request, summary, plan, start, planned, perPiece](std::size_t k) {
        const std::size_t first = k * perPiece;
        const std::size_t samples = std::min(perPiece, planned - first);
        const double rate = plan.shape.rate;
        SetWindow(session.client(), rate, std::max(start + (static_cast<double>(first) - 0.25) / rate, 0.0),
                  std::min(plan.end, start + static_cast<double>(first + samples) / rate));
        std::optional<Waves> piece = ReadGrid(session.client(), request, summary, plan.shape,
                                              [samples] { return samples; }, {});
        if (piece) {
            piece->start = start;
        }
        return piece;
    };
    // The last piece first: the window ends where its first channel does.
    auto last = std::make_shared<std::optional<Waves>>(readPiece(count - 1));
    WaveStream stream{plan.shape, {}};
    stream.shape.start = start;
    stream.shape.samples = (count - 1) * perPiece + (*last ? (*last)->samples : planned - (count - 1) * perPiece);
    stream.pieces = [readPiece, count, perPiece, last, progress, request, shape = stream.shape](
                        const WaveStream::Take& take) {
        bool any = last->has_value();
        // A piece without events is NaN, as the whole window's read has it.
        const auto empty = [&shape](std::size_t samples) {
            Waves piece = shape;
            piece.samples = samples;
            piece.values.assign(shape.channels.size() * samples, std::numeric_limits<float>::quiet_NaN());
            return piece;
        };
        for (std::size_t k = 0; k + 1 < count; ++k) {
            std::optional<Waves> piece = readPiece(k);
            if (piece && piece->samples < perPiece) {
                const double from = piece->start + static_cast<double>(k * perPiece) / piece->rate;
                throw Failure("\"" + request.store + "\" came back with " + std::to_string(piece->samples) +
                              " samples from " + Seconds(from) + " where " + std::to_string(perPiece) +
                              " were recorded");
            }
            any = any || piece.has_value();
            take(piece ? *piece : empty(perPiece), k * perPiece);
            if (progress) {
                progress(k + 1, count);
            }
        }
        if (!any) {
            throw NoData(request);
        }
        take(*last ? **last : empty(shape.samples - (count - 1) * perPiece), (count - 1) * perPiece);
        if (progress) {
            progress(count, count);
        }
    };
    return stream;
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
    NoteHowFarRead(waves, label);
    return waves;
}

void NoteHowFarRead(const Waves& waves, const std::string& label)
{
    if (waves.recording) {
        std::printf("The block is still being recorded: read up to %.6f s, as far as every channel was recorded "
                    "when the %s began.\n",
                    waves.start + waves.seconds(), label.c_str());
    }
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
