#include "tools/orvo/synthetic_signal.h"

#include <algorithm>
#include <cmath>

namespace orvo::tool {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kTones[] = {500.0, 1000.0, 2000.0, 4000.0, 8000.0};
constexpr int kToneCount = 5;
constexpr double kFirstOnset = 0.5;
constexpr double kTrialPeriod = 1.0;
constexpr double kToneLength = 0.4;

// Rhythms shared by all channels, each channel at its own phase.
constexpr double kRhythmHz[3] = {7.0, 11.0, 40.0};
constexpr double kRhythmVolts[3] = {35e-6, 15e-6, 6e-6};
constexpr double kNoiseVolts = 6e-6;
constexpr double kDriftKeep = 0.999;
constexpr double kDriftStep = 1.5e-6;
constexpr double kEvokedVolts = -45e-6;
constexpr double kEvokedPeak = 0.02;  // s after the onset
constexpr double kRefractory = 0.002;
constexpr double kMaxUnitRate = 60.0;  // Hz, above every unit's rate
constexpr int kSnipLead = 8;           // snippet points before the spike's start
constexpr int kShapePoints = 32;

std::vector<float> SpikeShape(double rate, double volts, double width)
{
    std::vector<float> shape(kShapePoints);
    for (int i = 0; i < kShapePoints; ++i) {
        const double t = i / rate;
        const double trough = std::exp(-std::pow((t - 0.35e-3) / (0.15e-3 * width), 2.0));
        const double rebound = 0.35 * std::exp(-std::pow((t - 0.8e-3) / (0.35e-3 * width), 2.0));
        shape[static_cast<std::size_t>(i)] = static_cast<float>(volts * (trough - rebound));
    }
    return shape;
}

int ToneIndex(double frequency)
{
    for (int i = 0; i < kToneCount; ++i) {
        if (kTones[i] == frequency) {
            return i;
        }
    }
    return -1;
}

}  // namespace

std::vector<Trial> StimulusTrials(double seconds)
{
    std::vector<Trial> trials;
    for (int k = 0; kFirstOnset + k * kTrialPeriod + kToneLength < seconds; ++k) {
        const double onset = kFirstOnset + k * kTrialPeriod;
        trials.push_back({onset, onset + kToneLength, kTones[k % kToneCount]});
    }
    return trials;
}

SyntheticSignal::SyntheticSignal(int channels, double rate, std::vector<Trial> trials, std::uint32_t seed)
    : m_channels(channels),
      m_rate(rate),
      m_trials(std::move(trials)),
      m_perChannel(static_cast<std::size_t>(channels)),
      m_random(seed)
{
    for (int c = 0; c < channels; ++c) {
        Channel& channel = m_perChannel[static_cast<std::size_t>(c)];
        channel.gain = 0.7 + 0.6 * m_uniform(m_random);
        for (int k = 0; k < 3; ++k) {
            const double phase = kTwoPi * m_uniform(m_random);
            channel.phaseCos[k] = std::cos(phase);
            channel.phaseSin[k] = std::sin(phase);
        }
        channel.units.push_back(
            {1, c % kToneCount, 3.0, SpikeShape(rate, -(70e-6 + 40e-6 * m_uniform(m_random)), 1.0), 0});
        channel.units.push_back(
            {2, -1, 6.0, SpikeShape(rate, -(40e-6 + 20e-6 * m_uniform(m_random)), 1.6), 0});
        for (Unit& unit : channel.units) {
            unit.nextCandidate = NextCandidate(0);
        }
    }
}

const Trial* SyntheticSignal::TrialAt(double time) const
{
    const auto after = std::upper_bound(m_trials.begin(), m_trials.end(), time,
                                        [](double t, const Trial& trial) { return t < trial.onset; });
    if (after == m_trials.begin()) {
        return nullptr;
    }
    return &*(after - 1);
}

