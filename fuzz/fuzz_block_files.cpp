// The files of a block on disk are untrusted: a torn write, a damaged disk or
// a hostile hand may have left any bytes. Reading must refuse or read back
// only whole records; recovery must leave a block that reads whole.
#include "fuzz/fuzz_support.h"
#include "tankengine/storage/block_files.h"
#include "tankengine/storage/block_reader.h"
#include "tankengine/storage/block_writer.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// The pieces of an input, in this order, joined by the marker.
constexpr std::string_view kMarker = "@@file@@";
constexpr const char* kFiles[] = {orvo::tank::kHeadersFileName, orvo::tank::kDataFileName,
                                  orvo::tank::kInfoFileName};
constexpr std::string_view kDefaultInfo = "orvo-block 1\nsequence 1\nstart 0\n";

// One folder per process, removed at exit: fresh folders would cost more than
// the parsing under test.
const fs::path& Scratch()
{
    // Never destroyed, so the exit handler still finds it.
    static const fs::path& dir = *[] {
        auto* made = new fs::path(fs::temp_directory_path() / ("orvo-fuzz-" + std::to_string(::getpid())));
        fs::create_directories(*made / "block");
        fs::create_directories(*made / "copy");
        std::atexit([] { std::error_code ignored; fs::remove_all(Scratch(), ignored); });
        return made;
    }();
    return dir;
}

// Every record the reader counts has its header; its data may fail their
// checksum, which the reader leaves to ReadData, except after recovery.
void ReadAll(const orvo::tank::BlockReader& reader, bool recovered)
{
    for (std::uint64_t record = 0; record < reader.RecordCount(); ++record) {
        auto head = reader.Header(record);
        auto frame = reader.ReadFrame(record);
        FUZZ_CHECK(head.ok() && frame.ok());
        std::vector<std::int32_t> words(static_cast<std::size_t>(head->size - kHeaderWords));
        auto read = reader.ReadData(record, words);
        FUZZ_CHECK(read.ok() ? *read == words.size() : !recovered);
        FUZZ_CHECK(reader.ReadData(record, *frame, words).ok() == read.ok());
    }
    std::uint64_t seen = 0;
    double time = -HUGE_VAL;
    orvo::tank::TimeOrderedCursor cursor(reader, -HUGE_VAL);
    for (auto entry = cursor.Next(); entry.ok() && *entry; entry = cursor.Next(), ++seen) {
        FUZZ_CHECK((*entry)->record < reader.RecordCount() && (*entry)->time >= time);
        time = (*entry)->time;
    }
    FUZZ_CHECK(seen == reader.RecordCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto pieces = orvo::fuzz::Pieces(orvo::fuzz::Bytes(data, size), kMarker);
    const fs::path block = Scratch() / "block";
    const fs::path copy = Scratch() / "copy";
    for (std::size_t i = 0; i < std::size(kFiles); ++i) {
        const std::string_view bytes = i < pieces.size() ? pieces[i] : i == 2 ? kDefaultInfo : "";
        orvo::fuzz::WriteWholeFile(block / kFiles[i], bytes);
    }

    std::uint64_t readable = UINT64_MAX;
    bool damaged = false;
    if (auto reader = orvo::tank::BlockReader::Open(block)) {
        ReadAll(*reader, false);
        readable = reader->RecordCount();
        damaged = reader->Damage().has_value();
    }

    // Recovery works on a copy, so the reader's files stay as the input made them.
    for (const char* file : kFiles) {
        orvo::fuzz::WriteWholeFile(copy / file, orvo::fuzz::ReadWholeFile(block / file));
    }
    auto writer = orvo::tank::BlockWriter::OpenForAppend(copy);
    // What a reader calls damage, recovery must not cut as a torn tail.
    FUZZ_CHECK(!damaged || !writer.ok());
    if (writer) {
        // Recovery also checks the data, so it keeps no more than a reader sees.
        FUZZ_CHECK(readable == UINT64_MAX || writer->RecordCount() <= readable);
        const SQHead head{kHeaderWords, kScalarType, 0x41414141, 1, 0, 1.0, 2.0, 0, 0, 0, 0, 0.0f};
        const orvo::tank::Record record{head, {}};
        FUZZ_CHECK(writer->Append({&record, 1}).ok());
        auto reader = orvo::tank::BlockReader::Open(copy);
        FUZZ_CHECK(reader.ok() && reader->RecordCount() == writer->RecordCount() && !reader->Damage());
        ReadAll(*reader, true);
    }
    return 0;
}
