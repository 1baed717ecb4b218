// Checks a 20,000-line rule text and prints lines per second, then checks a ruleset of the
// same size with "nft -c -f" and prints how many times faster the rule checker is.
// Usage: bench-syntax [lines]
#include "syntax/IPFWParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The forms the interface rule generator writes, and hand-written rules of an expert setting.
std::string ruleText(int lines)
{
    static const char* const interfaces[] = { "en0", "en1", "ppp0", "fw0" };
    static const char* const services[] = { "22", "80", "443", "548", "3689", "5900", "http", "ssh" };
    std::string text;
    text.reserve(static_cast<std::size_t>(lines) * 64);
    for (int i = 0; static_cast<int>(i) < lines; ++i) {
        const char* iface = interfaces[(i / 10) % 4];
        const char* service = services[i % 8];
        const int number = 2000 + i % 60000;
        char line[256];
        switch (i % 10) {
        case 0:
            std::snprintf(line, sizeof line, "add %d allow tcp from any to any %s in via %s setup keep-state\n", number,
                          service, iface);
            break;
        case 1:
            std::snprintf(line, sizeof line, "add %d allow udp from any to any 53 in via %s keep-state\n", number,
                          iface);
            break;
        case 2:
            std::snprintf(line, sizeof line, "add %d deny log tcp from any to any in via %s setup\n", number + 50000,
                          iface);
            break;
        case 3:
            std::snprintf(line, sizeof line, "add %d allow ip from 192.168.%d.0/24 to any keep-state via %s\n", number,
                          i % 256, iface);
            break;
        case 4:
            std::snprintf(line, sizeof line, "# block %d: hand-written rules\n", i);
            break;
        case 5:
            std::snprintf(line, sizeof line, "add %d deny tcp from localhost to any 6000-6063 in recv %s\n", number,
                          iface);
            break;
        case 6:
            std::snprintf(line, sizeof line, "add %d allow icmp from any to me icmptypes 0,3,8,11 in via %s\n", number,
                          iface);
            break;
        case 7:
            std::snprintf(line, sizeof line, "add %d divert natd all from any to any via %s\n", number, iface);
            break;
        case 8:
            std::snprintf(line, sizeof line,
                          "add %d allow tcp from me 1024-65535 to not 10.0.0.0/8 %s out xmit %s "
                          "keep-state # outgoing\n",
                          number, service, iface);
            break;
        default:
            std::snprintf(line, sizeof line, "add %d deny log logamount 100 ip from any to any ipoptions ssrr,lsrr\n",
                          number);
            break;
        }
        text += line;
    }
    return text;
}

// The same traffic policy as an nftables ruleset, one rule per rule line.
std::string nftRuleset(int lines)
{
    static const char* const interfaces[] = { "eth0", "eth1", "ppp0", "fw0" };
    static const char* const ports[] = { "22", "80", "443", "548", "3689", "5900", "80", "22" };
    std::string text = "table inet kwbench {\n  chain input {\n    type filter hook input priority 0; policy accept;\n";
    for (int i = 0; i < lines; ++i) {
        const char* iface = interfaces[(i / 10) % 4];
        char line[256];
        switch (i % 10) {
        case 0:
            std::snprintf(line, sizeof line, "    iifname \"%s\" tcp dport %s ct state new accept\n", iface,
                          ports[i % 8]);
            break;
        case 1:
            std::snprintf(line, sizeof line, "    iifname \"%s\" udp dport 53 ct state new accept\n", iface);
            break;
        case 2:
            std::snprintf(line, sizeof line, "    iifname \"%s\" tcp flags & (syn | ack) == syn log drop\n", iface);
            break;
        case 3:
            std::snprintf(line, sizeof line, "    iifname \"%s\" ip saddr 192.168.%d.0/24 ct state new accept\n", iface,
                          i % 256);
            break;
        case 4:
            std::snprintf(line, sizeof line, "    # block %d: hand-written rules\n", i);
            break;
        case 5:
            std::snprintf(line, sizeof line, "    iifname \"%s\" ip saddr 127.0.0.1 tcp dport 6000-6063 drop\n", iface);
            break;
        case 6:
            std::snprintf(line, sizeof line,
                          "    iifname \"%s\" icmp type { echo-reply, destination-unreachable, "
                          "echo-request, time-exceeded } accept\n",
                          iface);
            break;
        case 7:
            std::snprintf(line, sizeof line, "    iifname \"%s\" counter accept\n", iface);
            break;
        case 8:
            std::snprintf(line, sizeof line,
                          "    oifname \"%s\" ip daddr != 10.0.0.0/8 tcp sport 1024-65535 tcp dport "
                          "%s ct state new accept\n",
                          iface, ports[i % 8]);
            break;
        default:
            std::snprintf(line, sizeof line, "    ip version 4 log prefix \"opts \" drop\n");
            break;
        }
        text += line;
    }
    text += "  }\n}\n";
    return text;
}

