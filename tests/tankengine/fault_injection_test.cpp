// The disk fails, full or failing, once or for good, at each call in turn of a
// recording, a replaced block file or a sort set save: the storage keeps what
// it acknowledged, nothing it refused, and says why.
#include "tests/tankengine/faulty_file_system.h"
#include "tests/tankengine/storage_samples.h"

#include "tankengine/server/SortSets.h"
#include "tankengine/storage/tank_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace orvo::tank::test {
namespace {

using namespace std::chrono_literals;

constexpr int kErrors[] = {ENOSPC, EIO};
constexpr Afterwards kAfterwards[] = {Afterwards::kKeepFailing, Afterwards::kRecover};
constexpr std::uint64_t kRecords = 300;
// Uneven, so that a batch after a refused one does not land exactly over
// what the refused one may have left.
constexpr std::uint64_t kBatchSizes[] = {1, 9, 4, 16, 2, 12, 7};

struct Batch {
    std::uint64_t first;
    std::uint64_t count;
};

std::vector<Batch> Batches()
{
    std::vector<Batch> batches;
    for (std::uint64_t first = 0; first < kRecords; first += batches.back().count) {
        const std::uint64_t size = kBatchSizes[batches.size() % std::size(kBatchSizes)];
        batches.push_back({first, std::min(size, kRecords - first)});
    }
    return batches;
}

struct Plan {
    Call kind;
    std::uint64_t nth;
    int error;
    Afterwards afterwards;
};

using CallCounts = std::array<std::uint64_t, kCalls.size()>;

CallCounts CountCalls(const FaultyFileSystem& disk)
{
    CallCounts counts{};
    for (Call kind : kCalls) {
        counts[static_cast<std::size_t>(kind)] = disk.Calls(kind);
    }
    return counts;
}

// Each call of a run fails in turn with each error; recovery alternates.
template <class Run>
void ForEveryFault(const CallCounts& counts, const Run& run)
{
    for (Call kind : kCalls) {
        for (std::uint64_t nth = 1; nth <= counts[static_cast<std::size_t>(kind)]; ++nth) {
            for (std::size_t e = 0; e < std::size(kErrors); ++e) {
                const Afterwards afterwards = kAfterwards[(nth + e) % std::size(kAfterwards)];
                SCOPED_TRACE(std::string(kCallNames[static_cast<std::size_t>(kind)]) + " call " + std::to_string(nth) +
                             " fails with " + std::strerror(kErrors[e]) +
                             (afterwards == Afterwards::kRecover ? ", once" : ", for good"));
                run(Plan{kind, nth, kErrors[e], afterwards});
                if (::testing::Test::HasFailure()) {
                    return;  // one case told is enough; the rest would repeat it
                }
            }
        }
    }
}

std::set<std::string> Names(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

struct Recorded {
    std::filesystem::path block;              // empty when no block was made
    std::vector<std::uint64_t> acknowledged;  // samples of the acknowledged batches, in order
    std::uint64_t batches = 0;
};

// Half the batches into a new block, then half after reopening; every third
// batch syncs on its own.
Recorded Record(const std::filesystem::path& tank, const FaultyFileSystem& disk, const std::optional<Plan>& plan)
{
    const std::string reason = plan ? std::strerror(plan->error) : "no refusal";
    const bool recovers = plan && plan->afterwards == Afterwards::kRecover;
    bool refusing = false;
    // Refusals are I/O errors naming the disk's; a failed sync or cut-back
    // refuses all until reopened; else only the faulted call fails.
    const auto check = [&](auto&& call) {
        const std::uint64_t faults = disk.Injected();
        const std::uint64_t breaking = disk.Failed(Call::kSync) + disk.Failed(Call::kTruncate);
        auto outcome = call();
        if (outcome) {
            EXPECT_FALSE(refusing) << "a writer that failed a sync or a cut-back went on";
        } else {
            EXPECT_EQ(outcome.kind(), ErrorKind::kIoError) << outcome.error();
            EXPECT_NE(outcome.error().find(reason), std::string::npos) << outcome.error();
        }
        if (recovers && !refusing) {
            EXPECT_EQ(outcome.ok(), disk.Injected() == faults) << (outcome ? "" : outcome.error());
        }
        refusing = refusing || disk.Failed(Call::kSync) + disk.Failed(Call::kTruncate) > breaking;
        return outcome;
    };

    Recorded r;
    const std::vector<Batch> batches = Batches();
    const std::size_t halves[] = {0, batches.size() / 2, batches.size()};
    for (std::size_t part = 0; part < 2; ++part) {
        refusing = false;
        Result<BlockWriter> writer = check([&] {
            return part == 0 ? BlockWriter::Create(tank, "Block", "notes", 1.5) : BlockWriter::OpenForAppend(r.block);
        });
        if (!writer) {
            break;
        }
        r.block = writer->Dir();
        for (std::size_t b = halves[part]; b < halves[part + 1]; ++b) {
            writer->SetSyncInterval(b % 3 == 0 ? 0ms : 1h);
            if (check([&] { return AppendSamples(*writer, batches[b].first, batches[b].count); })) {
                for (std::uint64_t i = 0; i < batches[b].count; ++i) {
                    r.acknowledged.push_back(batches[b].first + i);
                }
                ++r.batches;
            }
        }
        (void)check([&] { return writer->Close(2.5 + static_cast<double>(part)); });
    }
    return r;
}

// The block holds exactly its acknowledged records and takes more; a failed
// creation leaves none. Answers how many acknowledged records were lost.
std::uint64_t ExpectOnlyAcknowledged(const std::filesystem::path& tank, const Recorded& r)
{
    if (r.block.empty()) {
        EXPECT_EQ(Names(tank), std::set<std::string>{"tank.orvo"});
        return 0;
    }
    EXPECT_EQ(Names(tank), (std::set<std::string>{"Block", "tank.orvo"}));
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(r.block);
    if (!writer) {
        ADD_FAILURE() << writer.error();
        return r.acknowledged.size();
    }
    EXPECT_EQ(writer->RecordCount(), r.acknowledged.size()) << "a refused batch left records";
    EXPECT_TRUE(AppendSamples(*writer, kRecords, 1));
    EXPECT_TRUE(writer->Close(9));
    EXPECT_EQ(Names(r.block), (std::set<std::string>{"block.info", "block.lock", "events.dat", "events.hdr",
                                                     "events.idx", "notes.txt"}));

    Result<BlockReader> reader = BlockReader::Open(r.block);
    if (!reader) {
        ADD_FAILURE() << reader.error();
        return r.acknowledged.size();
    }
    std::uint64_t kept = 0;
    while (kept < std::min<std::uint64_t>(reader->RecordCount(), r.acknowledged.size()) &&
           SampleMismatch(*reader, kept, r.acknowledged[kept]).empty()) {
        ++kept;
    }
    EXPECT_EQ(reader->RecordCount(), r.acknowledged.size() + 1);
    EXPECT_EQ(SampleMismatch(*reader, r.acknowledged.size(), kRecords), "");
    return r.acknowledged.size() - kept;
}

// Also on a share, where a block is published by the portable rename and a
// refused folder sync is no failure.
TEST(FaultInjection, RecordingKeepsExactlyTheAcknowledgedBatches)
{
    for (const Disk kind : {Disk::kLocal, Disk::kShare}) {
        SCOPED_TRACE(kind == Disk::kShare ? "on a share" : "on a local disk");
        orvo::test::ScratchDir scratch;
        const std::filesystem::path tank = scratch.path() / "tank";
        ASSERT_TRUE(CreateTank(tank));
        std::uint64_t faults = 0;
        std::uint64_t batches = 0;
        std::uint64_t lost = 0;
        // Answers the calls that the recording made.
        const auto run = [&](const std::optional<Plan>& plan) {
            FaultyFileSystem disk(kind);
            if (plan) {
                disk.FailAt(plan->kind, plan->nth, plan->error, plan->afterwards);
            }
            const Recorded recorded = Record(tank, disk, plan);
            const CallCounts made = CountCalls(disk);
            disk.Heal();
            faults += disk.Injected();
            batches += recorded.batches;
            lost += ExpectOnlyAcknowledged(tank, recorded);
            if (!recorded.block.empty()) {
                std::filesystem::remove_all(recorded.block);
            }
            return made;
        };

        const CallCounts counts = run(std::nullopt);
        ASSERT_EQ(batches, Batches().size());
        ASSERT_FALSE(HasFailure());
        ForEveryFault(counts, run);

        std::cout << "fault injection: " << faults << " faults injected, " << batches << " batches acknowledged, "
                  << lost << " records lost" << std::endl;
        EXPECT_EQ(lost, 0u);
    }
}

// A refused batch whose cut-back fails too: the writer refuses every call;
// reopening keeps the acknowledged records and at most a whole prefix of it.
TEST(FaultInjection, FailedCutBackRefusesEveryCallUntilReopened)
{
    constexpr std::uint64_t kKept = 20;
    constexpr std::uint64_t kRefused = 8;
    FaultyFileSystem disk;
    SampleTank t(kKept);
    {
        Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
        ASSERT_TRUE(writer) << writer.error();
        // The frames' write follows the data words' single write.
        std::uint64_t framesWrite = 1;
        for (std::uint64_t i = kKept; i < kKept + kRefused && framesWrite == 1; ++i) {
            framesWrite += Sample(i).data.empty() ? 0 : 1;
        }
        disk.FailAt(Call::kWrite, framesWrite, EIO, Afterwards::kRecover);
        disk.FailAt(Call::kTruncate, 1, EIO, Afterwards::kKeepFailing);
        const Status refused = AppendSamples(*writer, kKept, kRefused);
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().find("reopen the block"), std::string::npos) << refused.error();
        EXPECT_EQ(refused.error().find("nothing stored"), std::string::npos) << refused.error();
        EXPECT_FALSE(AppendSamples(*writer, kKept, 1));
        EXPECT_FALSE(writer->Sync());
        EXPECT_FALSE(writer->Close(3));
    }

    disk.Heal();
    Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
    ASSERT_TRUE(writer) << writer.error();
    EXPECT_GE(writer->RecordCount(), kKept);
    EXPECT_LT(writer->RecordCount(), kKept + kRefused);
    ASSERT_TRUE(writer->Close(3));
    EXPECT_EQ(SampleCount(t.block), writer->RecordCount());
}

// A failed background sync refuses the next append, with its reason, and all
// after it; earlier batches stay.
TEST(FaultInjection, FailedBackgroundSyncRefusesTheNextAppend)
{
    constexpr std::uint64_t kKept = 3;
    FaultyFileSystem disk;
    SampleTank t(kKept);
    std::uint64_t acknowledged = kKept;
    {
        Result<BlockWriter> writer = BlockWriter::OpenForAppend(t.block);
        ASSERT_TRUE(writer) << writer.error();
        writer->SetSyncInterval(1ms);
        disk.FailAt(Call::kSync, 1, EIO, Afterwards::kRecover);
        // A recorder goes on appending until it hears of the failure.
        Status appended;
        for (int i = 0; i < 100000 && (appended = AppendSamples(*writer, acknowledged, 1)); ++i) {
            ++acknowledged;
            std::this_thread::sleep_for(100us);
        }
        ASSERT_FALSE(appended) << "no append heard of the failed sync";
        EXPECT_EQ(disk.Failed(Call::kSync), 1u);
        EXPECT_NE(appended.error().find(std::strerror(EIO)), std::string::npos) << appended.error();
        EXPECT_NE(appended.error().find("reopen the block"), std::string::npos) << appended.error();
        EXPECT_FALSE(writer->Close(3));
    }
    disk.Heal();
    EXPECT_EQ(SampleCount(t.block), acknowledged);
}

// The files below a folder by path, with their bytes.
std::map<std::string, std::vector<std::byte>> Contents(const std::filesystem::path& folder)
{
    std::map<std::string, std::vector<std::byte>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[std::filesystem::relative(entry.path(), folder).string()] = ReadBytes(entry.path());
        }
    }
    return files;
}

