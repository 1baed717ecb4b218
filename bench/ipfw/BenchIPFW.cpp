// Loads a 16,000-rule file (32 interfaces x 500 filters) into the emulated packet filter and
// replays 1,000,000 packets against it; prints rules loaded per second and packets per second,
// and compares the load with "nft -f" of a ruleset of the same size in a network namespace.
// Usage: bench-ipfw [packets]
#include "IPFWCommand.h"
#include "IPFWEngine.h"
#include "IPFWSystem.h"
#include "IPFWTable.h"

#include "base/AtomicFile.h"
#include "syntax/IPFWGrammar.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace kw::ipfwemu;

constexpr int kInterfaces = 32;
constexpr int kFiltersPerInterface = 500;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint16_t servicePort(int interface, int filter)
{
    return static_cast<std::uint16_t>(1 + (interface * 131 + filter * 7) % 20000);
}

// Per interface: services allowed in with state, a UDP service, a denied and logged range from
// a network, outgoing traffic with state; a preamble in front as the generated files have it.
std::string ruleFile()
{
    std::string text = "add 10 allow ip from any to any via lo*\nadd 20 check-state\n"
                       "add 30 allow all from any to any frag\n"
                       "add 40 allow icmp from any to any icmptype 0,3,4,11,12,13,14\n";
    char line[256];
    for (int i = 0; i < kInterfaces; ++i) {
        for (int f = 0; f < kFiltersPerInterface; ++f) {
            const int number = 100 + (i * kFiltersPerInterface + f) * 4;
            const unsigned port = servicePort(i, f);
            switch (f % 5) {
            case 0:
            case 1:
                std::snprintf(line, sizeof line, "add %d allow tcp from any to any %u setup keep-state in via en%d\n",
                              number, port, i);
                break;
            case 2:
                std::snprintf(line, sizeof line, "add %d allow udp from any 1024-65535 to me %u in via en%d\n", number,
                              port, i);
                break;
            case 3:
                std::snprintf(line, sizeof line, "add %d deny log tcp from 10.%d.%d.0/24 to any %u-%u in via en%d\n",
                              number, i, f % 256, port, port + 10, i);
                break;
            default:
                std::snprintf(line, sizeof line, "add %d allow all from me to any keep-state out via en%d\n", number,
                              i);
                break;
            }
            text += line;
        }
    }
    return text;
}

std::string nftRuleset()
{
    std::string text = "table inet kwbench {\n  chain input {\n    type filter hook input priority 0; policy drop;\n"
                       "    iifname \"lo\" accept\n    ct state established,related accept\n"
                       "    ip frag-off & 0x1fff != 0 accept\n"
                       "    icmp type { echo-reply, destination-unreachable, source-quench, time-exceeded, "
                       "parameter-problem, timestamp-request, timestamp-reply } accept\n";
    char line[256];
    for (int i = 0; i < kInterfaces; ++i) {
        for (int f = 0; f < kFiltersPerInterface; ++f) {
            const unsigned port = servicePort(i, f);
            switch (f % 5) {
            case 0:
            case 1:
                std::snprintf(line, sizeof line,
                              "    iifname \"en%d\" tcp dport %u tcp flags & (syn | ack) == syn ct state new accept\n",
                              i, port);
                break;
            case 2:
                std::snprintf(line, sizeof line,
                              "    iifname \"en%d\" udp sport 1024-65535 ip daddr 10.0.0.1 udp dport %u accept\n", i,
                              port);
                break;
            case 3:
                std::snprintf(line, sizeof line,
                              "    iifname \"en%d\" ip saddr 10.%d.%d.0/24 tcp dport %u-%u log drop\n", i, i, f % 256,
                              port, port + 10);
                break;
            default:
                std::snprintf(line, sizeof line, "    oifname \"en%d\" ip saddr 10.0.0.1 ct state new accept\n", i);
                break;
            }
            text += line;
        }
    }
    text += "  }\n}\n";
    return text;
}

int runQuietly(const std::vector<std::string>& argv)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> asRoot(std::vector<std::string> argv, bool network)
{
    if (geteuid() != 0) {
        argv.insert(argv.begin(), { "unshare", network ? "-rn" : "-r", "--" });
    } else if (network) {
        argv.insert(argv.begin(), { "unshare", "-n", "--" });
    }
    return argv;
}

