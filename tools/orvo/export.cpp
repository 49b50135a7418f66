// export: a store into a CSV or .npy file: a stream's waveforms, or the
// events of any other store.
#include <cstdio>

#include "tools/orvo/commands.h"
#include "tools/orvo/csv_writer.h"
#include "tools/orvo/event_table.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/npy_writer.h"
#include "tools/orvo/progress.h"
#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

namespace {

// How much of a window is read at once: a minute of 16 channels at 24 kHz
// is 94 MB.
constexpr double kPieceSeconds = 30.0;

template <class Data>
void Write(const ExportOptions& options, const std::string& path, const Data& data)
{
    if (options.format == "csv") {
        WriteCsv(path, data);
    } else {
        WriteNpy(path, data);
    }
}

}  // namespace

void RunExport(const ExportOptions& options)
{
    if (options.format != "csv" && options.format != "npy") {
        throw Failure("--format is csv or npy, not \"" + options.format + "\"");
    }
    const std::string& store = options.window.request.store;
    const std::string path = options.output.empty() ? store + "." + options.format : options.output;
    CheckOutputFolder(path);
    WithStore(options.window, [&](Session& session, const WaveRequest& request, const StoreSummary& summary) {
        if (!summary.IsStream()) {
            const EventTable table = ReadEventTable(session, request, summary);
            Write(options, path, table);
            std::printf("Wrote %s: %s of %s\n", path.c_str(),
                        Counted(table.size(), std::string(summary.Kind()) + " event").c_str(), store.c_str());
            return;
        }
        Waves waves;
        {
            Progress progress("export " + request.store);
            const WaveStream stream =
                StreamWaves(session, request, summary, kPieceSeconds,
                            [&progress](std::size_t done, std::size_t total) { progress.Update(done, total); });
            Write(options, path, stream);
            waves = stream.shape;
        }
        NoteHowFarRead(waves, "export");
        std::printf("Wrote %s: %s x %s at %.4f Hz from %.6f s (%.3f s)\n", path.c_str(),
                    Counted(waves.channels.size(), "channel").c_str(), Counted(waves.samples, "sample").c_str(),
                    waves.rate, waves.start, waves.seconds());
    });
}

}  // namespace orvo::tool
