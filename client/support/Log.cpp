#include "client/support/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "client/support/BasePath.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/process.h"

namespace {

constexpr const char* kLevelTags[] = {"XXXX", "ERRR", "WARN", "NRML", "INFO", "DBUG"};
constexpr int kDefaultThreshold = kLogNormal;

// One log per process, shared by every thread that logs.
std::mutex g_logLock;
int g_threshold = kDefaultThreshold;
std::FILE* g_logFile = nullptr;

std::string FileNameOf(HMODULE module)
{
    return std::filesystem::path(ModulePath(module)).filename().string();
}

// This library's file name up to its first ".".
std::string ThisModuleName()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ThisModuleName), &self)) {
        return std::string();
    }
    const std::string name = FileNameOf(self);
    return name.substr(0, name.find('.'));
}

// Caller holds g_logLock. Leaves the threshold at 0 when the file cannot be
// made, so that no later line tries again.
bool OpenLogFile()
{
    const std::string folder = ResolveBasePath() + "/exe.logs";
    const std::string path = folder + "/" + FileNameOf(nullptr) +
                             "." + std::to_string(GetCurrentProcessId()) + "." + ThisModuleName() +
                             ".Release.log";
    // A folder others may write to is not ours to log in. In ours, the name
    // is still easy to foresee: whatever already has it, a link planted there
    // or the log of a process whose id was reused, is left alone, and the log
    // stays off.
    const int fd = UntrustedBecause(folder).empty()
                       ? ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640)
                       : -1;
    if (fd >= 0) {
        g_logFile = ::fdopen(fd, "w");
        if (g_logFile == nullptr) {
            ::close(fd);
        }
    }
    if (g_logFile == nullptr) {
        g_threshold = 0;
    }
    return g_logFile != nullptr;
}

std::string TimeStamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d.%3.3d UTC: ",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

std::string FormatText(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return std::string();
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

}  // namespace

void LogMessage(const char* sourcePath, int line, const char* function, int level,
                const char* format, ...)
{
    std::lock_guard lock(g_logLock);
    if (g_threshold == 0 || format == nullptr) {
        return;
    }
    if (g_logFile == nullptr && !OpenLogFile()) {
        return;
    }
    if (level > g_threshold) {
        return;
    }
    if (level < 0) {
        level = kLogFatal;
    }

    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "(%5d): %s: ", line, kLevelTags[level]);
    va_list args;
    va_start(args, format);
    const std::string message = FormatText(format, args);
    va_end(args);

    const std::string text = TimeStamp() + (sourcePath ? sourcePath : "") + prefix +
                             (function ? function : "") + ": " + message;
    std::fwrite(text.data(), 1, text.size(), g_logFile);
    if (level < kLogNormal) {
        std::fflush(g_logFile);
    }
}
