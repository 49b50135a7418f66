// An output file that replaces its target only when it is whole. Writing goes
// to a fresh file beside the target; Commit syncs it and renames it over the
// target. A ReplacedFile that ends without Commit (a failed write, an
// exception) removes what it wrote, so the old target stays as it was.
#pragma once

#include <cstdio>
#include <string>

namespace orvo::tool {

// Throws Failure, naming the folder, when the folder a file is to be written
// into does not exist; checked before a long read, not after it.
void CheckOutputFolder(const std::string& target);

class ReplacedFile {
public:
    // Throws Failure when the folder of target takes no new file.
    explicit ReplacedFile(std::string target);
    ~ReplacedFile();
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;

    std::FILE* stream() const { return m_stream; }
    // Throws Failure, naming the target, when any write so far failed or the
    // file cannot be synced or put in place.
    void Commit();

private:
    [[noreturn]] void Fail(int error);

    std::string m_target;
    std::string m_temporary;
    std::FILE* m_stream = nullptr;
};

}  // namespace orvo::tool
