// A made-up but plausible recording for the demo: per channel, background
// noise, slow drift, LFP-like rhythms with an evoked response to each tone,
// and two sorted units whose firing follows the tones' frequencies.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace orvo::tool {

struct Trial {
    double onset = 0.0;  // seconds
    double offset = 0.0;
    double frequency = 0.0;  // Hz of the tone
};

// A 0.4 s tone each second from 0.5 s on, stepping through five frequencies.
std::vector<Trial> StimulusTrials(double seconds);

struct Spike {
    std::int64_t first = 0;  // absolute sample of the snippet's first point
    int channel = 0;         // from 1
    int sortCode = 0;        // the unit, from 1
};

class SyntheticSignal {
public:
    static constexpr int kSnipPoints = 30;

    SyntheticSignal(int channels, double rate, std::vector<Trial> trials, std::uint32_t seed);

    // The next `samples` samples of every channel, interleaved (sample j of
    // channel c at j * channels + c), in volts; spikes whose snippets lie
    // wholly inside are appended in time order.
    void Next(std::size_t samples, std::vector<float>& interleaved, std::vector<Spike>& spikes);

private:
    struct Unit {
        int sortCode = 0;
        int preferred = -1;  // tone index it is tuned to; -1 untuned
        double baseRate = 0.0;
        std::vector<float> shape;
        std::int64_t nextCandidate = 0;
    };
    struct Channel {
        double drift = 0.0;
        double gain = 1.0;
        double phaseCos[3] = {};
        double phaseSin[3] = {};
        std::vector<Unit> units;
    };

    double Rate(const Unit& unit, double time) const;
    const Trial* TrialAt(double time) const;
    std::int64_t NextCandidate(std::int64_t after);

    int m_channels;
    double m_rate;
    std::vector<Trial> m_trials;
    std::vector<Channel> m_perChannel;
    std::mt19937 m_random;
    std::normal_distribution<double> m_normal{0.0, 1.0};
    std::uniform_real_distribution<double> m_uniform{0.0, 1.0};
    std::int64_t m_next = 0;
};

}  // namespace orvo::tool
