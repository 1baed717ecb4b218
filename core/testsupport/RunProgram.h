#pragma once

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kw::testing {

struct ProgramResult {
    int exitStatus = -1; // -1 when it did not exit normally
    std::string out;
    std::string err;
};

namespace detail {
inline std::string slurp(int fd)
{
    std::string s;
    ::lseek(fd, 0, SEEK_SET);
    kw::readAll(fd, s);
    ::close(fd);
    return s;
}
} // namespace detail

// Starts a program (argv[0] is its path, looked up in PATH when it has no slash) with the current
// environment without waiting for it; a descriptor given is its standard input, output or error.
inline pid_t spawnProgram(const std::vector<std::string>& argv, int inFd = -1, int outFd = -1, int errFd = -1)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (inFd >= 0) {
            ::dup2(inFd, 0);
        }
        if (outFd >= 0) {
            ::dup2(outFd, 1);
        }
        if (errFd >= 0) {
            ::dup2(errFd, 2);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Runs a program (argv[0] is its path) with the current environment and collects its output.
inline ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& input = {})
{
    char outName[] = "/tmp/kwout.XXXXXX";
    char errName[] = "/tmp/kwerr.XXXXXX";
    char inName[] = "/tmp/kwin.XXXXXX";
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    const int inFd = ::mkstemp(inName);
    ::unlink(outName);
    ::unlink(errName);
    ::unlink(inName);
    if (!input.empty()) {
        [[maybe_unused]] auto w = ::write(inFd, input.data(), input.size());
        ::lseek(inFd, 0, SEEK_SET);
    }
    const pid_t pid = spawnProgram(argv, inFd, outFd, errFd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(inFd);
    ProgramResult r;
    r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = detail::slurp(outFd);
    r.err = detail::slurp(errFd);
    return r;
}

// Runs a program as root: directly when the tests run as root, else in a user namespace that
// maps this user to root (needs no privileges).
inline ProgramResult runAsRoot(std::vector<std::string> argv, const std::string& input = {})
{
    if (::geteuid() != 0) {
        argv.insert(argv.begin(), { "unshare", "-r", "--" });
    }
    return runProgram(argv, input);
}

// Runs a program as an ordinary user (nobody) when the tests run as root; else as this user.
inline ProgramResult runAsUser(std::vector<std::string> argv)
{
    if (::geteuid() == 0) {
        argv.insert(argv.begin(), { "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--" });
    }
    return runProgram(argv);
}

} // namespace kw::testing
