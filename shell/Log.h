// The process-wide log: one file per local day under <logDirectory>/Logs,
// every entry echoed to standard error. Any thread may log.
#pragma once

#include <ctime>
#include <mutex>
#include <string>

typedef enum tag_LogSeverity : unsigned char {
    L_MSG = 0,
    L_WARN = 1,
    L_ERROR = 2,
    L_DEBUG = 4,
} LogSeverity;

// Base directory of the log; empty means the current working directory at
// each write. Set once by main before any other thread runs.
extern std::string logDirectory;
// Serialises whole entries (file and standard error). Taken last of all locks.
extern std::mutex logMtx;

// Formats printf-style and writes one entry. Returns LogSrvMessage's result.
// A text longer than the format plus 4095 characters is truncated.
int MsgToLog(LogSeverity severity, const char* msg, ...) __attribute__((format(printf, 2, 3)));

// The same with the format taken from a string.
template <typename... Args>
int MsgToLog(LogSeverity severity, std::string& msg, Args... args)
{
    return MsgToLog(severity, msg.c_str(), args...);
}

// Writes one finished entry: 0 for a null message, otherwise 1 (also when the
// file could not be opened; the entry still reaches standard error).
int LogSrvMessage(const char* msg, LogSeverity severity);

// The clock the log stamps entries with (local time is taken from it).
// Tests replace it; null restores time().
using LogClock = time_t (*)();
void SetLogClock(LogClock clock);
