// Rule files generated from quick settings, loaded with the system's own command lines and
// replayed with traffic: what the settings allow passes, the rest meets the default policies,
// answers come back through keep-state (10.2 and later) or the mirrored rules (10.1), and the
// logged packets come out as kernel log lines that the log archive reads back.
#include "CommandSupport.h"

#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "logarchive/KWLogManager.h"
#include "rules/ConfigurationText.h"
#include "rules/ServiceFilter.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kw;
using namespace kw::keys;
using namespace kw::ipfwemu::test;

namespace {

Value num(std::int64_t n)
{
    return Value::integer(n);
}

Value dict(std::initializer_list<std::pair<const char*, Value>> entries)
{
    Value::Dictionary d;
    for (const auto& [key, value] : entries) {
        d[key] = value;
    }
    return Value(std::move(d));
}

Value filter(const char* label, const char* action, const char* protocol, const char* port)
{
    return dict({ { ServiceFilterLabel, label },
                  { ServiceFilterAction, action },
                  { ServiceFilterProtocol, protocol },
                  { ServiceFilterPort, port },
                  { ServiceFilterSrcHostType, num(kHostInternet) },
                  { ServiceFilterSrcHost, "any" },
                  { ServiceFilterDstHostType, num(kHostMyComputer) },
                  { ServiceFilterDstHost, "any" } });
}

// en0: DHCP, DNS, SSH allowed in; everything out allowed; everything else in denied and logged.
Value officeInterface()
{
    return dict({ { kInterfaceName, "en0" },
                  { kEnableFirewall, num(1) },
                  { kAdvAllowBootp, num(1) },
                  { kAdvAllowDns, num(1) },
                  { kAdvDnsType, num(0) },
                  { kIpHostAddressType, num(0) },
                  { kDefaultOutgoingAllow, num(0) },
                  { kDefaultIncomingAllow, num(1) },
                  { kFilterList, Value(Value::Array { filter("SSH", "allow", "tcp", "22") }) } });
}

// en1: a web server that refuses telnet and lets everything else in.
Value labInterface()
{
    return dict({ { kInterfaceName, "en1" },
                  { kEnableFirewall, num(1) },
                  { kDefaultOutgoingAllow, num(0) },
                  { kDefaultIncomingAllow, num(2) },
                  { kFilterList, Value(Value::Array { filter("Web", "allow", "tcp", "80"),
                                                      filter("Telnet", "deny", "tcp", "23") }) } });
}

Value quickSetting(Value::Array interfaces)
{
    return dict({ { kSettingName, "Office" }, { kConfigMode, "0" }, { kInterfaceList, Value(std::move(interfaces)) } });
}

struct Traffic {
    const char* packet;
    const char* verdict;
};

class SettingReplay : public IPFWRootTest {
protected:
    void TearDown() override
    {
        ::unsetenv("KEEPWALL_RELEASE");
        setReleaseFlagsFromEnvironment();
    }

    // Generates the rule file for the release, loads it as activation does and replays the traffic.
    void activate(const char* release, const Value& setting)
    {
        ::setenv("KEEPWALL_RELEASE", release, 1);
        setReleaseFlagsFromEnvironment();
        root.writeFile("/etc/firewall.conf", ipfwTextForSetting(setting));
        ipfwOk({ "-f", "flush" });
        ipfwOk({ "-q", "/etc/firewall.conf" });
    }

    void replay(const std::vector<Traffic>& traffic)
    {
        std::string packets;
        for (const auto& t : traffic) {
            packets += std::string(t.packet) + "\n";
        }
        const std::string out = ipfwOk({ "inject", "-", "--me", "10.0.0.1" }, packets);
        std::size_t start = 0;
        for (const auto& t : traffic) {
            const auto end = out.find('\n', start);
            ASSERT_NE(end, std::string::npos) << "no verdict for " << t.packet << "\n" << out;
            const std::string verdict = out.substr(start, end - start);
            EXPECT_EQ(verdict, t.verdict) << t.packet;
            start = end + 1;
        }
    }

