#include "KWNatdManager.h"

#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/Log.h"
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "network/KWDynamicStore.h"
#include "rules/ConfigurationText.h"
#include "rules/SettingTypeError.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>

namespace kw {

namespace {

constexpr const char* kIpfw = "/sbin/ipfw";
constexpr const char* kSysctl = "/usr/sbin/sysctl";
constexpr const char* kNatd = "/usr/sbin/natd";
constexpr const char* kPs = "/bin/ps";
constexpr const char* kNatdProgramText = "/usr/sbin/natd";
constexpr const char* kDivertRuleNumber = "1001";
constexpr const char* kAllowRuleNumber = "1500";

bool isDottedIPv4(const std::string& address)
{
    in_addr parsed {};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

// An interface name reaches ipfw, ifconfig and route as one argument, so no text in it can
// start a command; a leading "-" would still be read as an option, and an empty name means
// nothing.
bool isUsableInterfaceName(const std::string& name)
{
    return !name.empty() && name.front() != '-';
}

const Value::Array& gatewaysOf(const Value* setting)
{
    static const Value::Array kNone;
    const Value* nat = setting ? setting->get(keys::kNatConfig) : nullptr;
    const Value* gateways = nat ? nat->get(keys::kGateways) : nullptr;
    const Value::Array* list = gateways ? gateways->array() : nullptr;
    return list ? *list : kNone;
}

std::vector<std::string> splitAtSpaces(std::string_view line)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t space = line.find(' ', start);
        pieces.emplace_back(
            line.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
        if (space == std::string_view::npos) {
            return pieces;
        }
        start = space + 1;
    }
}

} // namespace

KWNatdManager& KWNatdManager::sharedInstance()
{
    static KWNatdManager manager;
    return manager;
}

KWNatdManager::KWNatdManager()
{
    setSleeper(nullptr);
}

void KWNatdManager::setSleeper(Sleeper sleeper)
{
    if (sleeper) {
        m_sleep = std::move(sleeper);
    } else {
        m_sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    }
}

std::optional<std::int64_t> KWNatdManager::firstNumInList(const std::vector<std::string>& list)
{
    for (const auto& piece : list) {
        if (const std::int64_t n = leadingInteger(piece); n > 0) {
            return n;
        }
    }
    return std::nullopt;
}

std::vector<std::int64_t> KWNatdManager::natdPIDsFromListing(std::string_view listing)
{
    std::vector<std::int64_t> pids;
    size_t start = 0;
    while (start < listing.size()) {
        const size_t end = listing.find('\n', start);
        const std::string_view line =
            listing.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? listing.size() : end + 1;
        if (line.find(kNatdProgramText) == std::string_view::npos) {
            continue;
        }
        if (line.size() <= 2 || line.find("grep") != std::string_view::npos) {
            continue;
        }
        if (const auto pid = firstNumInList(splitAtSpaces(line))) {
            pids.push_back(*pid);
        }
    }
    return pids;
}

std::optional<std::vector<std::int64_t>> KWNatdManager::natdPIDs() const
{
    // The listing is filtered here rather than by a grep in a pipeline: no shell is needed.
    std::string listing;
    if (runCommandWithOutput(kPs, { "-awwwx", "-o", "pid,command" }, listing) == -1) {
        logLine("Error opening pipe");
        return std::nullopt;
    }
    return natdPIDsFromListing(listing);
}

bool KWNatdManager::natdIsRunning() const
{
    const auto pids = natdPIDs();
    return pids && !pids->empty();
}

std::string KWNatdManager::networkIPForGateway(const std::string& gateway)
{
    std::string parts[3];
    size_t start = 0;
    for (auto& part : parts) {
        const size_t dot = gateway.find('.', start);
        part =
            gateway.substr(std::min(start, gateway.size()), dot == std::string::npos ? std::string::npos : dot - start);
        start = dot == std::string::npos ? gateway.size() : dot + 1;
    }
    return parts[0] + "." + parts[1] + "." + parts[2] + ".0/24";
}

bool KWNatdManager::checkSystemStatus(int status)
{
    const int low = status & 0x7f;
    if (low == 0) {
        if (const int code = status >> 8; code > 0) {
            logf("IPFWManager: Tool exited with status %d", code);
        }
    } else if (low != 127) {
        logf("IPFWManager: Tool terminated from signal %d", low);
    }
    return true;
}

bool KWNatdManager::enableIPForwarding()
{
    const int status = runCommand(kSysctl, { "-w", "net.inet.ip.forwarding=1" });
    if (status == -1) {
        sendKWErrorNotification(errno, "Error enabling IP forwarding");
        return false;
    }
    return checkSystemStatus(status);
}

bool KWNatdManager::addDivertFilterOnInterface(const std::string& interfaceName)
{
    if (!isUsableInterfaceName(interfaceName)) {
        sendKWErrorNotification(0, "Error adding divert filter: \"" + interfaceName + "\" is not an interface name");
        return false;
    }
    const int status = runCommand(
        kIpfw, { "add", kDivertRuleNumber, "divert", "natd", "all", "from", "any", "to", "any", "via", interfaceName });
    if (status == -1) {
        sendKWErrorNotification(errno, "Error adding divert filter");
        return false;
    }
    return checkSystemStatus(status);
}

bool KWNatdManager::addAllowFilterForNetwork(const std::string& network, const std::string& interfaceName)
{
    const int status = KWRunningOnJaguar ? runCommand(kIpfw, { "add", kAllowRuleNumber, "allow", "all", "from", network,
                                                               "to", "any", "keep-state", "via", interfaceName })
                                         : runCommand(kIpfw, { "-q", "add", kAllowRuleNumber, "allow", "all", "from",
                                                               network, "to", "any", "via", interfaceName });
    if (status == -1) {
        logf("Error %d adding allow LAN filter", errno);
        return false;
    }
    return checkSystemStatus(status);
}

bool KWNatdManager::removeDivertFilter()
{
    if (const int status = runCommand(kIpfw, { "-q", "delete", kDivertRuleNumber }); status != -1) {
        checkSystemStatus(status);
    }
    const int status = runCommand(kIpfw, { "-q", "delete", kAllowRuleNumber });
    if (status == -1) {
        return false;
    }
    return checkSystemStatus(status);
}

bool KWNatdManager::stopNatdServer()
{
    bool allSignalled = true;
    const auto pids = natdPIDs();
    for (const std::int64_t pid : pids.value_or(std::vector<std::int64_t> {})) {
        if (pid <= 0 || pid > INT_MAX) {
            continue; // never a process id: kill() would read it as a group or as "every process"
        }
        if (::kill(static_cast<pid_t>(pid), SIGQUIT) != 0) {
            if (errno == ESRCH) {
                continue; // it ended between the listing and the signal: stopped all the same
            }
            sendKWErrorNotification(-1, "Error quitting natd");
            allSignalled = false;
        }
    }
    return allSignalled;
}

bool KWNatdManager::writeConfigFileToPath(const std::string& path)
{
    static const std::string kFailure = "Error writing natd config file";
    KeepwallPrefs prefs;
    const std::string key = prefs.currentSettingsKey().value_or(std::string());
    std::string text;
    try {
        // A line break in a gateway or port-map field would add natd options of its own.
        if (const Value* setting = prefs.settingForKey(key)) {
            Value sharingOnly;
            if (const Value* nat = setting->get(keys::kNatConfig)) {
                sharingOnly.set(keys::kNatConfig, *nat);
            }
            if (const auto unsafe = findUnsafeRuleText(sharingOnly)) {
                sendKWErrorNotification(0, kFailure + ": " + *unsafe);
                return false;
            }
        }
        text = prefs.natdTextForSettingKey(key);
    } catch (const SettingTypeError& e) {
        sendKWErrorNotification(0, kFailure + ": " + e.what());
        return false;
    }
    if (!writeFileAtomically(SystemRoot::path(path), text, 0644)) {
        sendKWErrorNotification(0, kFailure);
        return false;
    }
    return true;
}

bool KWNatdManager::startNatdServerWithConfigPath(const std::string& path)
{
    logf("Starting natd with config path:%s", path.c_str());
    const int status = runCommand(kNatd, { "-f", path });
    if (status == -1) {
        sendKWErrorNotification(errno, "Error starting natd server");
        return false;
    }
    checkSystemStatus(status);
    // natd keeps running in the background; one that ends at once must not be given the
    // divert rule, which would send the shared interface's packets nowhere.
    m_sleep(m_natdStartCheckDelay);
    if (!natdIsRunning()) {
        sendKWErrorNotification(0, "Error starting natd server: natd is not running");
        return false;
    }
    return true;
}

bool KWNatdManager::assureIPAddressesForSetting(const Value* setting)
{
    for (const Value& gateway : gatewaysOf(setting)) {
        const std::string address = stringValueOf(gateway.get(keys::kNatGatewayIp));
        if (integerValueOf(gateway.get(keys::kNatGatewayExternal)) != 0 && address == keys::kDefaultGatewayText) {
            continue;
        }
        const std::string interfaceName = stringValueOf(gateway.get(keys::kNatInterface));
        if (!isUsableInterfaceName(interfaceName)) {
            sendKWErrorNotification(0, "Refusing to add the address \"" + address + "\" to \"" + interfaceName +
                                           "\": not an interface name");
            continue;
        }
        if (!KWDynamicStore::sharedInstance().addAddress(address, interfaceName)) {
            return false;
        }
    }
    return true;
}

bool KWNatdManager::addAllowLANFiltersForSetting(const Value* setting)
{
    m_sleep(m_allowRulesDelay);
    for (const Value& gateway : gatewaysOf(setting)) {
        if (integerValueOf(gateway.get(keys::kNatGatewayExternal)) != 0 ||
            integerValueOf(gateway.get(keys::kNatAllowLocal)) <= 0) {
            continue;
        }
        const std::string address = stringValueOf(gateway.get(keys::kNatGatewayIp));
        const std::string interfaceName = stringValueOf(gateway.get(keys::kNatInterface));
        // Checked before the network text is built from the address.
        const char* problem = !isDottedIPv4(address)                  ? "not a dotted IPv4 address"
                              : !isUsableInterfaceName(interfaceName) ? "not an interface name"
                                                                      : nullptr;
        if (problem != nullptr) {
            sendKWErrorNotification(0, "Refusing to allow the network of \"" + address + "\" on \"" + interfaceName +
                                           "\": " + problem);
            continue;
        }
        const std::string network = networkIPForGateway(address);
        if (!addAllowFilterForNetwork(network, interfaceName)) {
            logf("Can't add filter to allow %s on %s", network.c_str(), interfaceName.c_str());
        }
    }
    return true;
}

bool KWNatdManager::addDivertFilterForSetting(const Value* setting)
{
    const auto interfaceName = KeepwallPrefs::natdInterfaceNameFromSetting(setting);
    if (!interfaceName) {
        sendKWErrorNotification(0, "Error adding divert filter: the setting names no shared interface");
        return false;
    }
    return addDivertFilterOnInterface(*interfaceName);
}

bool KWNatdManager::startIPSharing()
{
    KeepwallPrefs prefs;
    const Value* setting = prefs.currentSetting();
    if (!enableIPForwarding() || !assureIPAddressesForSetting(setting) || !writeConfigFileToPath(kNatdConfigPath) ||
        !startNatdServerWithConfigPath(kNatdConfigPath) || !addDivertFilterForSetting(setting)) {
        return false;
    }
    addAllowLANFiltersForSetting(setting);
    return true;
}

bool KWNatdManager::addLocalNetFilters()
{
    KeepwallPrefs prefs;
    addAllowLANFiltersForSetting(prefs.currentSetting());
    return true;
}

bool KWNatdManager::reactivateIPSharingFilters()
{
    KeepwallPrefs prefs;
    const Value* setting = prefs.currentSetting();
    if (!addDivertFilterForSetting(setting)) {
        return false;
    }
    addAllowLANFiltersForSetting(setting);
    return true;
}

bool KWNatdManager::stopIPSharing()
{
    if (!removeDivertFilter()) {
        logLine("Could not remove divert filter");
    }
    return stopNatdServer();
}

} // namespace kw
