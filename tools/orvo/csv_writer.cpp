#include "tools/orvo/csv_writer.h"

#include <cmath>
#include <cstdio>

#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

// A failed write sets the stream's error, which Commit reports; the loops
// stop early on one only to save the time.

void WriteCsv(const std::string& path, const WaveStream& waves)
{
    ReplacedFile output(path);
    std::FILE* file = output.stream();
    std::fputs("time_s", file);
    for (const int channel : waves.shape.channels) {
        std::fprintf(file, ",ch%d", channel);
    }
    std::fputc('\n', file);
    waves.pieces([&](const Waves& piece, std::size_t firstSample) {
        for (std::size_t sample = 0; sample < piece.samples && !std::ferror(file); ++sample) {
            // The time from the index, not by adding periods, so it never drifts.
            std::fprintf(file, "%.9f",
                         waves.shape.start + static_cast<double>(firstSample + sample) / waves.shape.rate);
            for (std::size_t row = 0; row < piece.channels.size(); ++row) {
                std::fprintf(file, ",%.9g", static_cast<double>(piece.row(row)[sample]));
            }
            std::fputc('\n', file);
        }
    });
    output.Commit();
}

void WriteCsv(const std::string& path, const EventTable& table)
{
    ReplacedFile output(path);
    std::FILE* file = output.stream();
    const bool strobe = table.kind == EventTable::Kind::kStrobe;
    std::fputs("time_s", file);
    if (table.kind == EventTable::Kind::kSnippet) {
        for (std::size_t k = 1; k <= table.points; ++k) {
            std::fprintf(file, ",v%zu", k);
        }
    } else {
        std::fputs(",value", file);
    }
    std::fputs(strobe ? ",offset_s\n" : ",channel,sort_code\n", file);
    // Snippet samples were floats; other values doubles: each exactly.
    const char* valueFormat = table.kind == EventTable::Kind::kSnippet ? ",%.9g" : ",%.17g";
    for (std::size_t i = 0; i < table.size() && !std::ferror(file); ++i) {
        std::fprintf(file, "%.9f", table.times[i]);
        for (std::size_t k = 0; k < table.points; ++k) {
            std::fprintf(file, valueFormat, table.values[i * table.points + k]);
        }
        if (strobe) {
            std::fputc(',', file);
            if (!std::isnan(table.offsets[i])) {
                std::fprintf(file, "%.9f", table.offsets[i]);
            }
            std::fputc('\n', file);
        } else {
            std::fprintf(file, ",%d,%d\n", table.channels[i], table.sortCodes[i]);
        }
    }
    output.Commit();
}

}  // namespace orvo::tool
