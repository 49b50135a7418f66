#include "tools/orvo/npy_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

namespace {

// numpy pads the header so that the data starts on a 64-byte boundary.
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPreamble = 10;  // magic, version, header length

std::string Header(const Waves& waves)
{
    std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" +
                         std::to_string(waves.channels.size()) + ", " + std::to_string(waves.samples) +
                         "), }";
    const std::size_t used = kPreamble + header.size() + 1;  // + the closing newline
    header.append((kAlignment - used % kAlignment) % kAlignment, ' ');
    header += '\n';
    return header;
}

}  // namespace

void WriteNpy(const std::string& path, const Waves& waves)
{
    const std::string header = Header(waves);
    ReplacedFile output(path);
    std::FILE* file = output.stream();
    const char preamble[kPreamble] = {'\x93',
                                      'N',
                                      'U',
                                      'M',
                                      'P',
                                      'Y',
                                      1,
                                      0,
                                      static_cast<char>(header.size() & 0xFF),
                                      static_cast<char>(header.size() >> 8)};
    std::fwrite(preamble, 1, kPreamble, file);
    std::fwrite(header.data(), 1, header.size(), file);

    // Byte by byte, so the file is little-endian whatever the machine is.
    std::vector<char> bytes;
    bytes.reserve(waves.samples * sizeof(float));
    for (std::size_t row = 0; row < waves.channels.size() && !std::ferror(file); ++row) {
        bytes.clear();
        const float* values = waves.row(row);
        for (std::size_t i = 0; i < waves.samples; ++i) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &values[i], sizeof bits);
            for (int shift = 0; shift < 32; shift += 8) {
                bytes.push_back(static_cast<char>((bits >> shift) & 0xFF));
            }
        }
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    }
    output.Commit();
}

}  // namespace orvo::tool
