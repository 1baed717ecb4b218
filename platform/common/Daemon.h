#pragma once

#include <csignal>
#include <string>

namespace kw::platform {

// Puts a stand-in daemon in the background the way the real daemons do, without the usual
// race: the command that started it returns only once the daemon has registered (so an
// immediate ps sees it) or has reported why it cannot run (then the command prints the reason
// and fails). After that the daemon has no terminal and writes nothing to one.
class Daemon {
public:
    // Blocks the signals the daemon waits for, forks twice and starts a new session. Returns
    // only in the daemon; the starting process ends inside, with status 0 after ready(), or
    // with status 1 and the daemon's message after fail(). False (in the starting process)
    // when no child could be made.
    bool detach(std::string& error);

    // Tells the starting process that the daemon runs; stdin, stdout and stderr then go to
    // the null device.
    void ready();

    // Tells the starting process why the daemon cannot run, and ends the daemon.
    [[noreturn]] void fail(const std::string& message);

    // Waits for SIGQUIT, SIGTERM or SIGINT (SIGHUP is ignored) and answers the signal.
    int waitForEndSignal();

    // The daemons' ending: waits for the end signal, then removes the pid file (a host path)
    // when it still names this process and takes the process out of its root's registry.
    void runUntilEndSignal(const std::string& pidFile);

    // What a daemon's pid file holds: its process id and a line break.
    static std::string pidFileText();

private:
    int m_readyFd = -1;
    sigset_t m_signals {};
};

} // namespace kw::platform
