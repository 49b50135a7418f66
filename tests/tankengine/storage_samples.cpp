#include "tests/tankengine/storage_samples.h"

#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace orvo::tank::test {

OwnedRecord MakeRecord(std::int32_t code, double time, std::size_t dataWords, std::uint32_t seed)
{
    const bool array = dataWords > 0;
    OwnedRecord r{{static_cast<std::int32_t>(kHeaderWords + dataWords), array ? 0x8201 : 0x0201, code,
                   static_cast<std::uint16_t>(seed % 16 + 1), static_cast<std::int16_t>(-static_cast<int>(seed % 3)),
                   time, seed * 1.25, static_cast<std::uint8_t>(array ? 1 : 4), static_cast<std::uint8_t>(seed), 0, 0,
                   array ? 24414.0625f : 0.0f},
                  std::vector<std::int32_t>(dataWords)};
    for (std::size_t w = 0; w < dataWords; ++w) {
        r.data[w] = static_cast<std::int32_t>(seed * 2654435761u + w * 40503u);
    }
    return r;
}

OwnedRecord Sample(std::uint64_t i)
{
    static const std::int32_t codes[] = {Code("Wav1"), Code("Tick"), Code("eSpk")};
    std::int32_t code = codes[i % 3];
    std::size_t words = code == Code("Tick") ? 0 : 1 + i % 37;
    return MakeRecord(code, static_cast<double>(i) * 0.001, words, static_cast<std::uint32_t>(i));
}

Status AppendSamples(BlockWriter& writer, std::uint64_t first, std::uint64_t count)
{
    std::vector<OwnedRecord> owned;
    owned.reserve(count);
    for (std::uint64_t i = first; i < first + count; ++i) {
        owned.push_back(Sample(i));
    }
    return writer.Append(Views(owned));
}

std::string SampleMismatch(const BlockReader& reader, std::uint64_t record, std::uint64_t sample)
{
    OwnedRecord want = Sample(sample);
    Result<Frame> frame = reader.ReadFrame(record);
    if (!frame) {
        return frame.error();
    }
    if (std::memcmp(&frame->head, &want.head, sizeof(SQHead)) != 0) {
        return "header of record " + std::to_string(record) + " differs";
    }
    std::vector<std::int32_t> data(want.data.size() + 1, -1);
    Result<std::size_t> words = reader.ReadData(record, *frame, data);
    if (!words) {
        return words.error();
    }
    data.resize(*words);
    return data == want.data ? std::string() : "data of record " + std::to_string(record) + " differ";
}

void ExpectSamples(const BlockReader& reader)
{
    for (std::uint64_t i = 0; i < reader.RecordCount(); ++i) {
        ASSERT_EQ(SampleMismatch(reader, i, i), "");
    }
}

std::uint64_t SampleCount(const std::filesystem::path& block)
{
    Result<BlockReader> reader = BlockReader::Open(block);
    EXPECT_TRUE(reader) << reader.error();
    if (!reader) {
        return 0;
    }
    ExpectSamples(*reader);
    return reader->RecordCount();
}

std::vector<std::byte> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* first = reinterpret_cast<const std::byte*>(chars.data());
    return {first, first + chars.size()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::byte>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

SampleTank::SampleTank(std::uint64_t count) : tank(scratch.path() / "tank")
{
    EXPECT_TRUE(CreateTank(tank));
    Result<BlockWriter> writer = BlockWriter::Create(tank, "Block", "notes", 1.5);
    EXPECT_TRUE(writer) << writer.error();
    if (writer) {
        block = writer->Dir();
        EXPECT_TRUE(AppendSamples(*writer, 0, count));
        EXPECT_TRUE(writer->Close(2.5));
    }
}

}  // namespace orvo::tank::test
