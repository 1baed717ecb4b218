#include "CommandRunner.h"

#include "AtomicFile.h"
#include "SystemRoot.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kw {

Process::~Process()
{
    if (m_outFd >= 0) {
        ::close(m_outFd);
    }
    if (m_pid > 0 && !m_waited) {
        wait();
    }
}

Process::Process(Process&& other) noexcept
{
    *this = std::move(other);
}

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        if (m_outFd >= 0) {
            ::close(m_outFd);
        }
        m_pid = other.m_pid;
        m_outFd = other.m_outFd;
        m_startError = other.m_startError;
        m_status = other.m_status;
        m_waited = other.m_waited;
        other.m_pid = -1;
        other.m_outFd = -1;
        other.m_waited = true;
    }
    return *this;
}

Process Process::start(const std::string& systemProgram, const std::vector<std::string>& args, Output output)
{
    Process p;
    const std::string program = SystemRoot::path(systemProgram);
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(systemProgram.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    int pipeFds[2] = { -1, -1 };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output == Output::Pipe) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            p.m_startError = errno;
            posix_spawn_file_actions_destroy(&actions);
            errno = p.m_startError;
            return p;
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) {
        ::close(pipeFds[1]);
    }
    if (rc == 0) {
        p.m_pid = pid;
        p.m_startError = 0;
        p.m_outFd = pipeFds[0];
        return p;
    }
    if (pipeFds[0] >= 0) {
        ::close(pipeFds[0]);
    }
    if (rc == ENOENT || rc == EACCES || rc == ENOEXEC || rc == ENOTDIR || rc == ELOOP || rc == ENAMETOOLONG) {
        // The program is missing or not executable: what the shell reports as status 127.
        p.m_startError = 0;
        p.m_status = kNotStartedStatus;
        p.m_waited = true;
        errno = rc;
        return p;
    }
    p.m_startError = rc;
    errno = rc;
    return p;
}

std::string Process::readAllOutput()
{
    std::string out;
    if (m_outFd < 0) {
        return out;
    }
    readAll(m_outFd, out);
    ::close(m_outFd);
    m_outFd = -1;
    return out;
}

int Process::wait()
{
    if (m_waited) {
        return m_status;
    }
    if (m_pid <= 0) {
        return -1;
    }
    int status = 0;
    pid_t r = -1;
    do {
        r = ::waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    m_waited = true;
    m_status = r < 0 ? -1 : status;
    return m_status;
}

int runCommand(const std::string& systemProgram, const std::vector<std::string>& args)
{
    Process p = Process::start(systemProgram, args);
    if (!p.started()) {
        return -1;
    }
    return p.wait();
}

int runCommandWithOutput(const std::string& systemProgram, const std::vector<std::string>& args, std::string& output)
{
    Process p = Process::start(systemProgram, args, Process::Output::Pipe);
    if (!p.started()) {
        return -1;
    }
    output = p.readAllOutput();
    return p.wait();
}

} // namespace kw
