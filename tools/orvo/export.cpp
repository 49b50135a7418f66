// export: a store's waveforms into a CSV or .npy file.
#include <cstdio>

#include "tools/orvo/commands.h"
#include "tools/orvo/csv_writer.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/npy_writer.h"

namespace orvo::tool {

void RunExport(const ExportOptions& options)
{
    if (options.format != "csv" && options.format != "npy") {
        throw Failure("--format is csv or npy, not \"" + options.format + "\"");
    }
    const std::string path =
        options.output.empty() ? options.window.request.store + "." + options.format : options.output;
    const Waves waves = ReadWindow(options.window, "export");
    if (options.format == "csv") {
        WriteCsv(path, waves);
    } else {
        WriteNpy(path, waves);
    }
    std::printf("Wrote %s: %zu channels x %zu samples at %.4f Hz from %.6f s (%.3f s)\n", path.c_str(),
                waves.channels.size(), waves.samples, waves.rate, waves.start, waves.seconds());
}

}  // namespace orvo::tool
