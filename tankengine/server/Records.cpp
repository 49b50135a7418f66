#include "tankengine/server/Records.h"

#include "protocol/Names.h"

#include <orvo/platform/safearray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// Option flags a stream record may carry.
constexpr std::int32_t kStreamFlags = 0x0030;
constexpr std::uint8_t kLastDataFormat = 5;

bool KnownType(std::int32_t type)
{
    return type == kStrobeOnType || type == kStrobeOffType || type == kScalarType || type == kSnipType ||
           (type & ~kStreamFlags) == kStreamType;
}

// Store codes are shown as text: characters that are no control
// characters, NULs only as padding at the end.
bool StoreCodeIsText(std::int32_t code)
{
    const auto bits = static_cast<std::uint32_t>(code);
    bool padding = false;
    for (int shift = 0; shift < 32; shift += 8) {
        const auto c = static_cast<char>((bits >> shift) & 0xFF);
        if (c == '\0') {
            padding = true;
        } else if (padding || IsControl(c)) {
            return false;
        }
    }
    return true;
}

// Why a record cannot be stored, or an empty text.
std::string Problem(const SQHead& head, std::uint32_t width)
{
    if (head.size < kHeaderWords) {
        return "size " + std::to_string(head.size) + " is below the header";
    }
    if (static_cast<std::uint32_t>(head.size) > width) {
        return "size " + std::to_string(head.size) + " is past the row width " + std::to_string(width);
    }
    if (!KnownType(head.type)) {
        return "type " + std::to_string(head.type) + " is no known event type";
    }
    if ((head.type & kArrayEventFlag) != 0 && head.dataFormat > kLastDataFormat) {
        return "data format " + std::to_string(head.dataFormat) + " is no known format";
    }
    if ((head.type & kArrayEventFlag) == 0 && head.size != kHeaderWords) {
        return "size " + std::to_string(head.size) + " of a scalar or strobe record is not 10";
    }
    if (head.code == 0) {
        return "store code 0 names no store";
    }
    if (!StoreCodeIsText(head.code)) {
        return "store code " + std::to_string(head.code) + " holds a control character";
    }
    if (!std::isfinite(head.timeStamp)) {
        return "time stamp is not a finite number";
    }
    // Times count from the block's start: an earlier one would be stored but
    // missed by every read of the whole block.
    if (head.timeStamp < 0) {
        return "time stamp " + std::to_string(head.timeStamp) + " is before the block's start";
    }
    return {};
}

}  // namespace

tank::Result<std::vector<tank::Record>> UnpackRecords(const VARIANT* records)
{
    if (records == nullptr || records->vt != (VT_ARRAY | VT_I4) || records->parray == nullptr) {
        return tank::Fail(kInvalidArgument, "the records are not an array of 32-bit words");
    }
    const SAFEARRAY* array = records->parray;
    if (array->cDims != 2 || array->cbElements != sizeof(std::int32_t)) {
        return tank::Fail(kInvalidArgument, "the records array has " + std::to_string(array->cDims) +
                                                " dimensions; rows of words need 2");
    }
    const std::uint32_t rows = array->rgsabound[0].cElements;
    const std::uint32_t width = array->rgsabound[1].cElements;
    if (rows == 0 || array->pvData == nullptr) {
        return tank::Fail(kInvalidArgument, "the records array holds no records");
    }
    if (width < static_cast<std::uint32_t>(kHeaderWords)) {
        return tank::Fail(kInvalidArgument, "rows of " + std::to_string(width) + " words cannot hold a record header");
    }
    if (rows > static_cast<std::uint32_t>(std::numeric_limits<LONG>::max())) {
        return tank::Fail(kInvalidArgument, "more than 2147483647 records in one call");
    }
    // The array exists, so its rows * width words are addressable.
    const auto* words = static_cast<const std::int32_t*>(array->pvData);
    std::vector<tank::Record> unpacked;
    unpacked.reserve(rows);
    for (std::uint32_t i = 0; i < rows; ++i) {
        const std::int32_t* row = words + static_cast<std::size_t>(i) * width;
        const SQHead head = ReadHeader(row);
        if (std::string problem = Problem(head, width); !problem.empty()) {
            return tank::Fail(kInvalidArgument, "record " + std::to_string(i) + ": " + problem + "; nothing stored");
        }
        unpacked.push_back({head, {row + kHeaderWords, static_cast<std::size_t>(head.size - kHeaderWords)}});
    }
    return unpacked;
}

double RecordDuration(const SQHead& head)
{
    if ((head.type & kArrayEventFlag) == 0 || !(head.sampleFreq > 0) || head.size <= kHeaderWords) {
        return 0;
    }
    const double words = static_cast<double>(head.size - kHeaderWords);
    double points = words;
    switch (head.dataFormat) {
    case 2: points = 2 * words; break;
    case 3: points = 4 * words; break;
    case 4:
    case 5: points = std::floor(words / 2); break;
    default: break;
    }
    return points / head.sampleFreq;
}

double LastSampleOffset(const SQHead& head)
{
    const double duration = RecordDuration(head);
    return duration > 0 ? std::max(0.0, duration - 1.0 / head.sampleFreq) : 0.0;
}

}  // namespace orvo::engine
