#pragma once

#include "base/PlistValue.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw::platform {

// One process as the host's /proc shows it.
struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    uid_t uid = 0;
    bool hasTerminal = false;
    bool zombie = false;              // ended, not yet reaped by its parent
    unsigned long long startTime = 0; // clock ticks after boot; tells a reused pid apart
    std::string name;                 // the kernel's short name
    std::vector<std::string> arguments;
};

std::optional<ProcessInfo> readProcess(pid_t pid);

// Which processes belong to a system root. Every stand-in daemon registers itself in its
// root's registry (var/run/kw-platform/processes/<pid>.plist with its start time), and every
// process whose initial environment holds KEEPWALL_ROOT naming the same root belongs to it as
// well (the commands the system runs inherit the root). So the ps of one root never shows the
// daemons of another, also when it cannot read another user's environment.
class ProcessRegistry {
public:
    struct Entry {
        pid_t pid = 0;
        std::string program;
        Value info;
    };

    static std::string folder();

    // Records the calling process under its program name ("natd"), with facts for other
    // stand-ins (natd's divert port, interface and redirections). Call it with the registry
    // lock held when the check before it must be atomic with it (see lock()).
    static bool registerSelf(const std::string& program, const Value& info, std::string& error);
    static void unregisterSelf();

    // Live entries (start time still matching), optionally of one program only.
    static std::vector<Entry> liveEntries(const std::string& program = {});

    // The registry's lock file, for a check-then-register that must not race.
    static std::string lockPath();
};

// The processes of the root in force, by pid. The caller's own root when root is empty.
std::vector<ProcessInfo> processesOfRoot();

// True when the live process with this pid belongs to the root in force.
bool processBelongsToRoot(pid_t pid);

} // namespace kw::platform
