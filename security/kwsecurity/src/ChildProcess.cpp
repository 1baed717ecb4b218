#include "ChildProcess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kw {

namespace {

// Descriptors the parent hands to the child are moved up here first, so that placing them
// at 0, 1 and 3 in the child can never overwrite one another.
constexpr int kHighFd = 64;

struct ChildFailure {
    int error;
    int step;
};

const char* const kSteps[] = {
    "",
    "create a user namespace",
    "deny setgroups",
    "map the user to root",
    "map the group to root",
    "set up standard input",
    "set up standard output",
    "set up the status descriptor",
    "execute the program",
};

int moveHigh(int fd)
{
    if (fd < 0) {
        return fd;
    }
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, kHighFd);
    close(fd);
    return high;
}

bool writeFile(const char* path, const char* text, std::size_t length)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
    close(fd);
    return ok;
}

bool place(int from, int to)
{
    if (from == to) {
        return fcntl(to, F_SETFD, 0) == 0;
    }
    return dup2(from, to) == to;
}

[[noreturn]] void childFail(int reportFd, int step)
{
    const ChildFailure failure { errno, step };
    [[maybe_unused]] const ssize_t n = write(reportFd, &failure, sizeof failure);
    _exit(127);
}

} // namespace

ChildStart spawnChild(const ChildSpec& setup)
{
    ChildStart result;
    // Everything the child needs is prepared before the fork: after it, only
    // async-signal-safe calls are made.
    std::vector<char*> argv;
    argv.reserve(setup.argv.size() + 1);
    for (const auto& a : setup.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : setup.environment) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    const long openMax = sysconf(_SC_OPEN_MAX);
    const int maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
    const std::string uidMap = "0 " + std::to_string(geteuid()) + " 1\n";
    const std::string gidMap = "0 " + std::to_string(getegid()) + " 1\n";

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.error = errno;
        result.step = "create a pipe";
        return result;
    }
    report[0] = moveHigh(report[0]);
    report[1] = moveHigh(report[1]);
    int output[2] = { -1, -1 };
    if (setup.pipeOutput) {
        if (pipe2(output, O_CLOEXEC) != 0) {
            result.error = errno;
            result.step = "create a pipe";
            close(report[0]);
            close(report[1]);
            return result;
        }
        output[0] = moveHigh(output[0]);
        output[1] = moveHigh(output[1]);
    }
    const int devNull = moveHigh(open("/dev/null", O_RDWR | O_CLOEXEC));
    const int stdinFd = setup.stdinFd >= 0 ? moveHigh(fcntl(setup.stdinFd, F_DUPFD_CLOEXEC, 0)) : devNull;
    const int statusFd = setup.statusFd >= 0 ? moveHigh(fcntl(setup.statusFd, F_DUPFD_CLOEXEC, 0)) : -1;

    const pid_t pid = fork();
    if (pid == 0) {
        if (setup.newUserNamespace) {
            if (unshare(CLONE_NEWUSER) != 0) {
                childFail(report[1], 1);
            }
            if (!writeFile("/proc/self/setgroups", "deny", 4)) {
                childFail(report[1], 2);
            }
            if (!writeFile("/proc/self/uid_map", uidMap.c_str(), uidMap.size())) {
                childFail(report[1], 3);
            }
            if (!writeFile("/proc/self/gid_map", gidMap.c_str(), gidMap.size())) {
                childFail(report[1], 4);
            }
        }
        if (stdinFd < 0 || !place(stdinFd, STDIN_FILENO)) {
            childFail(report[1], 5);
        }
        if (setup.pipeOutput && !place(output[1], STDOUT_FILENO)) {
            childFail(report[1], 6);
        }
        if (statusFd >= 0 && !place(statusFd, 3)) {
            childFail(report[1], 7);
        }
        const int firstPrivate = statusFd >= 0 ? 4 : 3;
        if (close_range(static_cast<unsigned>(firstPrivate), ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            // Kernels before 5.11 lack the flag: mark them one by one.
            for (int fd = firstPrivate; fd < maxFd; ++fd) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
        execve(setup.executable.c_str(), argv.data(), envp.data());
        childFail(report[1], 8);
    }
    const int forkError = errno;
    close(report[1]);
    if (output[1] >= 0) {
        close(output[1]);
    }
    if (devNull >= 0) {
        close(devNull);
    }
    if (stdinFd >= 0 && stdinFd != devNull) {
        close(stdinFd);
    }
    if (statusFd >= 0) {
        close(statusFd);
    }
    if (pid < 0) {
        result.error = forkError;
        result.step = "fork";
        close(report[0]);
        if (output[0] >= 0) {
            close(output[0]);
        }
        return result;
    }
    ChildFailure failure {};
    ssize_t n;
    do {
        n = read(report[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof failure)) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (output[0] >= 0) {
            close(output[0]);
        }
        result.error = failure.error != 0 ? failure.error : EIO;
        result.step =
            failure.step > 0 && failure.step < static_cast<int>(std::size(kSteps)) ? kSteps[failure.step] : "start";
        return result;
    }
    result.pid = pid;
    result.outputFd = output[0];
    return result;
}

bool userNamespacesAvailable()
{
    ChildSpec setup;
    setup.executable = "/bin/true";
    setup.argv = { "/bin/true" };
    setup.newUserNamespace = true;
    const ChildStart start = spawnChild(setup);
    if (start.error != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(start.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

} // namespace kw
