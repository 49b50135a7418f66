// Named sets of sort codes, kept in the folder of the block they classify:
// one file per set name and store (layout in docs/tank-storage.md,
// "Sort-set files"). Records are named by their number in the block, which
// appending never changes, so a set stays right while its block grows.
#pragma once

#include <orvo/protocol/SQHead.h>
#include "tankengine/storage/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo::engine {

// Memos and eigenvector matrices each; set names. Both keep a set file well
// within what is read back whole.
inline constexpr std::size_t kMaxConditionBytes = std::size_t{1} << 24;
inline constexpr std::size_t kMaxSortNameBytes = 100;

struct SortChannel {
    std::map<std::uint32_t, std::int16_t> codes;  // sort code by record number
    std::optional<std::string> memo;              // bytes as the sorter sent them
    std::optional<std::string> eigenvectors;      // n·n doubles
};

struct SortSet {
    std::int32_t code = 0;  // the store
    std::string name;       // empty for eigenvectors saved without a name
    std::map<std::uint16_t, SortChannel> channels;
};

// The block's set of that name for the store; nullopt when there is none.
tank::Result<std::optional<SortSet>> LoadSortSet(const std::filesystem::path& blockDir, std::string_view name,
                                                 std::int32_t code);
// Replaces the set's file crash-safely; a set without channels is removed.
tank::Status StoreSortSet(const std::filesystem::path& blockDir, const SortSet& set);
// The names of the block's sets for the store (all stores for code 0), each
// once, in byte order; the unnamed set is not listed.
tank::Result<std::vector<std::string>> SortSetNames(const std::filesystem::path& blockDir, std::int32_t code);

// The sets of one name whose codes a client's reads report. A set is read
// again only when its file changed, which one look per store and read finds.
class SortSetsInUse {
public:
    // An empty name uses none: reads report the stored codes.
    void Use(std::string name);
    void BeginRead(const std::filesystem::path& blockDir);
    // Gives head the code that the set of head's store has for the record.
    tank::Status Apply(std::uint64_t record, SQHead& head);

private:
    struct FileStamp {
        bool exists = false;
        std::uint64_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t modified = 0;  // ns
        bool operator==(const FileStamp&) const = default;
    };
    struct Cached {
        std::uint64_t checkedInRead = 0;
        FileStamp stamp;
        std::optional<SortSet> set;
    };

    std::string m_name;
    std::filesystem::path m_blockDir;
    std::uint64_t m_read = 0;
    std::map<std::int32_t, Cached> m_sets;  // by store, of m_blockDir
};

}  // namespace orvo::engine