// Runs the command line, output discarded; answers its exit status.
int runQuietly(const char* const argv[])
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A sandbox root whose services file carries natd's divert entry, as a sandbox root does.
std::filesystem::path makeRoot()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kw-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return {};
    }
    const std::filesystem::path root = pattern;
    std::filesystem::create_directories(root / "etc");
    std::error_code ec;
    std::filesystem::copy_file("/etc/protocols", root / "etc/protocols", ec);
    std::ofstream services(root / "etc/services");
    services << std::ifstream("/etc/services").rdbuf() << "\nnatd\t\t8668/divert\n";
    return root;
}

} // namespace

int main(int argc, char** argv)
{
    const int lines = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::string text = ruleText(lines);
    const std::filesystem::path root = makeRoot();
    setenv("KEEPWALL_ROOT", root.c_str(), 1);

    // As the application checks: fresh name databases, the first lookups included.
    auto start = Clock::now();
    const int firstResult = kw::checkIPFWText(text);
    const double firstSeconds = secondsSince(start);
    if (firstResult != 1) {
        std::fprintf(stderr, "\nthe benchmark text was not accepted\n");
        std::filesystem::remove_all(root);
        return 1;
    }

    // After the first lookups: the same databases, answers cached.
    kw::NameServices names;
    kw::checkIPFWText(text, names);
    // The machine may be shared: the best round is the checker's own speed, the median shows
    // what the load left of it.
    constexpr int kRounds = 21;
    std::vector<double> rounds;
    for (int i = 0; i < kRounds; ++i) {
        start = Clock::now();
        kw::checkIPFWText(text, names);
        rounds.push_back(secondsSince(start));
    }
    std::sort(rounds.begin(), rounds.end());
    const double warmSeconds = rounds.front();
    const double medianSeconds = rounds[rounds.size() / 2];
    std::printf("rule checker: %d lines, first check %.2f ms (%.0f lines/s); after the first lookups best %.2f ms "
                "(%.0f lines/s), median %.2f ms (%.0f lines/s)\n",
                lines, firstSeconds * 1e3, lines / firstSeconds, warmSeconds * 1e3, lines / warmSeconds,
                medianSeconds * 1e3, lines / medianSeconds);

    const auto nftFile = std::filesystem::temp_directory_path() / ("kw-bench-" + std::to_string(getpid()) + ".nft");
    {
        std::ofstream out(nftFile);
        out << nftRuleset(lines);
    }
    const std::string path = nftFile.string();
    const char* direct[] = { "nft", "-c", "-f", path.c_str(), nullptr };
    const char* inNamespace[] = { "unshare", "-rn", "nft", "-c", "-f", path.c_str(), nullptr };
    const char* const* nft = direct;
    if (runQuietly(direct) != 0) {
        nft = inNamespace;
        if (runQuietly(inNamespace) != 0) {
            std::printf("nft -c: not available here (neither directly nor in a user namespace)\n");
            std::filesystem::remove(nftFile);
            std::filesystem::remove_all(root);
            return 0;
        }
    }
    double nftSeconds = 1e9;
    for (int i = 0; i < 3; ++i) {
        start = Clock::now();
        runQuietly(nft);
        nftSeconds = std::min(nftSeconds, secondsSince(start));
    }
    std::filesystem::remove(nftFile);
    std::filesystem::remove_all(root);
    std::printf("nft -c -f%s: %d rules, %.2f ms (%.0f lines/s)\n", nft == direct ? "" : " (in unshare -rn)", lines,
                nftSeconds * 1e3, lines / nftSeconds);
    std::printf("ratio: the rule checker is %.1fx faster than nft -c (median round: %.1fx, first check: %.1fx)\n",
                nftSeconds / warmSeconds, nftSeconds / medianSeconds, nftSeconds / firstSeconds);
    return 0;
}
