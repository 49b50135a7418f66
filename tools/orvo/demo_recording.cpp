#include "tools/orvo/demo_recording.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

constexpr LONG kFloatFormat = 0;
constexpr std::int64_t kRecordsPerBatch = 96;  // about one second
constexpr double kScalarPeriod = 2.0;
constexpr std::uint32_t kSeed = 20240501;

// One 10-word record (strobe or scalar), kept until its batch is built in
// time order.
struct Marker {
    double time = 0.0;
    double value = 0.0;
    enum Kind { Onset, Offset, Scalar } kind = Onset;
};

LONG FloatBits(float value)
{
    LONG bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

class BlockWriter {
public:
    BlockWriter(Session& session, RecordedBlock& block)
        : m_session(session), m_client(session.client()), m_block(block)
    {
    }

    void Streams(std::int64_t firstSample, const std::vector<float>& interleaved, std::int64_t records)
    {
        m_words.resize(interleaved.size());
        std::memcpy(m_words.data(), interleaved.data(), interleaved.size() * sizeof(float));
        m_client.SetBuildHead(kStreamStore, kFloatFormat, static_cast<float>(kDemoRate), kDemoRecordPoints);
        LONG pos = 0;
        for (std::int64_t k = 0; k < records; ++k) {
            const double time = static_cast<double>(firstSample + k * kDemoRecordPoints) / kDemoRate;
            pos = m_client.BuildStreamEvMC(pos, 1, kDemoChannels, time,
                                           m_words.data() + k * kDemoRecordPoints * kDemoChannels, 0);
            Check(pos, "stream");
        }
        Save(records * kDemoChannels, "stream");
        m_block.streamRecords += static_cast<std::uint64_t>(records * kDemoChannels);
    }

    void Snippets(std::int64_t firstSample, const std::vector<float>& interleaved,
                  const std::vector<Spike>& spikes)
    {
        if (spikes.empty()) {
            return;
        }
        m_client.SetBuildHead(kSnipStore, kFloatFormat, static_cast<float>(kDemoRate),
                              SyntheticSignal::kSnipPoints);
        // A float time, the data words, a sort code.
        std::vector<LONG> words(SyntheticSignal::kSnipPoints + 2);
        LONG pos = 0;
        for (const Spike& spike : spikes) {
            const double time = static_cast<double>(spike.first) / kDemoRate;
            words[0] = FloatBits(static_cast<float>(time));
            const auto offset = static_cast<std::size_t>(spike.first - firstSample);
            for (std::size_t i = 0; i < SyntheticSignal::kSnipPoints; ++i) {
                words[i + 1] = FloatBits(
                    interleaved[(offset + i) * kDemoChannels + static_cast<std::size_t>(spike.channel - 1)]);
            }
            words[SyntheticSignal::kSnipPoints + 1] = spike.sortCode;
            pos = m_client.BuildSnipEv(pos, spike.channel, time, words.data(), 1);
            Check(pos, "snippet");
        }
        Save(static_cast<LONG>(spikes.size()), "snippet");
        m_block.snippets += spikes.size();
    }

    void Markers(std::vector<Marker>& markers)
    {
        if (markers.empty()) {
            return;
        }
        std::stable_sort(markers.begin(), markers.end(),
                         [](const Marker& a, const Marker& b) { return a.time < b.time; });
        LONG pos = 0;
        for (const Marker& marker : markers) {
            switch (marker.kind) {
            case Marker::Onset:
                pos = m_client.BuildStrobeEv(pos, kEpocStore, marker.time, marker.value, nullptr);
                ++m_block.epocRecords;
                break;
            case Marker::Offset:
                // The offset names its epoc store as its second code.
                pos = m_client.BuildStrobeEv(pos, kEpocStore, marker.time, marker.value, kEpocStore);
                ++m_block.epocRecords;
                break;
            case Marker::Scalar:
                pos = m_client.BuildScalarEv(pos, kScalarStore, 1, marker.time, marker.value);
                ++m_block.scalars;
                break;
            }
            Check(pos, "marker");
        }
        Save(static_cast<LONG>(markers.size()), "marker");
        markers.clear();
    }

private:
    static void Check(LONG pos, const char* what)
    {
        if (pos < 0) {
            throw Failure(std::string("cannot build a ") + what + " record: out of memory");
        }
    }

    void Save(std::int64_t records, const char* what)
    {
        if (m_client.SaveEvents(nullptr, static_cast<LONG>(records)) < 1) {
            throw Failure(std::string("the engine did not store the ") + what +
                          " records: " + m_session.Reason());
        }
    }

    Session& m_session;
    OrvoCI& m_client;
    RecordedBlock& m_block;
    std::vector<LONG> m_words;
};

}  // namespace

RecordedBlock RecordDemoBlock(Session& session, double seconds, Progress& progress)
{
    OrvoCI& client = session.client();
    if (client.StartRecord("") == 0) {
        throw Failure("cannot start a recording: " + session.Reason());
    }
    RecordedBlock block;
    block.name = std::string(client.GetHotBlock());
    if (block.name.empty()) {
        throw Failure("the engine names no block being recorded: " + session.Reason());
    }
    const auto totalRecords =
        std::max<std::int64_t>(1, std::llround(seconds * kDemoRate / kDemoRecordPoints));
    block.seconds = static_cast<double>(totalRecords * kDemoRecordPoints) / kDemoRate;
    block.trials = StimulusTrials(block.seconds);

    SyntheticSignal signal(kDemoChannels, kDemoRate, block.trials, kSeed);
    BlockWriter writer(session, block);
    std::vector<float> interleaved;
    std::vector<Spike> spikes;
    std::vector<Marker> markers;
    std::size_t nextTrial = 0;
    bool offsetPending = false;
    double nextScalar = 1.0;
    for (std::int64_t done = 0; done < totalRecords;) {
        const std::int64_t records = std::min(kRecordsPerBatch, totalRecords - done);
        const std::int64_t firstSample = done * kDemoRecordPoints;
        spikes.clear();
        signal.Next(static_cast<std::size_t>(records * kDemoRecordPoints), interleaved, spikes);
        writer.Streams(firstSample, interleaved, records);
        writer.Snippets(firstSample, interleaved, spikes);

        done += records;
        const double batchEnd = done == totalRecords
                                    ? block.seconds + 1.0
                                    : static_cast<double>(done * kDemoRecordPoints) / kDemoRate;
        while (nextTrial < block.trials.size()) {
            const Trial& trial = block.trials[nextTrial];
            if (!offsetPending && trial.onset < batchEnd) {
                markers.push_back({trial.onset, trial.frequency, Marker::Onset});
                offsetPending = true;
            } else if (offsetPending && trial.offset < batchEnd) {
                markers.push_back({trial.offset, trial.frequency, Marker::Offset});
                offsetPending = false;
                ++nextTrial;
            } else {
                break;
            }
        }
        for (; nextScalar < std::min(batchEnd, block.seconds); nextScalar += kScalarPeriod) {
            markers.push_back({nextScalar, 37.0 + 0.2 * std::sin(nextScalar / 5.0), Marker::Scalar});
        }
        writer.Markers(markers);
        progress.Update(static_cast<std::size_t>(done), static_cast<std::size_t>(totalRecords));
    }
    client.StopRecord();
    return block;
}

}  // namespace orvo::tool
