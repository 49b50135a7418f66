#include "tankengine/server/SortSets.h"

#include "tankengine/storage/frame.h"
#include "tankengine/storage/posix_file.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <set>
#include <span>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// Numbers are copied in host order, which is the files' little-endian order.
static_assert(std::endian::native == std::endian::little);

constexpr std::string_view kMagic = "OrvoSort";
constexpr std::uint32_t kVersion = 1;
constexpr const char* kSortFolder = "sort";
constexpr std::string_view kSuffix = ".set";
constexpr std::uint32_t kHasMemo = 1;
constexpr std::uint32_t kHasEigenvectors = 2;
// A set file is read whole; this bounds the memory that takes, at some 130
// million sort codes.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;
// A sort code takes 8 bytes in the file but several times that decoded, so
// the codes of a set are bounded as well, before any is decoded: some 16
// million, under a GiB of memory.
constexpr std::uint64_t kMaxSetCodes = std::uint64_t{1} << 24;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Store code and name, both as hex digits, so any name is a safe file name.
std::string FileName(std::int32_t code, std::string_view name)
{
    std::string file;
    const auto bits = static_cast<std::uint32_t>(code);
    for (int shift = 28; shift >= 0; shift -= 4) {
        file += kHexDigits[(bits >> shift) & 0xF];
    }
    file += '-';
    for (const char c : name) {
        file += kHexDigits[static_cast<unsigned char>(c) >> 4];
        file += kHexDigits[static_cast<unsigned char>(c) & 0xF];
    }
    return file + std::string(kSuffix);
}

std::optional<unsigned> HexValue(char c)
{
    const char* at = std::strchr(kHexDigits, c);
    return c != 0 && at != nullptr ? std::optional<unsigned>(static_cast<unsigned>(at - kHexDigits)) : std::nullopt;
}

