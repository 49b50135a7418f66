#pragma once

// A valid time range of a block, in seconds.
struct TimeRange {
    double start;
    double end;
};
