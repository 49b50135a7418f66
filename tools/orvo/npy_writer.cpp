#include "tools/orvo/npy_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/orvo/failure.h"
#include "tools/orvo/replaced_file.h"

namespace orvo::tool {

namespace {

// numpy pads the header so that the data starts on a 64-byte boundary.
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPreamble = 10;  // magic, version, header length

// Values go out byte by byte, so the file is little-endian whatever the
// machine is.
class LittleEndian {
public:
    template <class T>
    void Add(T value)
    {
        static_assert(sizeof(T) == 4 || sizeof(T) == 8);
        std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t> bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (std::size_t shift = 0; shift < 8 * sizeof bits; shift += 8) {
            m_bytes.push_back(static_cast<char>((bits >> shift) & 0xFF));
        }
    }
    // Hands what was added to file and starts afresh.
    void Flush(std::FILE* file)
    {
        std::fwrite(m_bytes.data(), 1, m_bytes.size(), file);
        m_bytes.clear();
    }

private:
    std::vector<char> m_bytes;
};

// Writes a .npy file of format 1.0: the preamble, the header naming descr and
// shape, then what body adds, flushed as it goes.
template <class Body>
void WriteNpyFile(const std::string& path, const std::string& descr, const std::string& shape, Body body)
{
    std::string header = "{'descr': " + descr + ", 'fortran_order': False, 'shape': " + shape + ", }";
    const std::size_t used = kPreamble + header.size() + 1;  // + the closing newline
    header.append((kAlignment - used % kAlignment) % kAlignment, ' ');
    header += '\n';

    ReplacedFile output(path);
    std::FILE* file = output.stream();
    const char preamble[kPreamble] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, static_cast<char>(header.size() & 0xFF),
                                      static_cast<char>(header.size() >> 8)};
    std::fwrite(preamble, 1, kPreamble, file);
    std::fwrite(header.data(), 1, header.size(), file);
    LittleEndian bytes;
    body(bytes, file);
    output.Commit();
}

}  // namespace

void WriteNpy(const std::string& path, const WaveStream& waves)
{
    const std::size_t channels = waves.shape.channels.size();
    const std::size_t samples = waves.shape.samples;
    const std::string shape = "(" + std::to_string(channels) + ", " + std::to_string(samples) + ")";
    WriteNpyFile(path, "'<f4'", shape, [&](LittleEndian& bytes, std::FILE* file) {
        // Rows lie channel after channel: each piece's part of a row goes to
        // its place, ahead of what the pieces after it fill in.
        const long dataStart = std::ftell(file);
        waves.pieces([&](const Waves& piece, std::size_t firstSample) {
            for (std::size_t row = 0; row < channels && !std::ferror(file); ++row) {
                const auto at = static_cast<std::uint64_t>(row * samples + firstSample) * sizeof(float);
                if (std::fseek(file, dataStart + static_cast<long>(at), SEEK_SET) != 0) {
                    throw Failure("cannot write " + path + ": it takes no seeking");
                }
                const float* values = piece.row(row);
                for (std::size_t i = 0; i < piece.samples; ++i) {
                    bytes.Add(values[i]);
                }
                bytes.Flush(file);
            }
        });
    });
}

void WriteNpy(const std::string& path, const EventTable& table)
{
    std::string descr;
    switch (table.kind) {
    case EventTable::Kind::kScalar:
        descr = "[('time_s', '<f8'), ('value', '<f8'), ('channel', '<i4'), ('sort_code', '<i4')]";
        break;
    case EventTable::Kind::kSnippet:
        descr = "[('time_s', '<f8'), ('values', '<f4', (" + std::to_string(table.points) +
                ",)), ('channel', '<i4'), ('sort_code', '<i4')]";
        break;
    case EventTable::Kind::kStrobe:
        descr = "[('time_s', '<f8'), ('value', '<f8'), ('offset_s', '<f8')]";
        break;
    }
    WriteNpyFile(path, descr, "(" + std::to_string(table.size()) + ",)", [&table](LittleEndian& bytes, std::FILE* file) {
        for (std::size_t i = 0; i < table.size() && !std::ferror(file); ++i) {
            bytes.Add(table.times[i]);
            for (std::size_t k = 0; k < table.points; ++k) {
                const double value = table.values[i * table.points + k];
                if (table.kind == EventTable::Kind::kSnippet) {
                    bytes.Add(static_cast<float>(value));
                } else {
                    bytes.Add(value);
                }
            }
            if (table.kind == EventTable::Kind::kStrobe) {
                bytes.Add(table.offsets[i]);
            } else {
                bytes.Add(static_cast<std::int32_t>(table.channels[i]));
                bytes.Add(static_cast<std::int32_t>(table.sortCodes[i]));
            }
            bytes.Flush(file);
        }
    });
}

}  // namespace orvo::tool
