// Deterministic sample records for the storage tests: record i of a sample
// block is fully determined by i, so any reader can check what it sees.
#pragma once

#include "tankengine/storage/block_reader.h"
#include "protocol/StoreCode.h"
#include "tankengine/storage/block_writer.h"
#include "tests/fixtures/scratch.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::tank::test {

struct OwnedRecord {
    SQHead head{};
    std::vector<std::int32_t> data;
    Record view() const { return Record{head, data}; }
};

inline std::vector<Record> Views(const std::vector<OwnedRecord>& owned)
{
    std::vector<Record> records;
    for (const OwnedRecord& r : owned) {
        records.push_back(r.view());
    }
    return records;
}

// A store code from its four characters, the first in the lowest byte.
inline std::int32_t Code(std::string_view name) { return PackStoreCode(std::string(name).c_str()); }

// A scalar record when dataWords is 0, else a snippet carrying them.
OwnedRecord MakeRecord(std::int32_t code, double time, std::size_t dataWords, std::uint32_t seed);

// Sample record i: three stores, scalar and array records of varying length.
OwnedRecord Sample(std::uint64_t i);

Status AppendSamples(BlockWriter& writer, std::uint64_t first, std::uint64_t count);

// Empty when the record of the reader is the sample, bit for bit; else why not.
std::string SampleMismatch(const BlockReader& reader, std::uint64_t record, std::uint64_t sample);

// Every record of the reader is its sample; fails the test otherwise.
void ExpectSamples(const BlockReader& reader);

// How many records the block holds, after checking each is its sample; 0,
// and a failure, when the block cannot be read.
std::uint64_t SampleCount(const std::filesystem::path& block);

std::vector<std::byte> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::byte>& bytes);

// A tank in a scratch folder holding one block of `count` sample records,
// closed.
struct SampleTank {
    explicit SampleTank(std::uint64_t count);
    orvo::test::ScratchDir scratch;
    std::filesystem::path tank;
    std::filesystem::path block;
};

}  // namespace orvo::tank::test
