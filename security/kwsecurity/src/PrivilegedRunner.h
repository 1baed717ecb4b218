#pragma once

#include <KWSecurity/KWKeychain.h>
#include <KWSecurity/SecureBuffer.h>

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw {

// Checks administrators and starts programs as root. Two kinds: the sandbox runner (the
// logged-in user, a user namespace mapped to root) and the system runner (the setuid
// starter kw-authexec).
class PrivilegedRunner {
public:
    virtual ~PrivilegedRunner() = default;

    // An authorization result code (authexec/AuthResult.h): 0 when the name and password
    // belong to an administrator.
    virtual int checkAdministrator(const std::string& userName, const SecureBuffer& password) = 0;

    // True when each start needs the credentials again, so the held authorization keeps them.
    virtual bool needsCredentialsToStart() const = 0;

    // Starts the program as root with only KEEPWALL_ROOT in its environment. With
    // pipeOutput, outputFd receives the read end of its standard output. Returns 0 or a
    // result code; on failure nothing runs.
    virtual int start(const std::string& path, const std::vector<std::string>& args, const Credentials* credentials,
                      bool pipeOutput, pid_t& pid, int& outputFd) = 0;
};

// The runner for a sandbox root: PAM with the service "keepwall" (from <root>/etc/pam.d when
// that folder exists), the administrator being the logged-in user.
std::unique_ptr<PrivilegedRunner> makeSandboxRunner();

// The runner that goes through the setuid starter at starterPath (extra arguments only for
// the test build of the starter).
std::unique_ptr<PrivilegedRunner> makeSystemRunner(std::string starterPath, std::vector<std::string> starterArgs = {});

// The sandbox runner when KEEPWALL_ROOT names a sandbox, else the installed starter.
std::unique_ptr<PrivilegedRunner> makeDefaultRunner();

// The environment every program started as root gets: KEEPWALL_ROOT when a root is set.
std::vector<std::string> privilegedEnvironment();

} // namespace kw