// Best of a few runs of a command, in seconds; negative when it fails.
double timeCommand(const std::vector<std::string>& argv, const std::vector<std::string>& before, int runs)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        if (!before.empty()) {
            runQuietly(before);
        }
        const auto start = Clock::now();
        if (runQuietly(argv) != 0) {
            return -1;
        }
        best = std::min(best, secondsSince(start));
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const long packetCount = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::string pattern = (std::filesystem::temp_directory_path() / "kw-bench-ipfw-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return 1;
    }
    const std::filesystem::path root = pattern;
    setenv("KEEPWALL_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root / "etc");
    std::filesystem::create_directories(root / "var/db/kw-platform");
    const std::string rules = ruleFile();
    std::ofstream(root / "etc/bench.conf") << rules;
    const int ruleCount = kInterfaces * kFiltersPerInterface + 4;

    // In-process load: parse every line with the grammar, add it, write the state file.
    double loadSeconds = 1e9;
    Table table;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        Table t;
        kw::NameServices names;
        std::string_view rest = rules;
        while (!rest.empty()) {
            const auto eol = rest.find('\n');
            const auto parsed = kw::parseIPFWRuleLine(rest.substr(0, eol), names);
            rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
            if (!parsed.accepted) {
                std::fprintf(stderr, "rule refused\n");
                return 1;
            }
            t.add(parsed.rule, 0);
        }
        if (!kw::writeFileAtomically(stateFilePath(), t.serialize(), 0644)) {
            std::fprintf(stderr, "cannot write the state\n");
            return 1;
        }
        loadSeconds = std::min(loadSeconds, secondsSince(start));
        table = std::move(t);
    }
    std::printf("load (in process, parse + table + state file): %d rules in %.1f ms, %.0f rules/s\n", ruleCount,
                loadSeconds * 1e3, ruleCount / loadSeconds);

    // The whole command, as activation runs it after a flush.
    const double commandSeconds = timeCommand(asRoot({ KW_IPFW_PATH, "-q", "/etc/bench.conf" }, false),
                                              asRoot({ KW_IPFW_PATH, "-q", "flush" }, false), 3);
    if (commandSeconds > 0) {
        std::printf("load (kw-ipfw -q file, whole command after a flush): %.1f ms, %.0f rules/s\n",
                    commandSeconds * 1e3, ruleCount / commandSeconds);
    } else {
        std::printf("load (kw-ipfw -q file): the command failed\n");
    }

    const auto nftFile = root / "bench.nft";
    std::ofstream(nftFile) << nftRuleset();
    const double nftSeconds = timeCommand(asRoot({ "nft", "-f", nftFile.string() }, true), {}, 3);
    if (nftSeconds > 0) {
        std::printf("nft -f (in a network namespace): %d rules in %.1f ms, %.0f rules/s\n", ruleCount, nftSeconds * 1e3,
                    ruleCount / nftSeconds);
        std::printf("ratio: kw-ipfw load takes %.2fx the time of nft -f (in process %.2fx)\n",
                    (commandSeconds > 0 ? commandSeconds : loadSeconds) / nftSeconds, loadSeconds / nftSeconds);
    } else {
        std::printf("nft -f: not available here\n");
    }

    // Traffic: services of random interfaces, answers, strangers, outgoing connections.
    Engine engine(table);
    engine.setMyAddresses({ 0x0a000001 });
    std::vector<int> interfaces;
    for (int i = 0; i < kInterfaces; ++i) {
        interfaces.push_back(engine.interfaceId("en" + std::to_string(i)));
    }
    std::mt19937 random(42);
    std::vector<Packet> packets(65536);
    for (auto& p : packets) {
        const int i = static_cast<int>(random() % kInterfaces);
        const int f = static_cast<int>(random() % kFiltersPerInterface);
        p.protocol = random() % 4 == 0 ? 17 : 6;
        p.src = 0x01020000u | (random() & 0xffff);
        p.dst = 0x0a000001;
        p.srcPort = static_cast<std::uint16_t>(1024 + random() % 60000);
        p.dstPort = random() % 3 == 0 ? static_cast<std::uint16_t>(random() % 65536) : servicePort(i, f);
        p.tcpFlags = p.protocol == 6 ? (random() % 2 == 0 ? kw::ipfw::kTcpSyn : kw::ipfw::kTcpAck) : 0;
        p.length = 64 + static_cast<std::uint32_t>(random() % 1400);
        if (random() % 5 == 0) {
            p.outgoing = true;
            p.transmitInterface = interfaces[static_cast<std::size_t>(i)];
            std::swap(p.src, p.dst);
            std::swap(p.srcPort, p.dstPort);
        } else {
            p.receiveInterface = interfaces[static_cast<std::size_t>(i)];
        }
    }
    // Warm the per-interface indexes.
    for (const auto& p : packets) {
        engine.evaluate(p, 1000);
    }
    std::uint64_t allowed = 0;
    const auto start = Clock::now();
    for (long n = 0; n < packetCount; ++n) {
        const Verdict v = engine.evaluate(packets[static_cast<std::size_t>(n) & 0xffff], 1000 + n / 100000);
        allowed += v.passes() ? 1 : 0;
    }
    const double evalSeconds = secondsSince(start);
    std::printf("evaluation: %ld packets in %.1f ms, %.0f packets/s (%.1f%% allowed, %zu dynamic rules)\n", packetCount,
                evalSeconds * 1e3, packetCount / evalSeconds, 100.0 * static_cast<double>(allowed) / packetCount,
                table.dynamic().size());
    std::filesystem::remove_all(root);
    return 0;
}
