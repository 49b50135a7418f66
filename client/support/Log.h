// The process's log file: <base path>/exe.logs/<exe>.<pid>.<module>.Release.log,
// created on the first line written and replacing any earlier file of that
// name. The folder exe.logs is not created: without it the log stays off for
// the rest of the process.
//
// Each line is "<UTC time> UTC: <source>(<line>): <tag>: <function>: <text>";
// the text brings its own line end. Lines of level 0 to 2 are flushed at once.
#pragma once

enum LogLevel {
    kLogFatal = 0,    // "XXXX"
    kLogError = 1,    // "ERRR"
    kLogWarning = 2,  // "WARN"
    kLogNormal = 3,   // "NRML"
    kLogInfo = 4,     // "INFO"
    kLogDebug = 5,    // "DBUG"
};

// Writes one printf-style line when level is at or below the threshold (3).
// A negative level counts as level 0.
void LogMessage(const char* sourcePath, int line, const char* function, int level,
                const char* format, ...) __attribute__((format(printf, 5, 6)));
