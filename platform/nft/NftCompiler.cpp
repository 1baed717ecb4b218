#include "NftCompiler.h"

#include "NftKernel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <netinet/in.h>
#include <vector>

namespace kw::nft {

namespace {

enum class Direction { In, Out };

constexpr std::uint32_t kMarkBase = 0x80000000u;
constexpr int kHighestUnreachCode = 15; // the kernel's reject answers ICMP codes 0 to 15
constexpr std::uint32_t kProbabilityScale = 1000000;

std::string dotted(std::uint32_t a)
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    return buf;
}

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

bool appliesTo(const IPFWRule& r, Direction d)
{
    if (r.in != r.out) {
        return d == Direction::In ? r.in : r.out;
    }
    return true;
}

int prefixLength(std::uint32_t mask)
{
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)) != 0) {
        ++bits;
    }
    const std::uint32_t contiguous = bits == 0 ? 0 : ~std::uint32_t { 0 } << (32 - bits);
    return contiguous == mask ? bits : -1;
}

bool isNeverAddress(const IPFWAddress& a)
{
    return !a.me && a.mask == 0 && a.negated;
}

// Appends the address test, or nothing for "any".
void appendAddress(std::string& out, const char* side, const IPFWAddress& a)
{
    if (a.me) {
        out += std::string(" fib ") + side + " type " + (a.negated ? "!= " : "") + "local";
        return;
    }
    if (a.mask == 0) {
        return;
    }
    const std::string field = std::string(" ip ") + side;
    const char* op = a.negated ? " != " : " ";
    const int bits = prefixLength(a.mask);
    if (bits == 32) {
        out += field + op + dotted(a.address);
    } else if (bits > 0) {
        out += field + op + dotted(a.address) + "/" + std::to_string(bits);
    } else {
        out += field + " & " + dotted(a.mask) + (a.negated ? " != " : " == ") + dotted(a.address);
    }
}

const char* protocolName(int p)
{
    switch (p) {
    case IPPROTO_TCP:
        return "tcp";
    case IPPROTO_UDP:
        return "udp";
    default:
        return nullptr;
    }
}

void appendPorts(std::string& out, int protocol, const char* field, std::span<const std::uint16_t> ports,
                 IPFWPortKind kind)
{
    if (ports.empty()) {
        return;
    }
    const std::string prefix = std::string(" ") + protocolName(protocol) + " " + field;
    if (kind == IPFWPortKind::Mask) {
        out += prefix + " & " + hex(ports[1]) + " == " + hex(ports[0] & ports[1]);
        return;
    }
    std::vector<std::string> items;
    std::size_t i = 0;
    if (kind == IPFWPortKind::Range && ports.size() >= 2) {
        items.push_back(ports[0] == ports[1] ? std::to_string(ports[0])
                                             : std::to_string(ports[0]) + "-" + std::to_string(ports[1]));
        i = 2;
    }
    for (; i < ports.size(); ++i) {
        items.push_back(std::to_string(ports[i]));
    }
    if (items.size() == 1) {
        out += prefix + " " + items[0];
        return;
    }
    out += prefix + " {";
    for (std::size_t k = 0; k < items.size(); ++k) {
        out += (k ? ", " : " ") + items[k];
    }
    out += " }";
}

// The interface test for one of via/recv/xmit; false when the rule can never match in this
// direction (xmit on an incoming packet, recv "any" on a packet the host sends).
bool appendInterface(std::string& out, const IPFWInterface& iface, bool receive, Direction d)
{
    if (!iface.isSet()) {
        return true;
    }
    if (!receive && d == Direction::In) {
        return false; // an incoming packet has no transmit interface yet
    }
    if (iface.kind == IPFWInterface::Kind::Any) {
        // Incoming packets always have a receive interface, outgoing ones a transmit interface;
        // an outgoing packet has a receive interface only when it is forwarded.
        if (receive && d == Direction::Out) {
            out += " iif != 0";
        }
        return true;
    }
    out += std::string(receive ? " iifname \"" : " oifname \"") + iface.text() + "\"";
    return true;
}

std::string counterName(std::uint64_t id)
{
    return "r" + std::to_string(id);
}

