#pragma once

#include "AuthexecPolicy.h"
#include "GuessCounter.h"

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw::authexec {

// How the starter is set up. The installed program uses installedConfig(); the test build
// points PAM, the account checks, the program list, the counting state and a copy of the
// log at a test folder, with short delays.
struct AuthexecConfig {
    std::string pamService = "keepwall";
    std::string pamConfDir; // empty: the system's
    std::vector<AllowedProgram> programs;
    std::set<uid_t> trustedOwners { 0 };
    std::function<bool(const std::string&)> isAdministrator;
    std::function<bool(const std::string&)> isKnownAccount; // known names get a guess record of their own
    int expectedArgc = 1;
    // Folders tried in turn for the guess records; the first whose parent exists is used.
    std::vector<std::string> stateDirs;
    GuessPolicy guessPolicy;
    // Every refused check is answered this long after the password check began.
    std::chrono::milliseconds denialTime { 2000 };
    // How long the caller has to deliver the whole request.
    std::chrono::milliseconds requestTimeout { 10000 };
    std::string logCopyPath; // test builds: the log lines are appended here too
};

AuthexecConfig installedConfig();

// The whole starter. Protocol: standard input is a pipe carrying one request (AuthexecRequest.h)
// up to end of file; file descriptor 3 is a pipe for the status. A refusal writes its result
// code (32-bit, native order) to descriptor 3 and exits with 126. "check" writes 0 and exits
// with 0. "exec" writes kExecStartingWord and replaces the process with the program; the
// status pipe then closes (it is close-on-exec), or, when the exec fails, a result code follows.
int authexecMain(int argc, char** argv, char** envp, const AuthexecConfig& config);

} // namespace kw::authexec