// The store code and name a set file is named for; nullopt for other files,
// the temporary files of a replacement among them.
std::optional<std::pair<std::int32_t, std::string>> ParseFileName(std::string_view file)
{
    if (file.size() < 9 + kSuffix.size() || file[8] != '-' || !file.ends_with(kSuffix) ||
        (file.size() - 9 - kSuffix.size()) % 2 != 0) {
        return std::nullopt;
    }
    std::uint32_t code = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::optional<unsigned> digit = HexValue(file[i]);
        if (!digit) {
            return std::nullopt;
        }
        code = code << 4 | *digit;
    }
    std::string name;
    for (std::size_t i = 9; i + kSuffix.size() < file.size(); i += 2) {
        const std::optional<unsigned> high = HexValue(file[i]);
        const std::optional<unsigned> low = HexValue(file[i + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        name += static_cast<char>(*high << 4 | *low);
    }
    return std::pair(static_cast<std::int32_t>(code), std::move(name));
}

template <class T>
void Put(std::string& out, T value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

// Reads a set file front to back; every take is checked against what is
// left, so no count from the file reaches past it.
class Cursor {
public:
    explicit Cursor(std::string_view bytes) : m_rest(bytes) {}

    std::optional<std::string_view> Take(std::uint64_t n)
    {
        if (n > m_rest.size()) {
            return std::nullopt;
        }
        std::string_view taken = m_rest.substr(0, static_cast<std::size_t>(n));
        m_rest.remove_prefix(static_cast<std::size_t>(n));
        return taken;
    }

    template <class T>
    std::optional<T> Get()
    {
        std::optional<std::string_view> bytes = Take(sizeof(T));
        if (!bytes) {
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, bytes->data(), sizeof value);
        return value;
    }

    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

std::uint32_t Crc(std::string_view bytes) { return tank::DataCrc(std::as_bytes(std::span(bytes))); }

std::string Encode(const SortSet& set)
{
    std::string out(kMagic);
    Put(out, kVersion);
    Put(out, set.code);
    Put(out, static_cast<std::uint32_t>(set.name.size()));
    Put(out, static_cast<std::uint32_t>(set.channels.size()));
    out += set.name;
    for (const auto& [channel, section] : set.channels) {
        const std::string& eigenvectors = section.eigenvectors.value_or(std::string());
        Put(out, std::uint32_t{channel});
        Put(out, (section.memo ? kHasMemo : 0) | (section.eigenvectors ? kHasEigenvectors : 0));
        Put(out, static_cast<std::uint32_t>(section.codes.size()));
        Put(out, static_cast<std::uint32_t>(section.memo ? section.memo->size() : 0));
        Put(out, static_cast<std::uint32_t>(eigenvectors.size()));
        for (const auto& [record, code] : section.codes) {
            Put(out, record);
            Put(out, std::int32_t{code});
        }
        out += section.memo.value_or(std::string());
        out += eigenvectors;
    }
    Put(out, Crc(out));
    return out;
}

tank::Result<SortSet> Decode(std::string_view bytes, const std::string& file)
{
    auto bad = [&](const std::string& why) { return tank::Fail(kCorruption, "sort set file " + file + " " + why); };
    if (bytes.size() < kMagic.size() + 4 || !bytes.starts_with(kMagic)) {
        return bad("is not a sort set");
    }
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + bytes.size() - 4, 4);
    bytes.remove_suffix(4);
    if (Crc(bytes) != stored) {
        return bad("fails its checksum");
    }
    Cursor in(bytes.substr(kMagic.size()));
    const std::optional<std::uint32_t> version = in.Get<std::uint32_t>();
    const std::optional<std::int32_t> code = in.Get<std::int32_t>();
    const std::optional<std::uint32_t> nameBytes = in.Get<std::uint32_t>();
    const std::optional<std::uint32_t> channels = in.Get<std::uint32_t>();
    if (!version || *version != kVersion || !channels) {
        return bad("has an unknown version or a short header");
    }
    const std::optional<std::string_view> name = in.Take(*nameBytes);
    if (!name) {
        return bad("is cut short");
    }
    SortSet set{*code, std::string(*name), {}};
    std::uint64_t codes = 0;
    for (std::uint32_t c = 0; c < *channels; ++c) {
        const std::optional<std::uint32_t> channel = in.Get<std::uint32_t>();
        const std::optional<std::uint32_t> flags = in.Get<std::uint32_t>();
        const std::optional<std::uint32_t> count = in.Get<std::uint32_t>();
        const std::optional<std::uint32_t> memoBytes = in.Get<std::uint32_t>();
        const std::optional<std::uint32_t> eigenBytes = in.Get<std::uint32_t>();
        if (!eigenBytes) {
            return bad("is cut short");
        }
        if (*channel > std::numeric_limits<std::uint16_t>::max() ||
            (!set.channels.empty() && *channel <= set.channels.rbegin()->first) ||
            (*flags & ~(kHasMemo | kHasEigenvectors)) != 0 || ((*flags & kHasMemo) == 0 && *memoBytes != 0) ||
            ((*flags & kHasEigenvectors) == 0 && *eigenBytes != 0) || *memoBytes > kMaxConditionBytes ||
            *eigenBytes > kMaxConditionBytes || *eigenBytes % sizeof(double) != 0) {
            return bad("has a bad section for channel " + std::to_string(*channel));
        }
        codes += *count;
        if (codes > kMaxSetCodes) {
            return bad("holds more than " + std::to_string(kMaxSetCodes) + " sort codes");
        }
        SortChannel& section = set.channels[static_cast<std::uint16_t>(*channel)];
        for (std::uint32_t i = 0; i < *count; ++i) {
            const std::optional<std::uint32_t> record = in.Get<std::uint32_t>();
            const std::optional<std::int32_t> sortCode = in.Get<std::int32_t>();
            if (!sortCode) {
                return bad("is cut short");
            }
            if ((!section.codes.empty() && *record <= section.codes.rbegin()->first) ||
                *sortCode < std::numeric_limits<std::int16_t>::min() ||
                *sortCode > std::numeric_limits<std::int16_t>::max()) {
                return bad("has a bad sort code for record " + std::to_string(*record));
            }
            section.codes.emplace_hint(section.codes.end(), *record, static_cast<std::int16_t>(*sortCode));
        }
        const std::optional<std::string_view> memo = in.Take(*memoBytes);
        const std::optional<std::string_view> eigenvectors = in.Take(*eigenBytes);
        if (!memo || !eigenvectors) {
            return bad("is cut short");
        }
        if ((*flags & kHasMemo) != 0) {
            section.memo.emplace(*memo);
        }
        if ((*flags & kHasEigenvectors) != 0) {
            section.eigenvectors.emplace(*eigenvectors);
        }
    }
    if (!in.AtEnd()) {
        return bad("has bytes after its last section");
    }
    return set;
}

std::filesystem::path SetPath(const std::filesystem::path& blockDir, std::int32_t code, std::string_view name)
{
    return blockDir / kSortFolder / FileName(code, name);
}

}  // namespace

tank::Result<std::optional<SortSet>> LoadSortSet(const std::filesystem::path& blockDir, std::string_view name,
                                                 std::int32_t code)
{
    const std::filesystem::path path = SetPath(blockDir, code, name);
    tank::Result<std::string> bytes = tank::ReadSmallFile(path, kMaxFileBytes);
    if (!bytes) {
        if (bytes.kind() == kNotFound) {
            return std::optional<SortSet>();
        }
        return bytes.failure();
    }
    tank::Result<SortSet> set = Decode(*bytes, path.string());
    if (!set) {
        return set.failure();
    }
    if (set->code != code || set->name != name) {
        return tank::Fail(kCorruption, "sort set file " + path.string() + " holds another set than its name says");
    }
    return std::optional<SortSet>(std::move(*set));
}

tank::Status StoreSortSet(const std::filesystem::path& blockDir, const SortSet& set)
{
    const std::filesystem::path path = SetPath(blockDir, set.code, set.name);
    if (set.channels.empty()) {
        if (::unlink(path.c_str()) != 0) {
            return tank::SystemFailure("cannot remove " + path.string(), errno);
        }
        return tank::SyncDirectory(path.parent_path());
    }
    std::uint64_t codes = 0;
    for (const auto& [channel, section] : set.channels) {
        codes += section.codes.size();
    }
    // A set that could not be read back is not stored.
    if (codes > kMaxSetCodes) {
        return tank::Fail(kInvalidArgument, "the sort set would hold " + std::to_string(codes) +
                                                " sort codes, above " + std::to_string(kMaxSetCodes));
    }
    const std::string bytes = Encode(set);
    if (bytes.size() > kMaxFileBytes) {
        return tank::Fail(kInvalidArgument, "the sort set would take " + std::to_string(bytes.size()) +
                                                " bytes, above " + std::to_string(kMaxFileBytes));
    }
    tank::Result<bool> made = tank::MakeFolder(path.parent_path());
    if (!made) {
        return made.failure();
    }
    if (*made) {
        if (tank::Status synced = tank::SyncDirectory(blockDir); !synced) {
            return synced;
        }
    }
    return tank::ReplaceFileAtomically(path, bytes);
}

tank::Result<std::vector<std::string>> SortSetNames(const std::filesystem::path& blockDir, std::int32_t code)
{
    const std::filesystem::path folder = blockDir / kSortFolder;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error == std::errc::no_such_file_or_directory) {
        return std::vector<std::string>();
    }
    std::set<std::string> names;
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::optional<std::pair<std::int32_t, std::string>> set = ParseFileName(it->path().filename().string());
        if (set && !set->second.empty() && (code == 0 || set->first == code)) {
            names.insert(std::move(set->second));
        }
    }
    if (error) {
        return tank::SystemFailure("cannot list " + folder.string(), error);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

void SortSetsInUse::Use(std::string name)
{
    m_name = std::move(name);
    m_sets.clear();
}

void SortSetsInUse::BeginRead(const std::filesystem::path& blockDir)
{
    if (blockDir != m_blockDir) {
        m_blockDir = blockDir;
        m_sets.clear();
    }
    ++m_read;
}

tank::Status SortSetsInUse::Apply(std::uint64_t record, SQHead& head)
{
    if (m_name.empty()) {
        return {};
    }
    Cached& cached = m_sets[head.code];
    if (cached.checkedInRead != m_read) {
        const std::filesystem::path path = SetPath(m_blockDir, head.code, m_name);
        struct stat info {};
        FileStamp stamp;
        if (::stat(path.c_str(), &info) == 0) {
            stamp = {true, info.st_ino, static_cast<std::uint64_t>(info.st_size),
                     info.st_mtim.tv_sec * std::int64_t{1'000'000'000} + info.st_mtim.tv_nsec};
        }
        if (stamp != cached.stamp || cached.checkedInRead == 0) {
            tank::Result<std::optional<SortSet>> loaded = LoadSortSet(m_blockDir, m_name, head.code);
            if (!loaded) {
                m_sets.erase(head.code);
                return loaded.failure();
            }
            cached.set = std::move(*loaded);
            cached.stamp = stamp;
        }
        cached.checkedInRead = m_read;
    }
    if (!cached.set) {
        return {};
    }
    const auto section = cached.set->channels.find(head.channel);
    if (section == cached.set->channels.end() || record > std::numeric_limits<std::uint32_t>::max()) {
        return {};
    }
    if (const auto found = section->second.codes.find(static_cast<std::uint32_t>(record));
        found != section->second.codes.end()) {
        head.sortCode = found->second;
    }
    return {};
}

}  // namespace orvo::engine