double SyntheticSignal::Rate(const Unit& unit, double time) const
{
    const Trial* trial = TrialAt(time);
    if (trial == nullptr || time >= trial->offset) {
        return unit.baseRate;
    }
    if (unit.preferred < 0) {
        return unit.baseRate * 1.5;
    }
    const double distance = ToneIndex(trial->frequency) - unit.preferred;
    return unit.baseRate + 45.0 * std::exp(-distance * distance);
}

// Candidates at the highest rate, thinned to each unit's rate of the moment.
std::int64_t SyntheticSignal::NextCandidate(std::int64_t after)
{
    const double gap = -std::log(1.0 - m_uniform(m_random)) / kMaxUnitRate;
    return after + static_cast<std::int64_t>((gap + kRefractory) * m_rate);
}

void SyntheticSignal::Next(std::size_t samples, std::vector<float>& interleaved, std::vector<Spike>& spikes)
{
    const auto channels = static_cast<std::size_t>(m_channels);
    interleaved.assign(samples * channels, 0.0f);
    const std::int64_t first = m_next;
    for (std::size_t j = 0; j < samples; ++j) {
        const double t = static_cast<double>(first + static_cast<std::int64_t>(j)) / m_rate;
        double baseSin[3];
        double baseCos[3];
        for (int k = 0; k < 3; ++k) {
            baseSin[k] = std::sin(kTwoPi * kRhythmHz[k] * t);
            baseCos[k] = std::cos(kTwoPi * kRhythmHz[k] * t);
        }
        const Trial* trial = TrialAt(t);
        const bool toneOn = trial != nullptr && t < trial->offset;
        const double sinceOnset = trial != nullptr ? (t - trial->onset) / kEvokedPeak : 1e9;
        const double evoked =
            sinceOnset < 20.0 ? kEvokedVolts * sinceOnset * std::exp(1.0 - sinceOnset) : 0.0;
        const double thetaSwell = 1.0 + 0.4 * std::sin(kTwoPi * 0.3 * t);
        for (std::size_t c = 0; c < channels; ++c) {
            Channel& channel = m_perChannel[c];
            channel.drift = kDriftKeep * channel.drift + kDriftStep * m_normal(m_random);
            double lfp = 0.0;
            for (int k = 0; k < 3; ++k) {
                const double wave = baseSin[k] * channel.phaseCos[k] + baseCos[k] * channel.phaseSin[k];
                const double strength = k == 0 ? thetaSwell : (k == 2 && toneOn ? 2.5 : 1.0);
                lfp += kRhythmVolts[k] * strength * wave;
            }
            interleaved[j * channels + c] = static_cast<float>(channel.gain * (lfp + evoked) + channel.drift +
                                                               kNoiseVolts * m_normal(m_random));
        }
    }

    const auto end = first + static_cast<std::int64_t>(samples);
    const std::size_t spikesBefore = spikes.size();
    for (std::size_t c = 0; c < channels; ++c) {
        for (Unit& unit : m_perChannel[c].units) {
            for (; unit.nextCandidate < end; unit.nextCandidate = NextCandidate(unit.nextCandidate)) {
                const std::int64_t start = unit.nextCandidate;
                const double time = static_cast<double>(start) / m_rate;
                // Spikes that would straddle a block edge are left out, so
                // every snippet is cut from samples already made.
                if (start - kSnipLead < first || start + kShapePoints > end ||
                    m_uniform(m_random) * kMaxUnitRate >= Rate(unit, time)) {
                    continue;
                }
                const auto offset = static_cast<std::size_t>(start - first);
                for (std::size_t i = 0; i < unit.shape.size(); ++i) {
                    interleaved[(offset + i) * channels + c] +=
                        static_cast<float>(m_perChannel[c].gain) * unit.shape[i];
                }
                spikes.push_back({start - kSnipLead, static_cast<int>(c) + 1, unit.sortCode});
            }
        }
    }
    std::sort(spikes.begin() + static_cast<std::ptrdiff_t>(spikesBefore), spikes.end(),
              [](const Spike& a, const Spike& b) {
                  return a.first != b.first ? a.first < b.first : a.channel < b.channel;
              });
    m_next = end;
}

}  // namespace orvo::tool