struct Compiler {
    std::span<const KernelRule> rules;
    std::vector<std::size_t> segmentStarts; // rule indexes that start a chain, 0 first
    bool hasKeepState = false;
    std::string out;

    std::size_t segmentOf(std::size_t index) const
    {
        return static_cast<std::size_t>(std::upper_bound(segmentStarts.begin(), segmentStarts.end(), index) -
                                        segmentStarts.begin()) -
               1;
    }

    static std::string chainName(Direction d, std::size_t segment)
    {
        return (d == Direction::In ? "in_" : "out_") + std::to_string(segment);
    }

    // The index the skipto continues at, or nothing when it goes on with the next rule.
    std::optional<std::size_t> skipTarget(std::size_t index) const
    {
        const IPFWRule& r = *rules[index].rule;
        if (r.skipToRule <= r.number) {
            return std::nullopt;
        }
        for (std::size_t j = index + 1; j < rules.size(); ++j) {
            if (rules[j].rule->number >= r.skipToRule) {
                return j;
            }
        }
        return rules.size() - 1;
    }

    void emitDynamicCheck()
    {
        if (hasKeepState) {
            out += "\t\tct mark @statemarks counter name ct mark map @statecounters return\n";
        }
    }

    void emitRule(std::size_t index, Direction d)
    {
        const KernelRule& kr = rules[index];
        const IPFWRule& r = *kr.rule;
        if (r.action == IPFWAction::CheckState || r.keepState) {
            emitDynamicCheck();
        }
        if (r.action == IPFWAction::CheckState || !appliesTo(r, d) || isNeverAddress(r.source) ||
            isNeverAddress(r.destination)) {
            return;
        }
        std::string m;
        if (r.via.isSet() && !appendInterface(m, r.via, d == Direction::In, d)) {
            return;
        }
        if (!appendInterface(m, r.recv, true, d) || !appendInterface(m, r.xmit, false, d)) {
            return;
        }
        if (r.protocol != 0) {
            const char* name = protocolName(r.protocol);
            m += " meta l4proto " + (name                         ? std::string(name)
                                     : r.protocol == IPPROTO_ICMP ? "icmp"
                                                                  : std::to_string(r.protocol));
        }
        appendAddress(m, "saddr", r.source);
        appendAddress(m, "daddr", r.destination);
        appendPorts(m, r.protocol, "sport", r.sourcePorts(), r.sourcePortKind);
        appendPorts(m, r.protocol, "dport", r.destinationPorts(), r.destinationPortKind);
        if (r.fragment) {
            m += " ip frag-off & 0x1fff != 0";
        }
        if (r.established) {
            m += " tcp flags & (rst | ack) != 0";
        }
        if ((r.tcpFlagsSet | r.tcpFlagsClear) != 0) {
            m += " tcp flags & " + hex(r.tcpFlagsSet | r.tcpFlagsClear) + " == " + hex(r.tcpFlagsSet);
        }
        static const std::pair<std::uint8_t, const char*> kIpOptions[] = { { ipfw::kIpOptLsrr, "lsrr" },
                                                                           { ipfw::kIpOptSsrr, "ssrr" },
                                                                           { ipfw::kIpOptRr, "rr" } };
        for (const auto& [bit, name] : kIpOptions) {
            if (r.ipOptionsSet & bit) {
                m += std::string(" ip option ") + name + " exists";
            } else if (r.ipOptionsClear & bit) {
                m += std::string(" ip option ") + name + " missing";
            }
        }
        static const std::pair<std::uint8_t, const char*> kTcpOptions[] = { { ipfw::kTcpOptMss, "maxseg" },
                                                                            { ipfw::kTcpOptWindow, "window" },
                                                                            { ipfw::kTcpOptTs, "timestamp" } };
        for (const auto& [bit, name] : kTcpOptions) {
            if (r.tcpOptionsSet & bit) {
                m += std::string(" tcp option ") + name + " exists";
            } else if (r.tcpOptionsClear & bit) {
                m += std::string(" tcp option ") + name + " missing";
            }
        }
        if (r.hasIcmpTypes) {
            std::string types;
            int count = 0;
            for (int t = 0; t < 128; ++t) {
                if (r.hasIcmpType(t)) {
                    types += (count++ ? ", " : "") + std::to_string(t);
                }
            }
            m += count == 1 ? " icmp type " + types : " icmp type { " + types + " }";
        }
        if (r.hasUid) {
            m += " meta skuid " + std::to_string(r.uid);
        }
        if (r.probability < 1.0) {
            const auto threshold = static_cast<std::uint32_t>(std::lround(r.probability * kProbabilityScale));
            m += " numgen random mod " + std::to_string(kProbabilityScale) + " < " + std::to_string(threshold);
        }
        std::string stmts;
        if (r.log) {
            stmts += " log prefix \"" + std::to_string(r.number) + " \" group " + std::to_string(kLogGroup);
        }
        if (r.keepState) {
            stmts += " ct mark set " + hex(connectionMark(kr.id));
        }
        stmts += " counter name \"" + counterName(kr.id) + "\"";
        const auto line = [&](const std::string& match, const std::string& verdict) {
            out += "\t\t";
            out += match.empty() ? std::string_view() : std::string_view(match).substr(1);
            out += match.empty() ? stmts.substr(1) : stmts;
            out += verdict;
            out += '\n';
        };
        switch (r.action) {
        case IPFWAction::Accept:
            line(m, " return");
            break;
        case IPFWAction::Count:
            line(m, "");
            break;
        case IPFWAction::SkipTo:
            if (const auto target = skipTarget(index)) {
                line(m, " goto " + chainName(d, segmentOf(*target)));
            } else {
                line(m, "");
            }
            break;
        case IPFWAction::Deny:
            line(m, " drop");
            break;
        case IPFWAction::Reject:
            if (r.rejectCode != kIPFWRejectReset) {
                line(m, " reject with icmp " + std::to_string(r.rejectCode));
            } else if (r.protocol == IPPROTO_TCP) {
                line(m, " reject with tcp reset");
            } else if (r.protocol == 0) {
                // A reset answers TCP only; other packets are dropped.
                line(" meta l4proto tcp" + m, " reject with tcp reset");
                line(m, " drop");
            } else {
                line(m, " drop");
            }
            break;
        case IPFWAction::CheckState:
        case IPFWAction::Divert:
        case IPFWAction::Tee:
        case IPFWAction::Forward:
            break; // refused before compiling
        }
    }

