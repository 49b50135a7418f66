// Records the demo's block through the library's event building: a
// 16-channel stream, sorted spike snippets, the tone epocs and a few scalar
// readings, saved in batches of about a second as a live recording would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/orvo/progress.h"
#include "tools/orvo/session.h"
#include "tools/orvo/synthetic_signal.h"

namespace orvo::tool {

inline constexpr char kStreamStore[] = "Wav1";
inline constexpr char kSnipStore[] = "Snip";
inline constexpr char kEpocStore[] = "Freq";
inline constexpr char kScalarStore[] = "Temp";
inline constexpr int kDemoChannels = 16;
inline constexpr double kDemoRate = 24414.0625;
inline constexpr int kDemoRecordPoints = 256;

struct RecordedBlock {
    std::string name;
    double seconds = 0.0;
    std::uint64_t streamRecords = 0;
    std::uint64_t snippets = 0;
    std::uint64_t epocRecords = 0;
    std::uint64_t scalars = 0;
    std::vector<Trial> trials;
};

// Records into the tank the session has open for writing, then stops.
RecordedBlock RecordDemoBlock(Session& session, double seconds, Progress& progress);

}  // namespace orvo::tool
