#include "tools/orvo/csv_writer.h"

#include <cstdio>

#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

void WriteCsv(const std::string& path, const Waves& waves)
{
    ReplacedFile output(path);
    std::FILE* file = output.stream();
    std::fputs("time_s", file);
    for (const int channel : waves.channels) {
        std::fprintf(file, ",ch%d", channel);
    }
    std::fputc('\n', file);
    // A failed write sets the stream's error, which Commit reports; stopping
    // early only saves the time.
    for (std::size_t sample = 0; sample < waves.samples && !std::ferror(file); ++sample) {
        // The time from the index, not by adding periods, so it never drifts.
        std::fprintf(file, "%.9f", waves.start + static_cast<double>(sample) / waves.rate);
        for (std::size_t row = 0; row < waves.channels.size(); ++row) {
            std::fprintf(file, ",%.9g", static_cast<double>(waves.row(row)[sample]));
        }
        std::fputc('\n', file);
    }
    output.Commit();
}

}  // namespace orvo::tool
