// SaveEvents hands the engine a client's array of record rows as it comes,
// later over the network: a bad row must refuse the call, never be stored or
// make the engine read outside the array.
#include <orvo/platform/safearray.h>
#include "fuzz/fuzz_support.h"
#include "tankengine/server/Records.h"
#include "tankengine/storage/frame.h"

#include <cmath>
#include <cstring>

namespace {

// Larger arrays only repeat what small ones show, at the cost of speed.
constexpr std::uint64_t kMostWords = std::uint64_t{1} << 16;

}  // namespace

// Two shape words, the row width and the row count, then the array's words;
// what the input lacks stays zero, as in a fresh array.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t shape[2] = {};
    if (size < sizeof shape) {
        return 0;
    }
    std::memcpy(shape, data, sizeof shape);
    const auto [width, rows] = shape;
    if (std::uint64_t{width} * rows > kMostWords) {
        return 0;
    }
    SAFEARRAYBOUND bounds[2] = {{width, 0}, {rows, 0}};
    Variant records;
    records->vt = VT_ARRAY | VT_I4;
    records->parray = SafeArrayCreate(VT_I4, 2, bounds);
    if (records->parray == nullptr) {
        return 0;
    }
    const std::size_t words = std::size_t{width} * rows;
    if (words > 0) {
        std::memcpy(records->parray->pvData, data + sizeof shape,
                    std::min(size - sizeof shape, words * sizeof(std::int32_t)));
    }

    const auto* first = static_cast<const std::int32_t*>(records->parray->pvData);
    if (auto unpacked = orvo::engine::UnpackRecords(records.get())) {
        FUZZ_CHECK(unpacked->size() == rows);
        for (const orvo::tank::Record& record : *unpacked) {
            FUZZ_CHECK(record.head.size >= kHeaderWords && static_cast<std::uint32_t>(record.head.size) <= width);
            FUZZ_CHECK(record.data.size() == static_cast<std::size_t>(record.head.size - kHeaderWords));
            FUZZ_CHECK(record.data.data() >= first && record.data.data() + record.data.size() <= first + words);
            // What the engine accepts, the storage must store.
            FUZZ_CHECK(orvo::tank::RecordHeaderProblem(record.head) == nullptr);
            const double duration = orvo::engine::RecordDuration(record.head);
            const double last = orvo::engine::LastSampleOffset(record.head);
            FUZZ_CHECK(duration >= 0 && last >= 0 && last <= duration);
        }
    }
    return 0;
}
