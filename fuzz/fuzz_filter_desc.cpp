// Filter descriptions arrive from applications and, through the engine
// interface, from any client: the grammar has to take any bytes.
#include <orvo/OrvoCI.h>
#include "fuzz/fuzz_support.h"
#include "protocol/FilterGrammar.h"

#include <algorithm>
#include <string>

namespace {

constexpr LONG kOperators[] = {orvo::kFilterAbove,  orvo::kFilterBelow,  orvo::kFilterEqual,
                               orvo::kFilterAtLeast, orvo::kFilterInside, orvo::kFilterAtMost,
                               orvo::kFilterNotEqual, orvo::kFilterOutside};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const CString text(std::string(orvo::fuzz::Bytes(data, size)));
    for (const CString& piece : orvo::FilterPieces(text)) {
        // The engine applies each piece alone, so none may still hold a separator.
        FUZZ_CHECK(!piece.IsEmpty() && piece.Find(';') < 0);
        LONG code = 0, op = 0, extra1 = 0, extra2 = 0;
        double value1 = 0, value2 = 0;
        if (orvo::ParseFilterText(piece, &code, &op, &value1, &value2, &extra1, &extra2) == 1) {
            // The engine switches on the operator and knows only these.
            FUZZ_CHECK(std::find(std::begin(kOperators), std::end(kOperators), op) != std::end(kOperators));
        }
    }
    LONG code = 0, op = 0, extra1 = 0, extra2 = 0;
    double value1 = 0, value2 = 0;
    const int withExtras = OrvoCI::ParseFilterDescEx(text, &code, &op, &value1, &value2, &extra1, &extra2);
    // Whether a text parses cannot hang on whether the caller wants the extras.
    FUZZ_CHECK(OrvoCI::ParseFilterDescEx(text, &code, &op, &value1, &value2, nullptr, nullptr) == withExtras);
    return 0;
}
