// Makes or refreshes a sandbox system root:
//   kw-sandbox <folder>
// - the platform's commands at their usual places: copies of the stand-ins that lie beside
//   kw-sandbox (copies, not links: the sandbox keeps working while the build folder is being
//   rebuilt, a running daemon's executable is never overwritten in place, and each copy finds
//   its root from its own location); /sbin/ipfw once the build has kw-ipfw;
// - links to the host's rm, cat, grep, tail, kill, nslookup and whois where the host has them;
// - etc/services (the host's, plus the divert entry "natd 8668/divert") and etc/protocols;
// - an example network preferences document and dynamic store, the (empty) settings store
//   folder, the system logs and dev/console (a plain file);
// - the emulated kernel's state (interfaces lo0, en0, en1, ppp0; routes; variables);
// - the demo administrator: etc/pam.d/keepwall naming pam_kwsandbox.so, which accepts the user
//   who prepared the sandbox with the password "keepwall" (DemoAdministrator.h).
// Running it again updates the commands and the name databases and keeps all state: documents,
// logs and kernel state that exist are left as they are (a corrupt state file is reported), and
// so are a PAM stack the user wrote and an account file that already names the user.
#include "DemoAdministrator.h"
#include "KernelBackend.h"
#include "common/KernelVariables.h"
#include "common/NetworkInterfaces.h"
#include "common/PlatformRoot.h"
#include "common/RoutingTable.h"
#include "common/StateFile.h"

#include "base/AtomicFile.h"
#include "base/PlistValue.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using kw::Value;
using namespace kw::platform;

namespace {

struct StandIn {
    const char* executable; // beside kw-sandbox in the build folder
    const char* systemPath;
    bool optional;
};

// The ipfw stand-in is built on its own; it is installed as soon as the build folder has it.
const StandIn kStandIns[] = {
    { "kw-ipfw", "/sbin/ipfw", true },
    { "kw-ifconfig", "/sbin/ifconfig", false },
    { "kw-route", "/sbin/route", false },
    { "kw-ps", "/bin/ps", false },
    { "kw-natd", "/usr/sbin/natd", false },
    { "kw-sysctl", "/usr/sbin/sysctl", false },
    { "kw-periodic", "/usr/sbin/periodic", false },
    { "kw-ipfwloggerd", "/usr/libexec/ipfwloggerd", false },
};

// Host programs the system names by path, linked when the host has them.
const char* const kHostPrograms[][2] = {
    { "rm", "/bin/rm" },           { "cat", "/bin/cat" },       { "kill", "/bin/kill" },
    { "grep", "/usr/bin/grep" },   { "tail", "/usr/bin/tail" }, { "nslookup", "/usr/bin/nslookup" },
    { "whois", "/usr/bin/whois" },
};

const char* const kDivertEntry = "natd\t\t8668/divert\t\t# Network Address Translation socket";

std::string parentOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('/'));
}

bool fail(const std::string& message)
{
    complain(message);
    return false;
}

bool ensureFolder(const std::string& systemPath, mode_t mode = 0755)
{
    if (!kw::makeDirectories(kw::SystemRoot::path(systemPath), mode)) {
        return fail("cannot create " + kw::SystemRoot::path(systemPath) + ": " + std::strerror(errno));
    }
    return true;
}

// Writes the bytes unless the file already holds exactly them.
bool writeIfDifferent(const std::string& hostPath, const std::string& bytes, mode_t mode)
{
    std::string current;
    struct stat st {};
    if (kw::readFile(hostPath, current) && current == bytes && ::lstat(hostPath.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode) && (st.st_mode & 07777) == mode) {
        return true;
    }
    if (!kw::writeFileAtomically(hostPath, bytes, mode)) {
        return fail("cannot write " + hostPath + ": " + std::strerror(errno));
    }
    return true;
}

// Creates the file with the bytes only when nothing is there yet.
bool createIfMissing(const std::string& systemPath, const std::string& bytes, mode_t mode)
{
    const std::string path = kw::SystemRoot::path(systemPath);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return true;
    }
    if (!ensureFolder(parentOf(systemPath))) {
        return false;
    }
    if (!kw::writeFileAtomically(path, bytes, mode)) {
        return fail("cannot write " + path + ": " + std::strerror(errno));
    }
    return true;
}

bool installStandIns(const std::string& buildFolder)
{
    for (const auto& s : kStandIns) {
        const std::string source = buildFolder + "/" + s.executable;
        std::string bytes;
        if (!kw::readFile(source, bytes)) {
            if (s.optional && errno == ENOENT) {
                continue;
            }
            return fail("cannot read " + source + ": " + std::strerror(errno));
        }
        if (!ensureFolder(parentOf(s.systemPath)) ||
            !writeIfDifferent(kw::SystemRoot::path(s.systemPath), bytes, 0755)) {
            return false;
        }
    }
    return true;
}

