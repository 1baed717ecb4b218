// The address-translation daemon of the emulated platform:
//   natd [-f file] [-<keyword> [value]] ...
// Reads its configuration (the file's "keyword value" lines and the same keywords as options),
// refuses to start on any unknown keyword or bad value (naming the file and line), on an
// interface the machine lacks, and on a divert port another natd of this root holds. Then it
// goes to the background, registers in the root's process list (its command line shows
// "/usr/sbin/natd"), writes its pid file and waits; SIGQUIT, SIGTERM or SIGINT end it.
#include "common/Daemon.h"
#include "common/NatdConfiguration.h"
#include "common/NetworkInterfaces.h"
#include "common/PlatformRoot.h"
#include "common/ProcessTable.h"
#include "common/StateFile.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace kw::platform;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: natd [-f config_file] [-keyword [value]] ...\n");
    return 1;
}

bool readConfigFile(const std::string& systemPath, NatdConfiguration& config)
{
    std::string text;
    if (!kw::readFile(kw::SystemRoot::path(systemPath), text)) {
        complain(systemPath + ": " + std::strerror(errno));
        return false;
    }
    std::string error;
    if (!config.readText(text, systemPath, error)) {
        complain(error);
        return false;
    }
    return true;
}

bool interfacesExist(const NatdConfiguration& config)
{
    std::vector<NetworkInterface> interfaces;
    std::string error;
    if (!NetworkInterfaces::load(interfaces, error)) {
        complain(error);
        return false;
    }
    for (const auto& instance : config.instances) {
        if (instance.interfaceName.empty()) {
            continue;
        }
        const bool found = std::any_of(interfaces.begin(), interfaces.end(),
                                       [&](const NetworkInterface& i) { return i.name == instance.interfaceName; });
        if (!found) {
            complain("unknown interface name " + instance.interfaceName);
            return false;
        }
    }
    return true;
}

kw::Value registryInfo(const NatdConfiguration& config)
{
    kw::Value::Array instances;
    for (const auto& i : config.instances) {
        instances.push_back(i.toValue());
    }
    kw::Value info;
    info.set("Instances", kw::Value(std::move(instances)));
    return info;
}

std::vector<int> divertPorts(const kw::Value& info)
{
    std::vector<int> ports;
    if (const kw::Value* list = info.get("Instances"); list != nullptr && list->array() != nullptr) {
        for (const auto& i : *list->array()) {
            ports.push_back(static_cast<int>(kw::integerValueOf(i.get("DivertPort"))));
        }
    }
    return ports;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("natd");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!establishRoot("/usr/sbin/natd")) {
        return 1;
    }
    NatdConfiguration config;
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (a.size() < 2 || a[0] != '-') {
            complain("unexpected argument '" + a + "'");
            return usage();
        }
        std::string keyword = a.substr(a[1] == '-' ? 2 : 1);
        switch (NatdConfiguration::arity(keyword)) {
        case NatdConfiguration::Arity::Unknown:
            complain("unknown option " + a);
            return usage();
        case NatdConfiguration::Arity::Config:
            if (k + 1 >= args.size()) {
                complain(a + ": a file is required");
                return usage();
            }
            if (!readConfigFile(args[++k], config)) {
                return 1;
            }
            break;
        case NatdConfiguration::Arity::Boolean: {
            std::optional<std::string> value;
            if (k + 1 < args.size() && (args[k + 1] == "yes" || args[k + 1] == "no")) {
                value = args[++k];
            }
            std::string error;
            if (!config.apply(keyword, value, error)) {
                complain(error);
                return 1;
            }
            break;
        }
        case NatdConfiguration::Arity::Value: {
            if (k + 1 >= args.size()) {
                complain(a + ": a value is required");
                return usage();
            }
            std::string error;
            if (!config.apply(keyword, args[++k], error)) {
                complain(error);
                return 1;
            }
            break;
        }
        }
    }
    std::string error;
    if (!config.validate(error)) {
        complain(error);
        return 1;
    }
    if (!isSuperUser()) {
        complain("Unable to create divert socket.: Operation not permitted");
        return 1;
    }
    if (!interfacesExist(config)) {
        return 1;
    }

    Daemon daemon;
    if (!daemon.detach(error)) {
        complain(error);
        return 1;
    }
    // From here on this is the daemon; every failure goes back to the starting process.
    const kw::Value info = registryInfo(config);
    {
        if (!kw::makeDirectories(runFolder(), 0755)) {
            daemon.fail(std::string("cannot create ") + runFolder() + ": " + std::strerror(errno));
        }
        FileLock lock;
        if (!lock.acquire(ProcessRegistry::lockPath(), FileLock::Mode::Exclusive, error)) {
            daemon.fail(error);
        }
        // One divert port, one natd: a second one cannot bind it.
        const auto mine = divertPorts(info);
        for (const auto& other : ProcessRegistry::liveEntries("natd")) {
            for (int port : divertPorts(other.info)) {
                if (std::find(mine.begin(), mine.end(), port) != mine.end()) {
                    daemon.fail("Unable to bind divert socket.: Address already in use (port " + std::to_string(port) +
                                ", natd " + std::to_string(other.pid) + ")");
                }
            }
        }
        if (!ProcessRegistry::registerSelf("natd", info, error)) {
            daemon.fail(error);
        }
    }
    const std::string pidFile = kw::SystemRoot::path(config.pidFile);
    if (!kw::writeFileAtomically(pidFile, Daemon::pidFileText(), 0644)) {
        ProcessRegistry::unregisterSelf();
        daemon.fail("cannot write " + config.pidFile + ": " + std::strerror(errno));
    }
    daemon.ready();
    daemon.runUntilEndSignal(pidFile);
    return 0;
}
