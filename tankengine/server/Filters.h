// A client's filters: which epocs of which stores pass, and the settings
// that shape the valid time ranges made from them (docs/tank-engine.md,
// "Filters and valid time ranges").
#pragma once

#include <orvo/platform/types.h>
#include <orvo/protocol/TimeRange.h>
#include "tankengine/server/Epocs.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace orvo::engine {

struct ValueTest {
    LONG op;  // one of orvo::FilterOperator
    double value1;
    double value2;
};

// Every constraint on the epocs of one store.
struct StoreFilter {
    std::vector<ValueTest> tests;  // all must pass
    LONG first = 0;                // epoc numbers that may pass, from first
    LONG last = -1;                // to last; -1: to the store's last
    // Relative to each onset: where the epoc's range starts, and ends (0: at
    // the epoc's own end).
    double from = 0;
    double to = 0;
    bool respectOffset = true;
};

struct ClientFilters {
    std::map<std::int32_t, StoreFilter> stores;
    std::optional<std::int32_t> timeRef;  // ranges are cut at its onsets
    double tolerance = 0;
    double cacheDelay = 0;
    EpocIndex index;
};

// Whether a value passes a test; both sides compare at float precision, the
// precision of description texts.
bool Passes(const ValueTest& test, double value);

// The valid time ranges within [start, end] (end > start), in time order:
// per filtered store the union of the ranges of its passing epocs, widened by
// the tolerance; the stores' unions intersected; cut a tolerance before the
// time reference's onsets. Without filtered stores, the window itself. `tables` holds the
// epocs of every filtered store and of the time reference.
std::vector<TimeRange> RangesOf(const ClientFilters& filters, const std::map<std::int32_t, EpocTable>& tables,
                                double start, double end, double blockEnd);

// Which records a read passes, in time order: those starting in its window
// [start, end), where an end at or past the block's end reaches the end
// itself; while filters are set, narrowed to the records with a sample in a
// valid range, so that a record starting up to `lead` seconds (the longest record
// of the stores read) before a range still brings its samples inside it. A
// range reaching the block's end reaches the end likewise.
class ReadWindow {
public:
    ReadWindow(double start, double end, double blockEnd, double lead,
               std::optional<std::vector<TimeRange>> ranges);

    // The time itself when a record starting then may pass; else the next
    // time at which one may; none when nothing at or after it can. Times must
    // not decrease between calls.
    std::optional<double> Admit(double time);
    // Whether a record that Admit let through passes: whether its last
    // sample, lastSample seconds after its start, lies in the range.
    bool Overlaps(double time, double lastSample) const;

private:
    double m_start;
    double m_end;
    double m_lead;
    std::optional<std::vector<TimeRange>> m_ranges;
    std::size_t m_at = 0;
};

}  // namespace orvo::engine