    void emitChains(Direction d)
    {
        for (std::size_t s = 0; s < segmentStarts.size(); ++s) {
            const std::size_t end = s + 1 < segmentStarts.size() ? segmentStarts[s + 1] : rules.size();
            out += "\tchain " + chainName(d, s) + " {\n";
            for (std::size_t i = segmentStarts[s]; i < end; ++i) {
                emitRule(i, d);
            }
            if (s + 1 < segmentStarts.size()) {
                out += "\t\tgoto " + chainName(d, s + 1) + "\n";
            }
            out += "\t}\n";
        }
    }

    std::string compile()
    {
        segmentStarts.push_back(0);
        for (std::size_t i = 0; i < rules.size(); ++i) {
            hasKeepState = hasKeepState || rules[i].rule->keepState;
            if (rules[i].rule->action == IPFWAction::SkipTo) {
                if (const auto target = skipTarget(i)) {
                    segmentStarts.push_back(*target);
                }
            }
        }
        std::sort(segmentStarts.begin(), segmentStarts.end());
        segmentStarts.erase(std::unique(segmentStarts.begin(), segmentStarts.end()), segmentStarts.end());

        const std::string table = std::string(kTableFamily) + " " + kTableName;
        out = "add table " + table + "\ndelete table " + table + "\ntable " + table + " {\n";
        for (const auto& kr : rules) {
            out += "\tcounter " + counterName(kr.id) + " {\n\t}\n";
        }
        if (hasKeepState) {
            std::string marks;
            std::string counters;
            for (const auto& kr : rules) {
                if (kr.rule->keepState) {
                    const std::string mark = hex(connectionMark(kr.id));
                    marks += (marks.empty() ? "" : ", ") + mark;
                    counters += (counters.empty() ? "" : ", ") + mark + " : \"" + counterName(kr.id) + "\"";
                }
            }
            out += "\tset statemarks {\n\t\ttype mark\n\t\telements = { " + marks + " }\n\t}\n";
            out += "\tmap statecounters {\n\t\ttype mark : counter\n\t\telements = { " + counters + " }\n\t}\n";
        }
        emitChains(Direction::In);
        emitChains(Direction::Out);
        out += "\tchain input {\n\t\ttype filter hook input priority filter; policy accept;\n"
               "\t\tmeta nfproto ipv4 jump in_0\n\t}\n";
        out += "\tchain output {\n\t\ttype filter hook output priority filter; policy accept;\n"
               "\t\tmeta nfproto ipv4 jump out_0\n\t}\n";
        out += "\tchain forward {\n\t\ttype filter hook forward priority filter; policy accept;\n"
               "\t\tmeta nfproto ipv4 jump in_0\n\t\tmeta nfproto ipv4 jump out_0\n\t}\n";
        out += "}\n";
        return std::move(out);
    }
};

} // namespace

