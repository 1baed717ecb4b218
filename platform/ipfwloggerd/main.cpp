// The packet filter's logger daemon of the emulated platform. While it runs (pid file
// "/var/run/ipfwlogger.pid" under the root), packet-filter log lines at net.inet.ip.fw.verbose 2
// reach "/var/log/ipfw.log" (see SystemLogs::logFirewallLine). It goes to the background at
// once; a second one refuses while the first runs. SIGQUIT, SIGTERM or SIGINT end it.
#include "common/Daemon.h"
#include "common/PlatformRoot.h"
#include "common/ProcessTable.h"
#include "common/StateFile.h"
#include "common/SystemLogs.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace kw::platform;

int main(int argc, char**)
{
    setProgramName("ipfwloggerd");
    if (argc > 1) {
        std::fprintf(stderr, "usage: ipfwloggerd\n");
        return 1;
    }
    if (!establishRoot("/usr/libexec/ipfwloggerd")) {
        return 1;
    }
    if (!isSuperUser()) {
        complain("must be run as root");
        return 1;
    }
    std::string error;
    Daemon daemon;
    if (!daemon.detach(error)) {
        complain(error);
        return 1;
    }
    const std::string pidFile = kw::SystemRoot::path(SystemLogs::kLoggerPidFile);
    {
        if (!kw::makeDirectories(runFolder(), 0755)) {
            daemon.fail(std::string("cannot create ") + runFolder() + ": " + std::strerror(errno));
        }
        FileLock lock;
        if (!lock.acquire(ProcessRegistry::lockPath(), FileLock::Mode::Exclusive, error)) {
            daemon.fail(error);
        }
        if (const pid_t running = SystemLogs::runningLogger(); running != 0) {
            daemon.fail("already running (pid " + std::to_string(running) + ")");
        }
        if (!ProcessRegistry::registerSelf("ipfwloggerd", kw::Value(), error)) {
            daemon.fail(error);
        }
        if (!kw::writeFileAtomically(pidFile, Daemon::pidFileText(), 0644)) {
            ProcessRegistry::unregisterSelf();
            daemon.fail(std::string("cannot write ") + SystemLogs::kLoggerPidFile + ": " + std::strerror(errno));
        }
    }
    daemon.ready();
    daemon.runUntilEndSignal(pidFile);
    return 0;
}
