// Epocs: the time markers a block's strobe records make, as
// docs/tank-engine.md ("Epocs") describes them, and the client's epoc index
// that keeps them between calls.
#pragma once

#include <orvo/platform/variant.h>
#include "tankengine/storage/block_reader.h"
#include "tankengine/storage/result.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace orvo::engine {

struct Epoc {
    double value;
    double onset;
    double offset;  // 0.0: missing
};

// One store's epocs in onset order.
using EpocTable = std::vector<Epoc>;

// Stores whose first record is a Strobe+ record, in the order they appeared.
std::vector<std::int32_t> EpocStores(const tank::BlockReader& reader);

// Where an epoc ends: its offset when it has one and offsets count, else the
// next onset of its store, else the block's end.
double EpocEnd(const EpocTable& table, std::size_t i, bool respectOffset, double blockEnd);

// The epoc in force at a time: the last onset at or before it, which with
// respectOffset must also not have reached its offset. Past the end: none.
std::size_t EpocAt(const EpocTable& table, double time, bool respectOffset);

// What CreateEpocIndexing and IndexEvent ask to keep, and what is kept: the
// tables of a block as it was at `records` records, derived at `derived`.
struct EpocIndex {
    bool everyStore = false;
    bool built = false;
    std::set<std::int32_t> stores;
    std::filesystem::path block;
    std::uint64_t records = 0;
    std::chrono::steady_clock::time_point derived;
    std::map<std::int32_t, EpocTable> tables;
};

// The epoc tables of some stores of a block: from the index when it keeps
// them and is current (or younger than cacheDelay seconds), else derived from
// the strobe records, which then refreshes the index.
tank::Result<std::map<std::int32_t, EpocTable>> EpocTables(EpocIndex& index, double cacheDelay,
                                                           const tank::BlockReader& reader,
                                                           const std::set<std::int32_t>& codes);


}  // namespace orvo::engine
