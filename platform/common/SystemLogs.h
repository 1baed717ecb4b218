#pragma once

#include <ctime>
#include <string>
#include <sys/types.h>

namespace kw::platform {

// The system log files of the root and what writes into them:
// - "/var/log/system.log": the system logger's file; packet-filter lines arrive there as
//   "<time> <host> kernel: ipfw: ..." while net.inet.ip.fw.verbose is 1;
// - "/var/log/ipfw.log": the logger daemon's file; with verbose 2 the kernel hands the lines
//   to /usr/libexec/ipfwloggerd, which writes "<time> <host> ipfw: ...", and they are lost
//   when the daemon does not run.
// Every append and the daily rotation take one lock, so no line is lost or split by a rotation.
class SystemLogs {
public:
    static constexpr const char* kSystemLog = "/var/log/system.log";
    static constexpr const char* kFirewallLog = "/var/log/ipfw.log";
    static constexpr const char* kLoggerPidFile = "/var/run/ipfwlogger.pid";
    static constexpr int kKeptGenerations = 8; // .0 to .7

    // The time stamp of a log line ("Dec  9 20:11:21"), in the C locale.
    static std::string timeStamp(std::time_t when);

    // Hands one packet-filter log line (the words after "ipfw: ", e.g. "100 Deny TCP
    // 10.0.1.5:1234 10.0.1.1:80 in via en0") to wherever the kernel's logging switches send it.
    // Answers false with the reason on a failure to write; dropping the line (logging off, or
    // verbose 2 without a running logger) is no failure. The per-rule limit
    // (net.inet.ip.fw.verbose_limit) is the caller's to apply.
    static bool logFirewallLine(const std::string& words, std::time_t when, std::string& error);

    // Appends one line to a log file of the root under the log lock.
    static bool append(const std::string& systemLogPath, const std::string& line, std::string& error);

    // Moves each log to "<log>.0" (older generations one further, the oldest dropped) and
    // starts an empty file in its place.
    static bool rotate(std::string& error);

    // The logger daemon's pid when it runs for this root (its pid file names a live process of
    // this root), else 0.
    static pid_t runningLogger();

    static std::string lockPath();
};

} // namespace kw::platform
