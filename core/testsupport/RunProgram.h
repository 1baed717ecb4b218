#pragma once

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
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        s.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return s;
}
} // namespace detail

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
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(inFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
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
