#pragma once

#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw::authexec {

// How the starter is set up. The installed program uses installedConfig(); the test build
// points PAM, the account check and the allow list at a test folder.
struct AuthexecConfig {
    std::string pamService = "keepwall";
    std::string pamConfDir; // empty: the system's
    std::vector<std::string> allowList;
    std::set<uid_t> trustedOwners { 0 };
    std::function<bool(const std::string&)> isAdministrator;
    int expectedArgc = 1;
};

AuthexecConfig installedConfig();

// The whole starter. Protocol: standard input is a pipe carrying one request (AuthexecRequest.h)
// up to end of file; file descriptor 3 is a pipe for the status. A refusal writes its result
// code (32-bit, native order) to descriptor 3 and exits with 126. "check" writes 0 and exits
// with 0. "exec" replaces the process with the program; the status pipe then closes without
// a word (it is close-on-exec), which tells the caller that the program started.
int authexecMain(int argc, char** argv, char** envp, const AuthexecConfig& config);

} // namespace kw::authexec
