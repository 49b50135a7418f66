#include "tankengine/server/Answers.h"

#include <orvo/platform/safearray.h>

#include <algorithm>
#include <limits>
#include <string>

namespace orvo::engine {

using enum tank::ErrorKind;

tank::Result<LONG> DeliverCodes(VARIANT* out, const std::vector<std::int32_t>& codes)
{
    if (codes.empty()) {
        return 0;
    }
    if (codes.size() > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) {
        return tank::Fail(kInvalidArgument, std::to_string(codes.size()) + " codes are more than one answer can count");
    }
    SAFEARRAYBOUND bound{static_cast<ULONG>(codes.size()), 0};
    SAFEARRAY* array = SafeArrayCreate(VT_I4, 1, &bound);
    if (array == nullptr) {
        return tank::Fail(kOutOfMemory, "no memory for " + std::to_string(codes.size()) + " codes");
    }
    std::ranges::copy(codes, static_cast<std::int32_t*>(array->pvData));
    out->vt = VT_ARRAY | VT_I4;
    out->parray = array;
    return static_cast<LONG>(codes.size());
}

tank::Result<LONG> DeliverTable(VARIANT* out, const std::vector<double>& cells, std::size_t width)
{
    const std::size_t rows = cells.size() / width;
    if (rows == 0) {
        return 0;
    }
    if (rows > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) {
        return tank::Fail(kInvalidArgument, std::to_string(rows) + " rows are more than one answer can count");
    }
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(width), 0}, {static_cast<ULONG>(rows), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_R8, 2, bounds);
    if (array == nullptr) {
        return tank::Fail(kOutOfMemory,
                          "no memory for " + std::to_string(rows) + " rows of " + std::to_string(width) + " doubles");
    }
    std::ranges::copy(cells, static_cast<double*>(array->pvData));
    out->vt = VT_ARRAY | VT_R8;
    out->parray = array;
    return static_cast<LONG>(rows);
}

}  // namespace orvo::engine