std::string hostProgram(const std::string& name)
{
    for (const char* folder : { "/bin/", "/usr/bin/", "/sbin/", "/usr/sbin/" }) {
        const std::string candidate = folder + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

bool linkHostPrograms()
{
    for (const auto& [name, systemPath] : kHostPrograms) {
        const std::string target = hostProgram(name);
        if (target.empty()) {
            continue;
        }
        const std::string path = kw::SystemRoot::path(systemPath);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                continue; // something of the sandbox's own stands there
            }
            char current[PATH_MAX];
            const ssize_t n = ::readlink(path.c_str(), current, sizeof current - 1);
            if (n >= 0 && std::string(current, static_cast<size_t>(n)) == target) {
                continue;
            }
            ::unlink(path.c_str());
        }
        if (!ensureFolder(parentOf(systemPath))) {
            return false;
        }
        if (::symlink(target.c_str(), path.c_str()) != 0) {
            return fail("cannot link " + path + ": " + std::strerror(errno));
        }
    }
    return true;
}

bool installNameDatabases()
{
    if (!ensureFolder("/etc")) {
        return false;
    }
    std::string services;
    if (!kw::readFile("/etc/services", services)) {
        services =
            "ftp\t\t21/tcp\nssh\t\t22/tcp\ntelnet\t\t23/tcp\nsmtp\t\t25/tcp\ndomain\t\t53/tcp\ndomain\t\t53/udp\n"
            "http\t\t80/tcp\npop3\t\t110/tcp\nntp\t\t123/udp\nimap\t\t143/tcp\nhttps\t\t443/tcp\n";
    }
    if (!services.empty() && services.back() != '\n') {
        services += "\n";
    }
    services += std::string(kDivertEntry) + "\n";
    std::string protocols;
    if (!kw::readFile("/etc/protocols", protocols)) {
        protocols = "ip\t0\tIP\nicmp\t1\tICMP\nigmp\t2\tIGMP\ntcp\t6\tTCP\nudp\t17\tUDP\ngre\t47\tGRE\n"
                    "esp\t50\tIPSEC-ESP\nah\t51\tIPSEC-AH\n";
    }
    return writeIfDifferent(kw::SystemRoot::path("/etc/services"), services, 0644) &&
           writeIfDifferent(kw::SystemRoot::path("/etc/protocols"), protocols, 0644);
}

Value strings(std::initializer_list<const char*> list)
{
    Value::Array a;
    for (const char* s : list) {
        a.push_back(Value(s));
    }
    return Value(std::move(a));
}

// The sandbox's network services, in service order: one configured by hand, one by DHCP and
// a modem.
struct SandboxService {
    const char* id;
    const char* name;
    const char* device;
    const char* hardware;
    const char* type;
    const char* subType; // "" for none
    const char* configMethod;
    const char* address; // the manual addressing; "" for none
    const char* subnetMask;
    const char* router;
};
constexpr SandboxService kSandboxServices[] = {
    { "1", "Ethernet 1", "en0", "Ethernet", "Ethernet", "", "Manual", "192.168.1.2", "255.255.255.0", "192.168.1.1" },
    { "2", "Ethernet 2", "en1", "Ethernet", "Ethernet", "", "DHCP", "", "", "" },
    { "3", "Modem", "modem", "Modem", "PPP", "PPPSerial", "PPP", "", "", "" },
};

Value networkService(const SandboxService& s)
{
    Value interface;
    interface.set("DeviceName", Value(s.device));
    interface.set("Hardware", Value(s.hardware));
    interface.set("Type", Value(s.type));
    if (*s.subType != '\0') {
        interface.set("SubType", Value(s.subType));
    }
    interface.set("UserDefinedName", Value(s.name));
    Value ipv4;
    ipv4.set("ConfigMethod", Value(s.configMethod));
    if (*s.address != '\0') {
        ipv4.set("Addresses", strings({ s.address }));
        ipv4.set("SubnetMasks", strings({ s.subnetMask }));
        ipv4.set("Router", Value(s.router));
    }
    Value service;
    service.set("UserDefinedName", Value(s.name));
    service.set("Interface", interface);
    service.set("IPv4", ipv4);
    return service;
}

Value networkPreferences()
{
    Value services;
    for (const auto& s : kSandboxServices) {
        services.set(s.id, networkService(s));
    }

    Value links;
    Value::Array order;
    for (const auto& s : kSandboxServices) {
        Value link;
        link.set("__LINK__", Value(std::string("/NetworkServices/") + s.id));
        links.set(s.id, link);
        order.emplace_back(s.id);
    }
    Value ipv4Order;
    ipv4Order.set("ServiceOrder", Value(std::move(order)));
    Value global;
    global.set("IPv4", ipv4Order);
    Value network;
    network.set("Service", links);
    network.set("Global", global);
    Value set0;
    set0.set("UserDefinedName", Value("Automatic"));
    set0.set("Network", network);
    Value sets;
    sets.set("0", set0);

    Value system;
    Value systemInner;
    systemInner.set("ComputerName", Value("Keepwall Sandbox"));
    system.set("System", systemInner);

    Value doc;
    doc.set("CurrentSet", Value("/Sets/0"));
    doc.set("NetworkServices", services);
    doc.set("Sets", sets);
    doc.set("System", system);
    return doc;
}

