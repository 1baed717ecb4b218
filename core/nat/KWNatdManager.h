#pragma once

#include "base/PlistValue.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// Turns IP sharing on and off: IP forwarding, the gateways' alias addresses, the natd
// configuration file, natd itself, the divert rule 1001 that hands the shared interface's
// packets to natd and the allow rules 1500 that let the local networks out. Whether sharing
// is on is read from the system each time (natd shows in the process listing).
//
// Every command runs without a shell: interface names and addresses from the settings reach
// ipfw, ifconfig and route as single arguments. Addresses that are not dotted IPv4 and
// interface names that are empty or look like options are refused with an error notification.
class KWNatdManager {
public:
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    static constexpr const char* kNatdConfigPath = "/etc/natd.conf";
    static constexpr std::chrono::milliseconds kDefaultAllowRulesDelay { 1000 };
    static constexpr std::chrono::milliseconds kDefaultNatdStartCheckDelay { 500 };

    static KWNatdManager& sharedInstance();

    // One process id per running natd, in the order of the listing; none when the listing
    // command cannot be started.
    std::optional<std::vector<std::int64_t>> natdPIDs() const;
    bool natdIsRunning() const;
    // The natd process ids in a "PID COMMAND" listing: lines holding "/usr/sbin/natd", without
    // the ones of 2 characters or fewer or holding "grep"; from each the first piece (split at
    // single spaces) whose leading integer is positive.
    static std::vector<std::int64_t> natdPIDsFromListing(std::string_view listing);
    static std::optional<std::int64_t> firstNumInList(const std::vector<std::string>& list);
    // "a.b.c.0/24" for the gateway address "a.b.c.d".
    static std::string networkIPForGateway(const std::string& gateway);

    bool enableIPForwarding();
    bool addDivertFilterOnInterface(const std::string& interfaceName);
    bool addAllowFilterForNetwork(const std::string& network, const std::string& interfaceName);
    bool removeDivertFilter();
    // Sends SIGQUIT to every listed natd; false when a signal could not be sent.
    bool stopNatdServer();
    // Logs a command's abnormal end; always true.
    static bool checkSystemStatus(int status);
    // Writes the current setting's natd text atomically (path is a system path).
    bool writeConfigFileToPath(const std::string& path);
    // Starts natd on the file, then makes sure it is still running a moment later: a natd
    // that dies at once (for instance on a bad configuration) is reported and answers false.
    bool startNatdServerWithConfigPath(const std::string& path);
    bool assureIPAddressesForSetting(const Value* setting);
    bool addAllowLANFiltersForSetting(const Value* setting);

    bool startIPSharing();
    bool addLocalNetFilters();
    bool reactivateIPSharingFilters();
    // Removes the rules and stops natd; false when natd could not be signalled.
    bool stopIPSharing();

    // How the manager waits (tests observe the waits instead of sleeping), and how long:
    // before the allow rules (natd needs a moment to take its divert socket), and before
    // looking whether a freshly started natd still runs.
    void setSleeper(Sleeper sleeper);
    void setAllowRulesDelay(std::chrono::milliseconds delay) { m_allowRulesDelay = delay; }
    void setNatdStartCheckDelay(std::chrono::milliseconds delay) { m_natdStartCheckDelay = delay; }
    std::chrono::milliseconds allowRulesDelay() const { return m_allowRulesDelay; }
    std::chrono::milliseconds natdStartCheckDelay() const { return m_natdStartCheckDelay; }

private:
    KWNatdManager();
    bool addDivertFilterForSetting(const Value* setting);

    Sleeper m_sleep;
    std::chrono::milliseconds m_allowRulesDelay = kDefaultAllowRulesDelay;
    std::chrono::milliseconds m_natdStartCheckDelay = kDefaultNatdStartCheckDelay;
};

} // namespace kw