    std::vector<LogItem> logItems(const char* systemLog)
    {
        KWLogManager manager;
        manager.parseLogData(root.readFile(systemLog));
        return manager.currentLogItems();
    }
};

const std::vector<Traffic> kStatefulTraffic = {
    { "in via lo0 tcp 127.0.0.1:5000 -> 127.0.0.1:631 syn", "rule 1000 allow" },
    { "in via en0 tcp 1.2.3.4:40000 -> 10.0.0.1:22 syn", "rule 2002 allow" },
    { "out via en0 tcp 10.0.0.1:22 -> 1.2.3.4:40000 syn,ack", "rule 2002 allow (dynamic)" },
    { "in via en0 tcp 1.2.3.4:40000 -> 10.0.0.1:22 ack", "rule 2002 allow (dynamic)" },
    { "in via en0 tcp 1.2.3.4:40001 -> 10.0.0.1:80 syn", "rule 52004 deny" },
    { "in via en1 tcp 1.2.3.4:40002 -> 10.0.0.1:22 syn", "rule 65535 allow" },
    { "out via en0 tcp 10.0.0.1:50000 -> 93.184.216.34:80 syn", "rule 52003 allow" },
    { "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 syn,ack", "rule 52003 allow (dynamic)" },
    { "out via en0 udp 10.0.0.1:5353 -> 8.8.8.8:53", "rule 2001 allow" },
    { "in via en0 udp 8.8.8.8:53 -> 10.0.0.1:5353", "rule 2001 allow (dynamic)" },
    { "in via en0 udp 8.8.8.8:123 -> 10.0.0.1:5353", "rule 52004 deny" },
    { "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 0", "rule 1006 allow" },
    { "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 8", "rule 52004 deny" },
    { "in via en0 udp 10.0.0.254:67 -> 255.255.255.255:68", "rule 2000 allow" },
    { "in via en0 tcp 1.2.3.4 -> 10.0.0.1 frag", "rule 1005 allow" },
};

// The packets of the traffic above that the logging default policy refuses.
const std::vector<Traffic> kRefused = {
    { "in via en0 tcp 1.2.3.4:40001 -> 10.0.0.1:80 syn", "rule 52004 deny" },
    { "in via en0 udp 8.8.8.8:123 -> 10.0.0.1:5353", "rule 52004 deny" },
    { "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 8", "rule 52004 deny" },
};

} // namespace

TEST_F(SettingReplay, StatefulReleasesLetAnswersBackThroughDynamicRules)
{
    for (const char* release : { "10.2", "10.4" }) {
        activate(release, quickSetting({ officeInterface() }));
        replay(kStatefulTraffic);
    }
    const std::string listing = ipfwOk({ "-at", "list" });
    EXPECT_NE(listing.find("## Dynamic rules ("), std::string::npos) << listing;
}

TEST_F(SettingReplay, Release101AnswersComeBackThroughMirroredAndEstablishedRules)
{
    activate("10.1", quickSetting({ officeInterface() }));
    replay({
        { "in via lo0 tcp 127.0.0.1:5000 -> 127.0.0.1:631 syn", "rule 1000 allow" },
        { "in via en0 tcp 1.2.3.4:40000 -> 10.0.0.1:22 syn", "rule 2003 allow" },
        { "in via en0 tcp 1.2.3.4:40000 -> 10.0.0.1:22 ack", "rule 1004 allow" },
        { "in via en0 tcp 1.2.3.4:40001 -> 10.0.0.1:80 syn", "rule 52005 deny" },
        { "out via en0 tcp 10.0.0.1:50000 -> 93.184.216.34:80 syn", "rule 52004 allow" },
        { "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 syn,ack", "rule 1004 allow" },
        { "out via en0 udp 10.0.0.1:5353 -> 8.8.8.8:53", "rule 2001 allow" },
        { "in via en0 udp 8.8.8.8:53 -> 10.0.0.1:5353", "rule 2002 allow" },
        { "in via en0 udp 8.8.8.8:123 -> 10.0.0.1:5353", "rule 52005 deny" },
        { "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 8", "rule 52005 deny" },
    });
    EXPECT_EQ(ipfwOk({ "-at", "list" }).find("##"), std::string::npos) << "10.1 rules keep no state";
}

