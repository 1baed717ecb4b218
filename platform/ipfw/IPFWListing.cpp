#include "IPFWListing.h"

#include "base/DottedQuad.h"
#include "base/Release.h"
#include "syntax/IPFWRule.h"
#include "syntax/ProtocolDatabase.h"

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

// The filler of a rule that never matched, in place of the time and the blank after it.
const char* neverMatchedFiller(ListingRelease release)
{
    switch (release) {
    case ListingRelease::Puma:
        return "                         "; // 25 spaces
    case ListingRelease::Jaguar:
        return "\t\t\t ";
    case ListingRelease::Tiger:
        break;
    }
    return "                        "; // 24 spaces: no blank before the rule text
}

void appendPortList(std::string& s, std::span<const std::uint16_t> ports, IPFWPortKind kind)
{
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i == 0) {
            s += ' ';
            s += std::to_string(ports[i]);
        } else if (i == 1 && kind == IPFWPortKind::Mask) {
            char mask[16];
            std::snprintf(mask, sizeof mask, ":0x%04x", ports[i]);
            s += mask;
        } else {
            s += i == 1 && kind == IPFWPortKind::Range ? '-' : ',';
            s += std::to_string(ports[i]);
        }
    }
}

void appendEndpointText(std::string& s, const IPFWAddress& a)
{
    // The canonical text of an address is the same in every release: take it from a rule that
    // has nothing else.
    IPFWRule only;
    only.source = a;
    const std::string text = ruleText(only);
    const std::size_t from = text.find(" from ") + 6;
    s.append(text, from, text.find(" to ", from) - from);
}

// The older userland's listing of a rule: the options in the order that command printed them.
std::string olderRuleText(const IPFWRule& r)
{
    std::string s;
    if (r.probability < 1.0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "prob %f ", r.probability);
        s += buf;
    }
    appendActionText(s, r);
    if (r.action == IPFWAction::CheckState) {
        return s;
    }
    appendLogAndProtocol(s, r);
    s += " from ";
    appendEndpointText(s, r.source);
    appendPortList(s, r.sourcePorts(), r.sourcePortKind);
    s += " to ";
    appendEndpointText(s, r.destination);
    appendPortList(s, r.destinationPorts(), r.destinationPortKind);
    appendUid(s, r);
    appendKeepState(s, r);
    if (r.bridged) {
        s += " bridged";
    }
    if (r.in != r.out) {
        s += r.in ? " in" : " out";
    }
    appendInterfaceWords(s, r);
    appendNamedBits(s, "ipopt", r.ipOptionsSet, r.ipOptionsClear, ipfw::kIpOptionNames);
    appendTcpFlagWords(s, r);
    appendNamedBits(s, "tcpoptions", r.tcpOptionsSet, r.tcpOptionsClear, ipfw::kTcpOptionNames);
    appendIcmpTypes(s, r, "icmptype");
    return s;
}

void appendCounter(std::string& s, std::uint64_t value, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%*llu ", width, static_cast<unsigned long long>(value));
    s += buf;
}

} // namespace

ListingRelease configuredListingRelease()
{
    if (KWRunningOnTiger) {
        return ListingRelease::Tiger;
    }
    return KWRunningOnJaguar ? ListingRelease::Jaguar : ListingRelease::Puma;
}

std::string ruleTextFor(const TableRule& rule, ListingRelease release)
{
    return release == ListingRelease::Tiger ? rule.text : olderRuleText(rule.rule);
}

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
    const bool tiger = options.release == ListingRelease::Tiger;
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
    if (tiger) {
        // The newer command pads the dynamic lines' counters too and counts them in the widths.
        for (const auto* d : dynamic) {
            packetWidth = std::max(packetWidth, digits(d->packets));
            byteWidth = std::max(byteWidth, digits(d->bytes));
        }
    }

    std::string out;
    out.reserve(table.rules().size() * 96);
    char number[16];
    for (const auto& r : table.rules()) {
        if (!wanted(r.rule.number)) {
            continue;
        }
        std::snprintf(number, sizeof number, "%05u ", r.rule.number);
        out += number;
        if (options.counters) {
            appendCounter(out, r.packets, packetWidth);
            appendCounter(out, r.bytes, byteWidth);
        }
        if (options.times) {
            if (r.lastMatch != 0) {
                out += ctimeText(r.lastMatch);
                out += ' ';
            } else {
                out += neverMatchedFiller(options.release);
            }
        }
        if (options.sets && tiger) {
            out += "set " + std::to_string(r.rule.number == kDefaultRuleNumber ? IPFWRule::kMaxSet : r.rule.set) + ' ';
        }
        out += ruleTextFor(r, options.release);
        out += '\n';
    }
    if (dynamic.empty()) {
        return out;
    }
    std::unordered_map<std::uint64_t, const IPFWRule*> ruleOfId;
    for (const auto& r : table.rules()) {
        ruleOfId.emplace(r.id, &r.rule);
    }
    out += tiger ? "## Dynamic rules (" + std::to_string(dynamic.size()) + "):\n" : "## Dynamic rules:\n";
    for (const auto* d : dynamic) {
        const auto parent = ruleOfId.find(d->parentId);
        const IPFWRule* parentRule = parent != ruleOfId.end() ? parent->second : nullptr;
        const std::uint32_t ruleNumber = parentRule != nullptr ? parentRule->number : 0;
        std::snprintf(number, sizeof number, "%05u ", ruleNumber);
        out += number;
        const char* name = protocolDatabaseName(d->protocol);
        if (tiger) {
            appendCounter(out, d->packets, packetWidth);
            appendCounter(out, d->bytes, byteWidth);
            out += "(" + std::to_string(d->expire - now) + "s) ";
            out += parentRule != nullptr && parentRule->hasLimit() ? "LIMIT " : "STATE ";
            out += name != nullptr ? std::string(name) : "proto " + std::to_string(d->protocol);
        } else {
            appendCounter(out, d->packets, 1);
            appendCounter(out, d->bytes, 1);
            const auto bucket = FlowKeyHash {}(FlowKey::of(d->protocol, d->src, d->srcPort, d->dst, d->dstPort)) % 256;
            out += "(T " + std::to_string(d->expire - now) + ", # " + std::to_string(bucket) + ") ty 0 ";
            out += name != nullptr ? std::string(name) : "proto " + std::to_string(d->protocol);
            out += ',';
        }
        out += ' ';
        appendDottedQuad(out, d->src);
        out += ' ' + std::to_string(d->srcPort) + " <-> ";
        appendDottedQuad(out, d->dst);
        out += ' ' + std::to_string(d->dstPort) + '\n';
    }
    return out;
}

} // namespace kw::ipfwemu
