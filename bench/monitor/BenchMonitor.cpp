// Parses an "ipfw -at list" listing of 16,000 rules and 4,096 dynamic rules the way the
// monitor's refresh does, and prints the time of one parse (goal: 20 ms or less).
// Usage: bench-monitor [rules] [dynamic lines]
#include "monitor/IPFWListingParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The rule forms the interface rule generator and an expert setting load, with the counter
// columns right-aligned as ipfw prints them; one rule in three never matched.
std::string listingText(int rules, int dynamicLines)
{
    static const char* const bodies[] = {
        "allow tcp from any to any 22 in via en0 setup keep-state",
        "allow udp from any to any 53 in via en1 keep-state",
        "deny log tcp from any to any in via en0 setup",
        "allow ip from 192.168.2.0/24 to any via en1 keep-state",
        "deny tcp from 127.0.0.1 to any 6000-6063 in recv en0",
        "allow icmp from any to me in via en0 icmptype 0,3,8,11",
        "divert 8668 ip from any to any via en0",
        "allow tcp from me 1024-65535 to not 10.0.0.0/8 80 out xmit ppp0 keep-state",
        "deny log logamount 100 ip from any to any ipopt ssrr,lsrr",
        "unreach host tcp from any to any 445 in recv en0 tcpflags syn,!ack",
    };
    std::string text;
    text.reserve(static_cast<std::size_t>(rules + dynamicLines) * 110);
    char line[256];
    for (int i = 0; i < rules; ++i) {
        const bool matched = i % 3 != 0;
        const unsigned long long packets = matched ? 1000ULL * static_cast<unsigned>(i) + 7 : 0;
        const unsigned long long bytes = packets * 1400;
        std::snprintf(line, sizeof line, "%05d %12llu %15llu %s %s\n", 1000 + i * 4, packets, bytes,
                      matched ? "Tue Mar  4 09:15:27 2025" : "                        ", bodies[i % 10]);
        text += line;
    }
    text += "## Dynamic rules:\n";
    for (int i = 0; i < dynamicLines; ++i) {
        std::snprintf(line, sizeof line, "%05d %12d %15d (T %d, # %d) ty 0 tcp 10.0.%d.%d %d <-> 10.0.0.1 22\n",
                      1000 + (i % 4000) * 4, i, i * 60, 300 - i % 300, i % 256, i / 256, i % 256, 1024 + i);
        text += line;
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    const int rules = argc > 1 ? std::atoi(argv[1]) : 16000;
    const int dynamicLines = argc > 2 ? std::atoi(argv[2]) : 4096;
    const std::string text = listingText(rules, dynamicLines);
    // The application's services list answers from a table.
    const std::map<int, std::string> services = {
        { 22, "ssh" }, { 53, "domain" }, { 80, "http" }, { 445, "microsoft-ds" }
    };
    const kw::IPFWListingParser parser([&](int port) -> std::optional<std::string> {
        const auto it = services.find(port);
        return it != services.end() ? std::optional<std::string>(it->second) : std::nullopt;
    });

    const kw::ListingResult check = parser.parseOutput(text);
    if (check.ruleRows.size() != static_cast<std::size_t>(rules) ||
        check.dynamicFilters.size() != static_cast<std::size_t>(dynamicLines) + 1) {
        std::fprintf(stderr, "the benchmark listing did not parse: %zu rows, %zu dynamic lines\n",
                     check.ruleRows.size(), check.dynamicFilters.size());
        return 1;
    }

    // The machine may be shared: the best round is the parser's own speed, the median shows
    // what the load left of it.
    constexpr int kRounds = 21;
    std::vector<double> rounds;
    for (int r = 0; r < kRounds; ++r) {
        const auto start = Clock::now();
        const kw::ListingResult result = parser.parseOutput(text);
        rounds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (result.ruleRows.empty()) {
            return 1;
        }
    }
    std::sort(rounds.begin(), rounds.end());
    std::printf("listing parse (%d rules, %d dynamic lines, %.1f MB): best %.2f ms, median %.2f ms (goal <= 20 ms)\n",
                rules, dynamicLines, static_cast<double>(text.size()) / 1e6, rounds.front(), rounds[kRounds / 2]);
    return 0;
}
