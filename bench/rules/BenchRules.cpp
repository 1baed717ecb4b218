// Times reading the settings document and rule text generation for a large quick setting
// (32 interfaces of 500 filters each, about 16,000 rules) and, for comparison, how long nft
// takes to check a ruleset of the same size.
//
//   bench-rules [--interfaces N] [--filters N] [--runs N] [--write-setting FILE]
//               [--write-document FILE] [--write-rules FILE] [--no-nft]
//
// --write-setting writes the setting dictionary as an XML property list; --write-document
// writes a whole settings document holding it as the current setting "Benchmark".

#include "base/PlistValue.h"
#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/ConfigurationText.h"
#include "rules/ServiceFilter.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kw::Value;
using Clock = std::chrono::steady_clock;

struct Options {
    int interfaces = 32;
    int filters = 500;
    int runs = 30;
    std::string writeSetting;
    std::string writeDocument;
    std::string writeRules;
    bool nft = true;
};

Value filterFor(int i)
{
    static const char* const kProtocols[] = { "tcp", "udp", "icmp", "tcp", "udp" };
    Value f;
    f.set(kw::ServiceFilterLabel, i % 7 == 0 ? Value("Custom Service") : Value("Service " + std::to_string(i)));
    f.set(kw::ServiceFilterCustomLabel, "Custom " + std::to_string(i));
    f.set(kw::ServiceFilterOrderNumber, Value::integer(1000 + 10 * i));
    f.set(kw::ServiceFilterAction, i % 3 == 0 ? "deny" : "allow");
    f.set(kw::ServiceFilterProtocol, kProtocols[i % 5]);
    f.set(kw::ServiceFilterPort, std::to_string(1000 + i));
    f.set(kw::ServiceFilterSourcePort, i % 4 == 0 ? "1024-65535" : "");
    f.set(kw::ServiceFilterSrcHostType, Value::integer(i % 3));
    f.set(kw::ServiceFilterSrcHost, i % 3 == 2 ? "192.168." + std::to_string(i % 256) + ".0/24" : std::string("any"));
    f.set(kw::ServiceFilterDstHostType, Value::integer((i + 1) % 2));
    f.set(kw::ServiceFilterDstHost, "any");
    f.set(kw::ServiceFilterIPOptions, "");
    f.set(kw::ServiceFilterTCPFlags, i % 11 == 0 ? "syn" : "");
    f.set(kw::ServiceFilterICMPTypes, i % 5 == 2 ? "0,8" : "");
    f.set(kw::ServiceFilterShouldLog, Value::integer(i % 2));
    return f;
}

Value makeSetting(const Options& o)
{
    using namespace kw::keys;
    Value::Array interfaces;
    for (int n = 0; n < o.interfaces; ++n) {
        Value i;
        i.set(kInterfaceName, "en" + std::to_string(n));
        i.set(kInterfaceLabel, "Ethernet " + std::to_string(n));
        i.set(kEnableFirewall, Value::integer(1));
        for (const char* key : { kAdvAllowBootp, kAdvAllowBroadcast, kDenySourceRoute, kAdvAllowNtp,
                                 kAdvAllowRendezvous, kAdvAllowIcmp, kAdvAllowFtpData, kAdvAllowDns }) {
            i.set(key, Value::integer(1));
        }
        i.set(kAdvDnsType, Value::integer(0));
        i.set(kAdvDnsAddress, "");
        i.set(kIpHostAddressType, Value::integer(1));
        i.set(kIpHostAddress, "10.0." + std::to_string(n) + ".2");
        i.set(kDefaultOutgoingAllow, Value::integer(0));
        i.set(kDefaultIncomingAllow, Value::integer(1));
        Value::Array filters;
        for (int f = 0; f < o.filters; ++f) {
            filters.push_back(filterFor(f));
        }
        i.set(kFilterList, Value(std::move(filters)));
        interfaces.push_back(std::move(i));
    }
    Value s;
    s.set(kSettingName, "Benchmark");
    s.set(kConfigMode, "0");
    s.set(kExpertConfigEdit, Value::integer(0));
    s.set(kExpertConfigText, "");
    s.set(kNatdExpertText, "");
    s.set(kInterfaceList, Value(std::move(interfaces)));
    Value nat;
    nat.set(kNatdInterface, Value::integer(0));
    nat.set(kGateways, Value(Value::Array {}));
    s.set(kNatConfig, std::move(nat));
    return s;
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this thread: on a machine shared with other work it shows what generation
// itself costs, where wall time also counts the waits for a core.
double threadCpuMilliseconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

size_t countRules(const std::string& text)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find("add ", at)) != std::string::npos; ++at) {
        if (at == 0 || text[at - 1] == '\n') {
            ++n;
        }
    }
    return n;
}

