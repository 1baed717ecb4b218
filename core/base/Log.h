#pragma once

#include <functional>
#include <string>

namespace kw {

// "Log" is syslog(3) plus standard error, one line per call.
void logLine(const std::string& line);

// Formats like printf, then logs the line.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sets the identity used for syslog (the process name); defaults to the program name.
void setLogIdentity(const std::string& identity);

// While alive, log lines are also handed to the sink (for in-process tests and UI consoles).
class LogCapture {
public:
    explicit LogCapture(std::function<void(const std::string&)> sink);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
};

} // namespace kw