std::uint32_t connectionMark(std::uint64_t ruleId)
{
    return kMarkBase | static_cast<std::uint32_t>(ruleId & ~kMarkBase);
}

std::optional<std::string> kernelRefusal(const IPFWRule& r)
{
    const auto cannot = [](const std::string& what) {
        return std::optional<std::string>("the kernel backend cannot enforce " + what);
    };
    switch (r.action) {
    case IPFWAction::Divert:
        return cannot("divert (address translation is not compiled yet)");
    case IPFWAction::Tee:
        return cannot("tee");
    case IPFWAction::Forward:
        return cannot("fwd");
    case IPFWAction::Reject:
        if (r.rejectCode != kIPFWRejectReset && (r.rejectCode < 0 || r.rejectCode > kHighestUnreachCode)) {
            return cannot("unreach " + std::to_string(r.rejectCode) + " (ICMP codes 0 to 15 only)");
        }
        break;
    default:
        break;
    }
    if (r.keepState && r.action != IPFWAction::Accept) {
        return cannot("keep-state on a rule that does not allow");
    }
    if (r.keepState && r.stateType != 0) {
        return cannot("keep-state with a state type");
    }
    // Enforcing it as a plain keep-state would let every flow beyond the count through.
    if (r.hasLimit()) {
        return cannot("limit (flow counts per " + limitMaskText(r.limitMask) + ")");
    }
    if (r.bridged) {
        return cannot("bridged");
    }
    for (const IPFWInterface* iface : { &r.via, &r.recv, &r.xmit }) {
        if (iface->kind == IPFWInterface::Kind::Address) {
            return cannot("an interface given by its address (" + iface->text() + ")");
        }
    }
    if ((r.sourcePortCount > 0 || r.destinationPortCount > 0) && protocolName(r.protocol) == nullptr) {
        return cannot("ports on a protocol other than tcp or udp");
    }
    if ((r.sourcePortKind == IPFWPortKind::Mask && r.sourcePortCount > 2) ||
        (r.destinationPortKind == IPFWPortKind::Mask && r.destinationPortCount > 2)) {
        return cannot("a port mask followed by a port list");
    }
    if (((r.ipOptionsSet | r.ipOptionsClear) & ipfw::kIpOptTs) != 0) {
        return cannot("ipoptions ts");
    }
    if (((r.tcpOptionsSet | r.tcpOptionsClear) & (ipfw::kTcpOptSack | ipfw::kTcpOptCc)) != 0) {
        return cannot("tcpoptions sack or cc");
    }
    if (r.hasUid && appliesTo(r, Direction::In)) {
        return cannot("uid on incoming packets (only with \"out\")");
    }
    return std::nullopt;
}

std::optional<std::string> tableRefusal(std::span<const KernelRule> rules)
{
    Compiler c { rules, {}, false, {} };
    std::vector<std::size_t> targets;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].rule->action == IPFWAction::SkipTo) {
            if (const auto t = c.skipTarget(i)) {
                targets.push_back(*t);
            }
        }
    }
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
    if (targets.size() > kMaxSkipTargets) {
        return "the kernel backend cannot enforce more than " + std::to_string(kMaxSkipTargets) +
               " different skipto targets";
    }
    return std::nullopt;
}

std::string compileRuleset(std::span<const KernelRule> rules)
{
    Compiler c { rules, {}, false, {} };
    return c.compile();
}

} // namespace kw::nft
