#include "Log.h"

#include "StringFormat.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace kw {

namespace {

struct LogState {
    std::mutex mutex;
    std::string identity;
    bool opened = false;
    std::vector<std::function<void(const std::string&)>> sinks;
};

LogState& state()
{
    static LogState s;
    return s;
}

} // namespace

void setLogIdentity(const std::string& identity)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.identity = identity;
    if (s.opened) {
        closelog();
        s.opened = false;
    }
}

void logLine(const std::string& line)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.opened) {
        openlog(s.identity.empty() ? nullptr : s.identity.c_str(), LOG_PID, LOG_USER);
        s.opened = true;
    }
    syslog(LOG_NOTICE, "%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    for (const auto& sink : s.sinks) {
        sink(line);
    }
}

void logf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = formatv(format, args);
    va_end(args);
    logLine(text);
}

LogCapture::LogCapture(std::function<void(const std::string&)> sink)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.sinks.push_back(std::move(sink));
}

LogCapture::~LogCapture()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.sinks.empty()) {
        s.sinks.pop_back();
    }
}

} // namespace kw
