#include "PrivilegedRunner.h"

#include "AuthResult.h"
#include "AuthexecRequest.h"
#include "ChildProcess.h"
#include "PamCheck.h"

#include "base/Log.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef KW_AUTHEXEC_INSTALL_PATH
#define KW_AUTHEXEC_INSTALL_PATH "/usr/local/libexec/keepwall/kw-authexec"
#endif

namespace kw {

using namespace kw::authexec;

namespace {

std::string loggedInUserName()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::string();
}

void reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Reads one status word; the number of bytes read (short only at end of file or on error).
std::size_t readWord(int fd, std::int32_t& word)
{
    std::size_t got = 0;
    while (got < sizeof word) {
        const ssize_t n = read(fd, reinterpret_cast<char*>(&word) + got, sizeof word - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

class SandboxRunner final : public PrivilegedRunner {
public:
    int checkAdministrator(const std::string& userName, const SecureBuffer& password) override
    {
        PamCheckOptions options;
        const std::string confDir = SystemRoot::path("/etc/pam.d");
        struct stat st {};
        if (stat(confDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            options.confDir = confDir;
        }
        const std::string loggedIn = loggedInUserName();
        options.requestingUser = loggedIn;
        const int result = pamCheckPassword(options, userName, password);
        if (result != 0) {
            logf("Authentication of %s failed: %s", userName.c_str(), pamResultText(result).c_str());
            return kAuthDenied;
        }
        if (loggedIn.empty() || userName != loggedIn) {
            logf("%s is not an administrator of this sandbox; only the logged-in user %s is", userName.c_str(),
                 loggedIn.c_str());
            return kAuthDenied;
        }
        return kAuthSuccess;
    }

    bool needsCredentialsToStart() const override { return false; }

    int start(const std::string& path, const std::vector<std::string>& args, const Credentials*, bool pipeOutput,
              pid_t& pid, int& outputFd) override
    {
        ChildSpec setup;
        setup.executable = path;
        setup.argv.push_back(path);
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        setup.environment = privilegedEnvironment();
        setup.pipeOutput = pipeOutput;
        setup.newUserNamespace = true;
        const ChildStart started = spawnChild(setup);
        if (started.error != 0) {
            logf("Cannot start %s: %s failed: %s", path.c_str(), started.step, std::strerror(started.error));
            return kAuthToolExecuteFailure;
        }
        pid = started.pid;
        outputFd = started.outputFd;
        return kAuthSuccess;
    }
};

class SystemRunner final : public PrivilegedRunner {
public:
    SystemRunner(std::string starterPath, std::vector<std::string> starterArgs)
        : m_starterPath(std::move(starterPath))
        , m_starterArgs(std::move(starterArgs))
    {}

    int checkAdministrator(const std::string& userName, const SecureBuffer& password) override
    {
        Request request;
        request.operation = Operation::Check;
        request.userName = userName;
        request.password = password;
        pid_t pid = -1;
        int outputFd = -1;
        std::int32_t status = kAuthInternal;
        const int result = run(request, false, pid, outputFd, status);
        if (result != kAuthSuccess) {
            return result;
        }
        reap(pid);
        return status;
    }

    bool needsCredentialsToStart() const override { return true; }

    int start(const std::string& path, const std::vector<std::string>& args, const Credentials* credentials,
              bool pipeOutput, pid_t& pid, int& outputFd) override
    {
        if (credentials == nullptr) {
            return kAuthInteractionNotAllowed;
        }
        Request request;
        request.operation = Operation::Exec;
        request.userName = credentials->userName;
        request.password = credentials->password;
        request.path = path;
        request.arguments = args;
        std::int32_t status = kAuthInternal;
        const int result = run(request, pipeOutput, pid, outputFd, status);
        if (result != kAuthSuccess) {
            return result;
        }
        if (status != kAuthSuccess) {
            if (outputFd >= 0) {
                close(outputFd);
                outputFd = -1;
            }
            reap(pid);
            pid = -1;
        }
        return status;
    }

private:
    // Starts the starter with the request on its standard input and reads its status: four
    // bytes are its verdict; the exec word followed by end of file means the program now
    // runs (status 0); anything else is a failure.
    int run(const Request& request, bool pipeOutput, pid_t& pid, int& outputFd, std::int32_t& status)
    {
        SecureBuffer bytes;
        if (!buildRequest(request, bytes)) {
            logLine("Refusing a request the privileged starter would not accept (name, password length or arguments)");
            return kAuthInvalidSet;
        }
        int requestPipe[2];
        int statusPipe[2];
        if (pipe2(requestPipe, O_CLOEXEC) != 0) {
            return kAuthInternal;
        }
        if (pipe2(statusPipe, O_CLOEXEC) != 0) {
            close(requestPipe[0]);
            close(requestPipe[1]);
            return kAuthInternal;
        }
        // The request is far smaller than a pipe's buffer, so it is written whole before the
        // starter exists: no blocking, and no broken pipe if the starter refuses early.
        const ssize_t wanted = static_cast<ssize_t>(bytes.size());
        ssize_t written;
        do {
            written = write(requestPipe[1], bytes.data(), bytes.size());
        } while (written < 0 && errno == EINTR);
        bytes.clear();
        close(requestPipe[1]);
        if (written != wanted) {
            close(requestPipe[0]);
            close(statusPipe[0]);
            close(statusPipe[1]);
            return kAuthInternal;
        }
        ChildSpec setup;
        setup.executable = m_starterPath;
        setup.argv.push_back(m_starterPath);
        setup.argv.insert(setup.argv.end(), m_starterArgs.begin(), m_starterArgs.end());
        setup.environment = privilegedEnvironment();
        setup.pipeOutput = pipeOutput;
        setup.stdinFd = requestPipe[0];
        setup.statusFd = statusPipe[1];
        const ChildStart started = spawnChild(setup);
        close(requestPipe[0]);
        close(statusPipe[1]);
        if (started.error != 0) {
            close(statusPipe[0]);
            logf("The privileged starter %s cannot be started: %s failed: %s", m_starterPath.c_str(), started.step,
                 std::strerror(started.error));
            return kAuthToolExecuteFailure;
        }
        std::int32_t word = 0;
        const std::size_t got = readWord(statusPipe[0], word);
        const bool exec = request.operation == Operation::Exec;
        if (got != sizeof word) {
            // End of file without a word: the starter died (crashed, was killed, or could
            // not even be loaded) before it answered; nothing can be said to have started.
            logLine("The privileged starter ended without an answer");
            status = kAuthInternal;
        } else if (exec && word == kExecStartingWord) {
            // The starter was about to become the program: end of file now means the exec
            // happened (the pipe is close-on-exec); a word after it says why it failed.
            std::int32_t after = 0;
            const std::size_t more = readWord(statusPipe[0], after);
            if (more == 0) {
                status = kAuthSuccess;
            } else {
                status =
                    more == sizeof after && after != kAuthSuccess && after != kExecStartingWord ? after : kAuthInternal;
            }
        } else if (word == kExecStartingWord || (exec && word == kAuthSuccess)) {
            status = kAuthInternal;
        } else {
            status = word;
        }
        close(statusPipe[0]);
        pid = started.pid;
        outputFd = started.outputFd;
        if (status != kAuthSuccess) {
            logf("The privileged starter refused the request (%d)", status);
        }
        return kAuthSuccess;
    }

    std::string m_starterPath;
    std::vector<std::string> m_starterArgs;
};

} // namespace

std::vector<std::string> privilegedEnvironment()
{
    std::vector<std::string> environment;
    const std::string root = SystemRoot::prefix();
    if (!root.empty()) {
        environment.push_back(std::string(SystemRoot::kEnvironmentVariable) + "=" + root);
    }
    return environment;
}

std::unique_ptr<PrivilegedRunner> makeSandboxRunner()
{
    return std::make_unique<SandboxRunner>();
}

std::unique_ptr<PrivilegedRunner> makeSystemRunner(std::string starterPath, std::vector<std::string> starterArgs)
{
    return std::make_unique<SystemRunner>(std::move(starterPath), std::move(starterArgs));
}

std::unique_ptr<PrivilegedRunner> makeDefaultRunner()
{
    if (SystemRoot::isSandbox()) {
        return makeSandboxRunner();
    }
    return makeSystemRunner(KW_AUTHEXEC_INSTALL_PATH);
}

} // namespace kw
