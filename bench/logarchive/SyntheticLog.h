#pragma once

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace kw::bench {

// The log benchmarks' firewall log: 200 rules (100, 200, ... 20000) evenly used, 65,536 source
// hosts 10.0.x.y, one line every 3 seconds from Nov 1, a tenth ICMP without ports. tag is what
// stands between the host name and the rule number ("kernel: ipfw:" in the system log).
inline void generateLog(const std::string& path, long lines, const char* tag)
{
    static const char* kMonths[] = { "Nov", "Dec", "Jan" };
    static const int kMonthDays[] = { 30, 31, 31 };
    std::mt19937 random(42);
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    for (long i = 0; i < lines; ++i) {
        long second = i * 3;
        int day = static_cast<int>(second / 86400);
        int month = 0;
        while (month < 2 && day >= kMonthDays[month]) {
            day -= kMonthDays[month];
            ++month;
        }
        second %= 86400;
        const auto r = static_cast<unsigned>(random());
        const int rule = 100 * static_cast<int>(1 + r % 200);
        const auto host = static_cast<unsigned>(random() % 65536);
        if (r % 10 == 0) {
            std::fprintf(out, "%s %2d %02ld:%02ld:%02ld gateway %s %d %s ICMP:8.0 10.0.%u.%u 192.168.1.2 in via en0\n",
                         kMonths[month], day + 1, second / 3600, second / 60 % 60, second % 60, tag, rule,
                         r % 3 == 0 ? "Accept" : "Deny", host / 256, host % 256);
        } else {
            std::fprintf(out, "%s %2d %02ld:%02ld:%02ld gateway %s %d %s %s 10.0.%u.%u:%u 192.168.1.2:%u %s via en%u\n",
                         kMonths[month], day + 1, second / 3600, second / 60 % 60, second % 60, tag, rule,
                         r % 3 == 0 ? "Accept" : "Deny", r % 4 == 0 ? "UDP" : "TCP", host / 256, host % 256,
                         static_cast<unsigned>(1024 + random() % 60000), static_cast<unsigned>(1 + random() % 1024),
                         r % 5 == 0 ? "out" : "in", r % 2);
        }
    }
    std::fclose(out);
}

} // namespace kw::bench
