#pragma once

#include "RunProgram.h"
#include "TempRoot.h"

#include "common/ProcessTable.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace kw::testing {

// A fresh temporary root made by kw-sandbox. Commands run with the root named explicitly, so
// two sandboxes can live side by side; every daemon of the root is ended when it goes.
class Sandbox {
public:
    Sandbox()
    {
        ::chmod(m_root.path().c_str(), 0755);
        const auto r = runProgram({ binary("kw-sandbox"), m_root.path() });
        m_made = r.exitStatus == 0;
        EXPECT_TRUE(m_made) << r.err;
    }
    ~Sandbox() { stopDaemons(); }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    static std::string binary(const std::string& name) { return std::string(KW_PLATFORM_BIN) + "/" + name; }

    bool made() const { return m_made; }
    const TempRoot& root() const { return m_root; }
    const std::string& path() const { return m_root.path(); }
    std::string operator/(const std::string& systemPath) const { return m_root / systemPath; }

    // Runs the root's copy of a command with root rights (a user namespace when the tests do
    // not run as root).
    ProgramResult run(const std::string& systemProgram, std::vector<std::string> args = {},
                      const std::string& input = {}) const
    {
        return runAsRoot(command(systemProgram, std::move(args)), input);
    }
    // The same as an ordinary user.
    ProgramResult runAsUser(const std::string& systemProgram, std::vector<std::string> args = {}) const
    {
        return kw::testing::runAsUser(command(systemProgram, std::move(args)));
    }

    // The command line that runs the root's copy of a program with root rights.
    std::vector<std::string> rootCommand(const std::string& systemProgram, std::vector<std::string> args) const
    {
        auto argv = command(systemProgram, std::move(args));
        if (::geteuid() != 0) {
            argv.insert(argv.begin(), { "unshare", "-r", "--" });
        }
        return argv;
    }

    // Starts a command line without waiting; its output goes to the descriptor (or stays).
    static pid_t spawn(const std::vector<std::string>& argv, int outFd = -1)
    {
        return spawnProgram(argv, -1, outFd, outFd);
    }

    // Runs a command line with its output and errors on one pipe, read to its end: a program
    // that left a child holding the pipe would make this wait.
    static ProgramResult runThroughPipe(const std::vector<std::string>& argv)
    {
        int fds[2];
        ProgramResult r;
        if (::pipe(fds) != 0) {
            return r;
        }
        const pid_t pid = spawn(argv, fds[1]);
        ::close(fds[1]);
        kw::readAll(fds[0], r.out);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    std::string read(const std::string& systemPath) const { return m_root.readFile(systemPath); }
    void write(const std::string& systemPath, const std::string& text) const { m_root.writeFile(systemPath, text); }

    // The pids of the processes whose listing line holds the text, as the NAT manager reads
    // "/bin/ps -awwwx -o pid,command|grep <text>".
    std::vector<int> pidsListedWith(const std::string& text) const
    {
        std::vector<int> pids;
        const auto r = run("/bin/ps", { "-awwwx", "-o", "pid,command" });
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find(text) != std::string::npos && line.find("grep") == std::string::npos) {
                pids.push_back(std::atoi(line.c_str()));
            }
        }
        return pids;
    }

    void stopDaemons() const
    {
        const char* previous = std::getenv("KEEPWALL_ROOT");
        const std::string saved = previous != nullptr ? previous : "";
        ::setenv("KEEPWALL_ROOT", m_root.path().c_str(), 1);
        const auto entries = kw::platform::ProcessRegistry::liveEntries();
        if (previous != nullptr) {
            ::setenv("KEEPWALL_ROOT", saved.c_str(), 1);
        } else {
            ::unsetenv("KEEPWALL_ROOT");
        }
        for (const auto& e : entries) {
            ::kill(e.pid, SIGTERM);
        }
        for (const auto& e : entries) {
            waitUntilGone(e.pid);
        }
    }

    // Waits (up to five seconds) for a process to end; false when it still runs.
    static bool waitUntilGone(pid_t pid)
    {
        for (int i = 0; i < 500; ++i) {
            const auto p = kw::platform::readProcess(pid);
            if (!p || p->zombie) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        return false;
    }

private:
    std::vector<std::string> command(const std::string& systemProgram, std::vector<std::string> args) const
    {
        std::vector<std::string> argv = { "env", "KEEPWALL_ROOT=" + m_root.path(), m_root / systemProgram };
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    TempRoot m_root;
    bool m_made = false;
};

} // namespace kw::testing
