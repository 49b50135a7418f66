#include "tools/orvo/csv_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/orvo/failure.h"

namespace orvo::tool {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

[[noreturn]] void WriteFailed(const std::string& path)
{
    throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace

void WriteCsv(const std::string& path, const Waves& waves)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "w"));
    if (!file) {
        WriteFailed(path);
    }
    std::fputs("time_s", file.get());
    for (const int channel : waves.channels) {
        std::fprintf(file.get(), ",ch%d", channel);
    }
    std::fputc('\n', file.get());
    for (std::size_t sample = 0; sample < waves.samples; ++sample) {
        // The time from the index, not by adding periods, so it never drifts.
        std::fprintf(file.get(), "%.9f", waves.start + static_cast<double>(sample) / waves.rate);
        for (std::size_t row = 0; row < waves.channels.size(); ++row) {
            std::fprintf(file.get(), ",%.9g", static_cast<double>(waves.row(row)[sample]));
        }
        if (std::fputc('\n', file.get()) == EOF) {
            WriteFailed(path);
        }
    }
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
        WriteFailed(path);
    }
    if (std::fclose(file.release()) != 0) {
        WriteFailed(path);
    }
}

}  // namespace orvo::tool
