// wallctl: makes every change to kernel state and root-owned files, one command word per run.
#include "Commands.h"

#include "base/Log.h"
#include "base/Release.h"

#include <exception>
#include <unistd.h>

int main(int argc, char** argv)
{
    kw::setLogIdentity("wallctl");
    // Remember who started us before becoming root everywhere: replies on the message port
    // are taken only from that user's server (or root's).
    const uid_t invokingUid = ::getuid();

    [[maybe_unused]] int ignored = ::setuid(0);
    ignored = ::setgid(0);
    ignored = ::setegid(0);
    if (::geteuid() != 0) {
        kw::logf("You must have root privileges to run wallctl. EUID==%d UID==%d", static_cast<int>(::geteuid()),
                 static_cast<int>(::getuid()));
        return 1;
    }
    ignored = ::setuid(0);
    ignored = ::setgid(0);
    ignored = ::setegid(0);

    kw::setReleaseFlagsFromEnvironment();

    try {
        kw::KeepwallPrefs prefs;
        kw::tool::ToolContext context {std::vector<std::string>(argv, argv + argc), prefs, stdout, stderr,
                                       invokingUid};
        if (argc < 2) {
            kw::tool::logUsage(argc > 0 ? argv[0] : "wallctl");
        } else {
            kw::tool::dispatch(context);
        }
    } catch (const std::exception& e) {
        kw::logf("Exception raised:%s", e.what());
    }
    return 0;
}