TEST_F(SettingReplay, SecondInterfaceBlockHasItsOwnPolicies)
{
    activate("10.4", quickSetting({ officeInterface(), labInterface() }));
    replay({
        { "in via en1 tcp 1.2.3.4:1000 -> 10.0.1.1:80 syn", "rule 3000 allow" },
        { "in via en1 tcp 1.2.3.4:1000 -> 10.0.1.1:23 syn", "rule 3001 deny" },
        { "in via en1 udp 1.2.3.4:1000 -> 10.0.1.1:9999", "rule 53003 allow" },
        { "in via en0 udp 1.2.3.4:1000 -> 10.0.0.1:9999", "rule 52004 deny" },
    });
}

TEST_F(SettingReplay, LoggedPacketsReachTheLogThatTheArchiveReads)
{
    struct Row {
        const char* release;
        std::int64_t verbose;
        const char* log;
        const char* otherLog;
        const char* line; // as the release's logger wrote it, after the host name
    };
    const Row rows[] = {
        { "10.4", 2, "/var/log/ipfw.log", "/var/log/system.log",
          " ipfw:  52004 Deny TCP 1.2.3.4:40001 10.0.0.1:80 in via en0\n" },
        { "10.2", 1, "/var/log/system.log", "/var/log/ipfw.log",
          " mach_kernel: ipfw: 52004 Deny TCP 1.2.3.4:40001 10.0.0.1:80 in via en0\n" },
    };
    for (const auto& row : rows) {
        root.writeFile(row.log, "");
        root.writeFile(row.otherLog, "");
        setKernelVariables({ { "net.inet.ip.fw.verbose", row.verbose }, { "net.inet.ip.fw.verbose_limit", 65535 } });
        activate(row.release, quickSetting({ officeInterface() }));
        replay(kStatefulTraffic);
        const auto items = logItems(row.log);
        ASSERT_EQ(items.size(), 3u) << row.release << "\n" << root.readFile(row.log);
        EXPECT_EQ(items[0].ruleNo, "52004");
        EXPECT_EQ(items[0].action, "Deny");
        EXPECT_EQ(items[0].proto, "TCP");
        EXPECT_EQ(items[0].srcHost, "1.2.3.4");
        EXPECT_EQ(items[0].srcPort, std::optional<std::string>("40001"));
        EXPECT_EQ(items[0].dstHost, "10.0.0.1");
        EXPECT_EQ(items[0].dstPort, std::optional<std::string>("80"));
        EXPECT_EQ(items[0].dir, "in");
        EXPECT_EQ(items[0].interface, "en0");
        EXPECT_EQ(items[1].proto, "UDP");
        EXPECT_EQ(items[1].srcPort, std::optional<std::string>("123"));
        EXPECT_EQ(items[2].proto, "ICMP:8.0");
        EXPECT_EQ(items[2].srcPort, std::nullopt);
        EXPECT_NE(root.readFile(row.log).find(row.line), std::string::npos) << root.readFile(row.log);
        EXPECT_EQ(root.readFile(row.otherLog), "") << row.release;
    }
}

TEST_F(SettingReplay, LoggingOffOrOverTheLimitWritesNothingMore)
{
    root.writeFile("/var/log/ipfw.log", "");
    setKernelVariables({ { "net.inet.ip.fw.verbose", 0 } });
    activate("10.4", quickSetting({ officeInterface() }));
    replay(kStatefulTraffic);
    EXPECT_EQ(root.readFile("/var/log/ipfw.log"), "");

    // The limit in force when the rules are loaded applies to each logging rule.
    setKernelVariables({ { "net.inet.ip.fw.verbose", 2 }, { "net.inet.ip.fw.verbose_limit", 2 } });
    activate("10.4", quickSetting({ officeInterface() }));
    replay(kRefused);
    replay(kRefused);
    const std::string log = root.readFile("/var/log/ipfw.log");
    EXPECT_EQ(logItems("/var/log/ipfw.log").size(), 2u) << log;
    EXPECT_NE(log.find(" ipfw:  limit 2 reached on entry 52004\n"), std::string::npos) << log;
    ipfwOk({ "-q", "zero", "52004" });
    replay(kRefused);
    EXPECT_EQ(logItems("/var/log/ipfw.log").size(), 4u) << "zeroing the rule renews its allowance";
}
