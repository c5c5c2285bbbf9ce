#include "shell/Log.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string logDirectory;
std::mutex logMtx;

namespace {
std::atomic<LogClock> logClock{nullptr};

const char* Label(LogSeverity severity)
{
    switch (severity) {
    case L_WARN: return "WARN : ";
    case L_ERROR: return "ERROR: ";
    case L_DEBUG: return "DEBUG: ";
    default: return "INFO : ";
    }
}

std::string CurrentDir()
{
    char buf[4096];
    if (getcwd(buf, sizeof(buf))) return buf;
    return ".";
}
}  // namespace

void SetLogClock(LogClock clock) { logClock.store(clock); }

int MsgToLog(LogSeverity severity, const char* msg, ...)
{
    if (!msg) return LogSrvMessage(nullptr, severity);
    size_t size = strlen(msg) + 4096;
    char* buf = static_cast<char*>(malloc(size));
    if (!buf) return 0;
    va_list args;
    va_start(args, msg);
    vsnprintf(buf, size, msg, args);   // truncates what does not fit
    va_end(args);
    int r = LogSrvMessage(buf, severity);
    free(buf);
    return r;
}

int LogSrvMessage(const char* msg, LogSeverity severity)
{
    if (!msg) return 0;
    std::lock_guard<std::mutex> lk(logMtx);

    LogClock clock = logClock.load();
    time_t now = clock ? clock() : time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);

    std::string dir = (logDirectory.empty() ? CurrentDir() : logDirectory) + "/Logs";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (mkdir(dir.c_str(), 0775) != 0) {
            int err = errno;
            fprintf(stderr, "Cannot create Logs Directory at \"%s\".\n", dir.c_str());
            fprintf(stderr, "Error:  %s\n", strerror(err));
        }
    }

    char name[64];
    snprintf(name, sizeof(name), "/%i-%02i-%02i.log", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    std::string path = dir + name;
    FILE* f = fopen(path.c_str(), "a");
    int openErr = errno;

    size_t size = strlen(msg) + 100;
    char* entry = static_cast<char*>(malloc(size));
    if (!entry) {
        if (f) fclose(f);
        return 1;
    }
    snprintf(entry, size, "%i-%02i-%02i %02i:%02i:%02i %s%s", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
             lt.tm_hour, lt.tm_min, lt.tm_sec, Label(severity), msg);
    if (f) {
        fputs(entry, f);
        fclose(f);
    } else {
        fprintf(stderr, "Cannot create log file at %s.\n", path.c_str());
        fprintf(stderr, "Error :  %s\n", strerror(openErr));
    }
    fputs(entry, stderr);
    free(entry);
    return 1;
}
