#include "IPFWListing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unordered_map>

namespace kw::ipfwemu {

namespace {

int digits(std::uint64_t n)
{
    int d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

void appendAddress(std::string& s, std::uint32_t a)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    s += buf;
}

std::string protocolName(std::uint8_t protocol)
{
    switch (protocol) {
    case 1:
        return "icmp";
    case 6:
        return "tcp";
    case 17:
        return "udp";
    default:
        return std::to_string(protocol);
    }
}

void appendCounter(std::string& s, std::uint64_t value, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, " %*llu", width, static_cast<unsigned long long>(value));
    s += buf;
}

} // namespace

std::string ctimeText(std::int64_t when)
{
    const auto t = static_cast<std::time_t>(when);
    char buf[64] = {};
    if (::ctime_r(&t, buf) == nullptr) {
        return std::string(24, ' ');
    }
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    s.resize(24, ' ');
    return s;
}

std::string listing(const Table& table, const ListingOptions& options, std::int64_t now)
{
    const auto wanted = [&](std::uint32_t number) {
        return options.numbers.empty() ||
               std::find(options.numbers.begin(), options.numbers.end(), number) != options.numbers.end();
    };
    std::vector<const DynamicRule*> dynamic;
    if (options.numbers.empty()) {
        for (const auto& [key, d] : table.dynamic()) {
            if (d.expire >= now) {
                dynamic.push_back(&d);
            }
        }
        std::sort(dynamic.begin(), dynamic.end(),
                  [](const DynamicRule* a, const DynamicRule* b) { return a->serial < b->serial; });
    }
    int packetWidth = 1;
    int byteWidth = 1;
    for (const auto& r : table.rules()) {
        if (wanted(r.rule.number)) {
            packetWidth = std::max(packetWidth, digits(r.packets));
            byteWidth = std::max(byteWidth, digits(r.bytes));
        }
    }
    for (const auto* d : dynamic) {
        packetWidth = std::max(packetWidth, digits(d->packets));
        byteWidth = std::max(byteWidth, digits(d->bytes));
    }

    std::string out;
    out.reserve(table.rules().size() * 96);
    char number[16];
    for (const auto& r : table.rules()) {
        if (!wanted(r.rule.number)) {
            continue;
        }
        std::snprintf(number, sizeof number, "%05u", r.rule.number);
        out += number;
        if (options.counters) {
            appendCounter(out, r.packets, packetWidth);
            appendCounter(out, r.bytes, byteWidth);
        }
        if (options.times) {
            out += ' ';
            out += r.lastMatch != 0 ? ctimeText(r.lastMatch) : std::string(24, ' ');
        }
        out += ' ';
        out += r.text;
        out += '\n';
    }
    if (!dynamic.empty()) {
        std::unordered_map<std::uint64_t, std::uint32_t> numberOfId;
        for (const auto& r : table.rules()) {
            numberOfId.emplace(r.id, r.rule.number);
        }
        out += "## Dynamic rules:\n";
        for (const auto* d : dynamic) {
            const auto parent = numberOfId.find(d->parentId);
            const std::uint32_t ruleNumber = parent != numberOfId.end() ? parent->second : 0;
            std::snprintf(number, sizeof number, "%05u", ruleNumber);
            out += number;
            appendCounter(out, d->packets, packetWidth);
            appendCounter(out, d->bytes, byteWidth);
            const auto bucket = FlowKeyHash {}(FlowKey::of(d->protocol, d->src, d->srcPort, d->dst, d->dstPort)) % 256;
            out += " (T " + std::to_string(d->expire - now) + ", # " + std::to_string(bucket) + ") ty 0 ";
            out += protocolName(d->protocol);
            out += ' ';
            appendAddress(out, d->src);
            out += ' ' + std::to_string(d->srcPort) + " <-> ";
            appendAddress(out, d->dst);
            out += ' ' + std::to_string(d->dstPort) + '\n';
        }
    }
    return out;
}

} // namespace kw::ipfwemu
