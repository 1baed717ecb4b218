#include "common/Daemon.h"

#include "base/AtomicFile.h"
#include "common/PlatformRoot.h"
#include "common/ProcessTable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kw::platform {

bool Daemon::detach(std::string& error)
{
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGQUIT);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGHUP);
    // Blocked before the fork, so a signal sent right after start-up is not lost.
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &m_signals, &previous);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("cannot create pipe: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);
    const pid_t first = ::fork();
    if (first < 0) {
        error = std::string("cannot fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (first > 0) {
        // The starting process: wait for the daemon's word (an interrupt still ends the wait).
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::close(fds[1]);
        int status = 0;
        while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
        }
        std::string word;
        readAll(fds[0], word);
        if (word == "ready") {
            std::_Exit(0);
        }
        complain(word.empty() ? std::string("the daemon ended before it was ready") : word);
        std::_Exit(1);
    }
    ::close(fds[0]);
    ::setsid();
    const pid_t second = ::fork();
    if (second < 0) {
        writeAll(fds[1], std::string("cannot fork: ") + std::strerror(errno));
        std::_Exit(1);
    }
    if (second > 0) {
        std::_Exit(0);
    }
    m_readyFd = fds[1];
    if (::chdir("/") != 0) {
        // Nothing depends on the working folder; stay where we are.
    }
    ::umask(022);
    return true;
}

void Daemon::ready()
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            ::close(null);
        }
    }
    // The starting process may hold a pipe on our inherited descriptors; everything beyond the
    // standard three is closed so nobody waits on this daemon's copy.
    if (m_readyFd > 3) {
        ::close_range(3, static_cast<unsigned>(m_readyFd) - 1, 0);
    }
    ::close_range(static_cast<unsigned>(m_readyFd) + 1, ~0u, 0);
    writeAll(m_readyFd, "ready");
    ::close(m_readyFd);
    m_readyFd = -1;
}

void Daemon::fail(const std::string& message)
{
    writeAll(m_readyFd, message);
    ::close(m_readyFd);
    std::_Exit(1);
}

int Daemon::waitForEndSignal()
{
    for (;;) {
        int sig = 0;
        if (::sigwait(&m_signals, &sig) != 0) {
            continue;
        }
        if (sig != SIGHUP) {
            return sig;
        }
    }
}

void Daemon::runUntilEndSignal(const std::string& pidFile)
{
    waitForEndSignal();
    std::string current;
    if (readFile(pidFile, current) && current == pidFileText()) {
        ::unlink(pidFile.c_str());
    }
    ProcessRegistry::unregisterSelf();
}

std::string Daemon::pidFileText()
{
    return std::to_string(::getpid()) + "\n";
}

} // namespace kw::platform
