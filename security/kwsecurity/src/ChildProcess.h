#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kw {

struct ChildSpec {
    std::string executable;
    std::vector<std::string> argv;
    std::vector<std::string> environment; // the whole environment, nothing inherited
    bool pipeOutput = false;
    bool newUserNamespace = false; // become root in a fresh user namespace first
    int stdinFd = -1;              // becomes standard input; /dev/null when -1
    int statusFd = -1;             // becomes descriptor 3 when given
};

struct ChildStart {
    int error = 0;         // errno of the failed step, 0 when the program runs
    const char* step = ""; // what failed
    pid_t pid = -1;
    int outputFd = -1;
};

// Forks and execs. Only standard input, output (a pipe when asked), error and the status
// descriptor reach the program; every other descriptor is closed on exec. A failure in the
// child before the exec comes back as error/step and the child is reaped.
ChildStart spawnChild(const ChildSpec& setup);

// True when this process can make a user namespace and map itself to root in it.
bool userNamespacesAvailable();

} // namespace kw
