// A progress bar on standard error for work that runs longer than a second.
// Silent when standard error is not a terminal, so logs and pipes stay clean.
#pragma once

#include <chrono>
#include <string>

namespace orvo::tool {

class Progress {
public:
    explicit Progress(std::string label);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update(std::size_t done, std::size_t total);

private:
    std::string m_label;
    bool m_terminal;
    bool m_shown = false;
    int m_lastPercent = -1;
    std::chrono::steady_clock::time_point m_begin;
};

}  // namespace orvo::tool
