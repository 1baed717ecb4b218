// The periodic maintenance of the emulated platform:
//   periodic daily | weekly | monthly ...
// "daily" rotates /var/log/system.log and /var/log/ipfw.log of the root (to .0, older
// generations one further, eight kept) and starts empty logs; weekly and monthly have nothing
// to do here. Prints nothing on success.
#include "common/PlatformRoot.h"
#include "common/SystemLogs.h"

#include <cstdio>
#include <string>

using namespace kw::platform;

int main(int argc, char** argv)
{
    setProgramName("periodic");
    if (argc < 2) {
        std::fprintf(stderr, "usage: periodic daily | weekly | monthly ...\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string period = argv[i];
        if (period != "daily" && period != "weekly" && period != "monthly") {
            complain(period + ": unknown period (daily, weekly or monthly)");
            return 1;
        }
    }
    if (!establishRoot("/usr/sbin/periodic")) {
        return 1;
    }
    if (!isSuperUser()) {
        complain("must be run as root");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "daily") {
            continue;
        }
        std::string error;
        if (!SystemLogs::rotate(error)) {
            complain(error);
            return 1;
        }
    }
    return 0;
}
