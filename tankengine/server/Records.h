// What the engine accepts as event records from a client, and how long a
// record lasts.
#pragma once

#include <orvo/platform/variant.h>
#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/block_writer.h"
#include "tankengine/storage/result.h"

#include <vector>

namespace orvo::engine {

// The records of a SaveEvents array: rows of W words (W >= 10), each row one
// record in its first `size` words. Views into the array, valid while the
// caller's VARIANT is. One bad record refuses them all, with a text naming it.
tank::Result<std::vector<tank::Record>> UnpackRecords(const VARIANT* records);

// Seconds from the record's time stamp to the end of its samples: 0 for
// records without data or without a sampling rate.
double RecordDuration(const SQHead& head);
// Seconds from a record's start to its last sample; 0 for one without data.
double LastSampleOffset(const SQHead& head);

}  // namespace orvo::engine