void timeGeneration(const Value& setting, double release, const char* name, const Options& o, std::string* keep)
{
    kw::setReleaseFlags(release);
    std::string text = kw::ipfwTextForSetting(setting); // warm-up
    std::vector<double> times, cpuTimes;
    for (int r = 0; r < o.runs; ++r) {
        const auto start = Clock::now();
        const double cpuStart = threadCpuMilliseconds();
        text = kw::ipfwTextForSetting(setting);
        cpuTimes.push_back(threadCpuMilliseconds() - cpuStart);
        times.push_back(millisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    std::sort(cpuTimes.begin(), cpuTimes.end());
    std::printf("generate (%s): %zu rules, %zu bytes; per generation wall min %.2f / median %.2f / max %.2f ms, "
                "CPU median %.2f ms (%d runs; goal < 20 ms)\n",
                name, countRules(text), text.size(), times.front(), times[times.size() / 2], times.back(),
                cpuTimes[cpuTimes.size() / 2], o.runs);
    if (keep != nullptr) {
        *keep = std::move(text);
    }
}

// Reading the settings document that holds the setting: every wallctl run and every window
// of the application reads it whole.
void timeReading(const Value& setting, const Options& o)
{
    Value stored;
    stored.set("Benchmark", setting);
    Value document;
    document.set("STORED_SETTINGS", stored);
    document.set("CURRENT_SETTING", "Benchmark");
    const std::string xml = kw::valueToXml(document);
    std::vector<double> times;
    const int runs = std::min(o.runs, 10);
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        const auto read = kw::valueFromXml(xml);
        times.push_back(millisecondsSince(start));
        if (!read || *read != document) {
            std::printf("read settings document: the document read back differs\n");
            return;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("read settings document: %zu bytes; min %.2f / median %.2f ms (%d runs)\n", xml.size(), times.front(),
                times[times.size() / 2], runs);
}

// An nftables ruleset of the same shape: per interface the extra rules, one rule per filter
// in the direction's chain, and the two default policies.
std::string nftRuleset(const Options& o)
{
    std::string in, out;
    for (int n = 0; n < o.interfaces; ++n) {
        const std::string iif = "iifname \"en" + std::to_string(n) + "\" ";
        const std::string oif = "oifname \"en" + std::to_string(n) + "\" ";
        in += "    " + iif + "udp sport 67-68 udp dport 67-68 accept\n";
        in += "    " + iif + "ip daddr 255.255.255.255 udp dport 67-68 accept\n";
        in += "    " + iif + "ip option ssrr exists reject\n";
        in += "    " + iif + "udp sport 123 accept\n";
        in += "    " + iif + "udp sport 5353 udp dport 5353 accept\n";
        in += "    " + iif + "meta l4proto icmp accept\n";
        in += "    " + iif + "tcp sport 20-21 tcp dport 1024-65535 accept\n";
        out += "    " + oif + "udp dport 53 ct state new accept\n";
        for (int f = 0; f < o.filters; ++f) {
            const bool inbound = (f % 3) != 0;
            const std::string& iface = inbound ? iif : oif;
            std::string rule = "    " + iface;
            if (f % 3 == 2) {
                rule += "ip saddr 192.168." + std::to_string(f % 256) + ".0/24 ";
            }
            switch (f % 5) {
            case 0:
            case 3:
                rule += "tcp dport " + std::to_string(1000 + f) + " tcp flags & (syn | ack) == syn ";
                break;
            case 1:
            case 4:
                rule += "udp dport " + std::to_string(1000 + f) + " ";
                break;
            default:
                rule += "icmp type { echo-reply, echo-request } ";
                break;
            }
            rule += f % 2 ? "log " : "";
            rule += f % 3 == 0 ? "drop\n" : "ct state new accept\n";
            (inbound ? in : out) += rule;
        }
        out += "    " + oif + "ct state new accept\n";
        in += "    " + iif + "log drop\n";
    }
    return "table inet keepwall_bench {\n  chain input {\n    type filter hook input priority 0; policy accept;\n"
           "    ct state established,related accept\n" +
           in + "  }\n  chain output {\n    type filter hook output priority 0; policy accept;\n" + out + "  }\n}\n";
}

int runQuietly(const std::vector<std::string>& argv)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr) {
            _exit(126);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void timeNft(const Options& o)
{
    char path[] = "/tmp/bench-rules-nft-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::printf("nft -c -f: could not make a temporary file\n");
        return;
    }
    close(fd);
    const std::string ruleset = nftRuleset(o);
    std::ofstream(path) << ruleset;
    size_t rules = static_cast<size_t>(std::count(ruleset.begin(), ruleset.end(), '\n')) - 8;

    std::vector<std::vector<std::string>> ways = { { "nft", "-c", "-f", path },
                                                   { "unshare", "-rn", "nft", "-c", "-f", path } };
    for (const auto& way : ways) {
        if (runQuietly(way) != 0) {
            continue;
        }
        std::vector<double> times;
        for (int r = 0; r < 3; ++r) {
            const auto start = Clock::now();
            runQuietly(way);
            times.push_back(millisecondsSince(start));
        }
        std::sort(times.begin(), times.end());
        std::printf("nft -c -f%s: %zu rules, %zu bytes; min %.1f ms, median %.1f ms (3 runs)\n",
                    way[0] == "unshare" ? " (in unshare -rn)" : "", rules, ruleset.size(), times.front(), times[1]);
        unlink(path);
        return;
    }
    std::printf("nft -c -f: not available or refused the ruleset (%s kept)\n", path);
}

bool writeXml(const std::string& path, const Value& value)
{
    std::ofstream out(path, std::ios::binary);
    out << kw::valueToXml(value);
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--interfaces" && hasValue) {
            o.interfaces = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--filters" && hasValue) {
            o.filters = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--runs" && hasValue) {
            o.runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--write-setting" && hasValue) {
            o.writeSetting = argv[++i];
        } else if (a == "--write-document" && hasValue) {
            o.writeDocument = argv[++i];
        } else if (a == "--write-rules" && hasValue) {
            o.writeRules = argv[++i];
        } else if (a == "--no-nft") {
            o.nft = false;
        } else {
            std::fprintf(stderr, "usage: bench-rules [--interfaces N] [--filters N] [--runs N] [--write-setting FILE] "
                                 "[--write-document FILE] [--write-rules FILE] [--no-nft]\n");
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        return 2;
    }
    const Value setting = makeSetting(o);
    std::printf("setting: %d interfaces x %d filters\n", o.interfaces, o.filters);
    if (!o.writeSetting.empty()) {
        if (!writeXml(o.writeSetting, setting)) {
            return 1;
        }
        std::printf("setting written to %s (XML property list)\n", o.writeSetting.c_str());
    }
    if (!o.writeDocument.empty()) {
        Value stored;
        stored.set("Benchmark", setting);
        Value document;
        document.set("STORED_SETTINGS", stored);
        document.set("CURRENT_SETTING", "Benchmark");
        if (!writeXml(o.writeDocument, document)) {
            return 1;
        }
        std::printf("settings document written to %s (current setting \"Benchmark\")\n", o.writeDocument.c_str());
    }

    timeReading(setting, o);
    std::string text;
    timeGeneration(setting, 620, "10.1 form", o, nullptr);
    timeGeneration(setting, 824, "10.2+ form", o, &text);
    if (!o.writeRules.empty()) {
        std::ofstream(o.writeRules, std::ios::binary) << text;
        std::printf("rule text (10.2+ form) written to %s\n", o.writeRules.c_str());
    }
    if (o.nft) {
        timeNft(o);
    }
    return 0;
}