void Restore(const std::filesystem::path& folder, const std::map<std::string, std::vector<std::byte>>& files)
{
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::filesystem::remove_all(entry.path());
    }
    for (const auto& [name, bytes] : files) {
        std::filesystem::create_directories((folder / name).parent_path());
        WriteBytes(folder / name, bytes);
    }
}

// A change faulted at any call leaves the files as before or, once renamed,
// as after: never a mix or a temporary file.
void ExpectWholeOrNothing(const std::filesystem::path& folder, const std::function<Status()>& change)
{
    const auto before = Contents(folder);
    FaultyFileSystem disk;
    ASSERT_TRUE(change());
    const auto after = Contents(folder);
    ASSERT_NE(after, before);
    ForEveryFault(CountCalls(disk), [&](const Plan& plan) {
        Restore(folder, before);
        disk.FailAt(plan.kind, plan.nth, plan.error, plan.afterwards);
        const std::uint64_t faults = disk.Injected();
        const std::uint64_t renamed = disk.Calls(Call::kRename) - disk.Failed(Call::kRename);
        const Status changed = change();
        disk.Heal();
        EXPECT_EQ(changed.ok(), disk.Injected() == faults);
        if (!changed) {
            EXPECT_NE(changed.error().find(std::strerror(plan.error)), std::string::npos) << changed.error();
        }
        const bool replaced = disk.Calls(Call::kRename) - disk.Failed(Call::kRename) > renamed;
        const auto now = Contents(folder);
        EXPECT_TRUE(replaced ? now == after : now == before)
            << (replaced ? "replaced" : "refused") << " but the files differ";
    });
}

TEST(FaultInjection, ReplacedInfoNotesAndSortSetsStayWhole)
{
    FaultyFileSystem disk;
    SampleTank t(3);
    engine::SortSet first{Code("eSpk"), "Sorted", {}};
    first.channels[2].codes = {{0, 1}, {3, 2}};
    first.channels[2].memo = "memo";
    engine::SortSet second = first;
    second.channels[2].codes[5] = 3;
    const struct {
        const char* what;
        std::function<Status()> change;
    } cases[] = {
        {"notes", [&] { return ReplaceBlockNotes(t.block, "other notes"); }},
        {"block information", [&] { return WriteBlockInfo(t.block, BlockInfo{1, 1.5, 7.25}); }},
        {"the block's first sort set", [&] { return engine::StoreSortSet(t.block, first); }},
        {"a sort set replaced", [&] { return engine::StoreSortSet(t.block, second); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExpectWholeOrNothing(t.block, c.change);
    }
}

}  // namespace
}  // namespace orvo::tank::test
