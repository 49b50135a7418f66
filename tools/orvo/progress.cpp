#include "tools/orvo/progress.h"

#include <cstdio>

#include <unistd.h>

namespace orvo::tool {

namespace {

constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr int kBarWidth = 30;

}  // namespace

Progress::Progress(std::string label)
    : m_label(std::move(label)),
      m_terminal(isatty(STDERR_FILENO) == 1),
      m_begin(std::chrono::steady_clock::now())
{
}

Progress::~Progress()
{
    if (m_shown) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_label.size()) + kBarWidth + 10, "");
        std::fflush(stderr);
    }
}

void Progress::Update(std::size_t done, std::size_t total)
{
    if (!m_terminal || total == 0 || std::chrono::steady_clock::now() - m_begin < kQuietFor) {
        return;
    }
    const int percent = static_cast<int>(done >= total ? 100 : done * 100 / total);
    if (percent == m_lastPercent) {
        return;
    }
    m_lastPercent = percent;
    m_shown = true;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", m_label.c_str(), filled, "##############################",
                 kBarWidth - filled, "", percent);
    std::fflush(stderr);
}

}  // namespace orvo::tool
