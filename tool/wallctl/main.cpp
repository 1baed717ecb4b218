// wallctl: makes every change to kernel state and root-owned files, one command word per run.
#include "Commands.h"

#include "base/Log.h"
#include "base/Release.h"

#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// The real user id of the process that started us: the application (the privileged starter
// replaces itself with the tool), or an administrator's shell. Our own ids are all 0 by now.
uid_t starterUid()
{
    std::ifstream status("/proc/" + std::to_string(::getppid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            char* end = nullptr;
            const unsigned long uid = std::strtoul(line.c_str() + 4, &end, 10);
            if (end != line.c_str() + 4) {
                return static_cast<uid_t>(uid);
            }
        }
    }
    return ::getuid();
}

} // namespace

int main(int argc, char** argv)
{
    kw::setLogIdentity("wallctl");
    // Replies on the message port are taken only from a server of the user who started us
    // (or of root).
    const uid_t invokingUid = starterUid();

    [[maybe_unused]] int ignored = ::setuid(0);
    ignored = ::setgid(0);
    ignored = ::setegid(0);
    if (::geteuid() != 0) {
        kw::logf("You must have root privileges to run wallctl. EUID==%d UID==%d", static_cast<int>(::geteuid()),
                 static_cast<int>(::getuid()));
        return kw::tool::kExitNotRoot;
    }
    ignored = ::setuid(0);
    ignored = ::setgid(0);
    ignored = ::setegid(0);

    kw::setReleaseFlagsFromEnvironment();

    int status = kw::tool::kExitSuccess;
    try {
        // The settings document can hold tens of thousands of filters, and freeing it value by
        // value took a fifth of a run. The tool ends right after its one command, so the
        // document is left for the end of the process to reclaim.
        static kw::KeepwallPrefs& prefs = *new kw::KeepwallPrefs;
        kw::tool::ToolContext context { std::vector<std::string>(argv, argv + argc), prefs, stdout, stderr,
                                        invokingUid };
        if (argc < 2) {
            kw::tool::logUsage(argc > 0 ? argv[0] : "wallctl");
            status = kw::tool::kExitUsage;
        } else {
            status = kw::tool::dispatch(context);
        }
    } catch (const std::exception& e) {
        kw::logf("Exception raised:%s", e.what());
        status = kw::tool::kExitCommandFailed;
    }
    return status;
}