Value dynamicStore()
{
    Value setup;
    setup.set("CurrentSet", Value("/Sets/0"));
    Value globalIPv4;
    globalIPv4.set("PrimaryService", Value("1"));
    globalIPv4.set("PrimaryInterface", Value("en0"));
    globalIPv4.set("Router", Value("192.168.1.1"));
    Value en0;
    en0.set("Addresses", strings({ "192.168.1.2" }));
    en0.set("SubnetMasks", strings({ "255.255.255.0" }));
    Value en1;
    en1.set("Addresses", strings({ "10.0.1.3" }));
    en1.set("SubnetMasks", strings({ "255.255.255.0" }));
    Value store;
    store.set("Setup:", setup);
    store.set("State:/Network/Global/IPv4", globalIPv4);
    store.set("State:/Network/Interface/en0/IPv4", en0);
    store.set("State:/Network/Interface/en1/IPv4", en1);
    return store;
}

bool seedKernelState()
{
    std::string error;
    if (!KernelVariables::stateFile().seed(Value(Value::Dictionary {}), error) ||
        !NetworkInterfaces::stateFile().seed(NetworkInterfaces::toValue(NetworkInterfaces::defaults()), error) ||
        !RoutingTable::stateFile().seed(RoutingTable::toValue(RoutingTable::defaults()), error)) {
        return fail(error);
    }
    // Seeding keeps what exists; the shapes are checked so a corrupt file is named now.
    std::vector<NetworkInterface> interfaces;
    std::vector<Route> routes;
    Value variables;
    if (!NetworkInterfaces::load(interfaces, error) || !RoutingTable::load(routes, error) ||
        KernelVariables::stateFile().read(variables, error) == StateFile::Status::Failed) {
        return fail(error);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("kw-sandbox");
    // --kernel chooses the kernel the root's commands drive; without it the choice stays.
    std::optional<kw::nft::KernelBackend> backend;
    int argi = 1;
    if (argc == 4 && std::strcmp(argv[1], "--kernel") == 0) {
        backend.emplace();
        if (!kw::nft::parseBackendWord(argv[2], *backend)) {
            complain(std::string("unknown kernel \"") + argv[2] + "\" (emulated, nftables or nftables:NETNS)");
            return 1;
        }
        argi = 3;
    }
    if (argc != argi + 1 || argv[argi][0] == '\0' || argv[argi][0] == '-') {
        std::fprintf(stderr, "usage: kw-sandbox [--kernel emulated|nftables[:NETNS]] <folder>\n");
        return 1;
    }
    std::string folder = argv[argi];
    if (folder.front() != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            complain(std::string("cannot read the working folder: ") + std::strerror(errno));
            return 1;
        }
        folder = std::string(cwd) + "/" + folder;
    }
    if (!kw::makeDirectories(folder, 0755)) {
        complain("cannot create " + folder + ": " + std::strerror(errno));
        return 1;
    }
    folder = canonicalRoot(folder);
    if (folder == "/") {
        complain("refusing to make the machine's own root \"/\" a sandbox");
        return 1;
    }
    ::setenv(kw::SystemRoot::kEnvironmentVariable, folder.c_str(), 1);

    const std::string self = kw::ownExecutablePath();
    if (self.empty()) {
        complain(std::string("cannot find this program's folder: ") + std::strerror(errno));
        return 1;
    }
    const std::string buildFolder = parentOf(self);

    const bool ok =
        ensureFolder("/var/db/kw-platform") && ensureFolder("/var/run/kw-platform/processes") &&
        ensureFolder("/var/log") && ensureFolder("/Library/Preferences/SystemConfiguration") && ensureFolder("/dev") &&
        installStandIns(buildFolder) && linkHostPrograms() && installNameDatabases() &&
        createIfMissing("/Library/Preferences/SystemConfiguration/preferences.plist",
                        kw::valueToXml(networkPreferences()), 0644) &&
        createIfMissing("/var/run/dynamic-store.plist", kw::valueToXml(dynamicStore()), 0644) &&
        createIfMissing("/var/log/system.log", "", 0644) && createIfMissing("/var/log/ipfw.log", "", 0644) &&
        createIfMissing("/dev/console", "", 0644) && seedKernelState() && installDemoAdministrator(buildFolder);
    if (ok && backend) {
        std::string error;
        if (!kw::nft::storeKernelBackend(*backend, error)) {
            fail(error);
            return 1;
        }
    }
    return ok ? 0 : 1;
}
