#include "lint/RuleLint.h"

#include "base/Release.h"
#include "lint/RuleSet.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/NameServices.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <sstream>
#include <unordered_map>

namespace kw {

namespace {

constexpr int kTcp = 6;
constexpr std::uint32_t kLoopbackAddress = 0x7f000001;

std::string numberText(std::uint32_t number)
{
    return ruleNumberText(number);
}

bool isTerminal(const IPFWRule& r)
{
    switch (r.action) {
    case IPFWAction::Accept:
    case IPFWAction::Deny:
    case IPFWAction::Reject:
    case IPFWAction::Forward:
        return true;
    default:
        return false; // divert and tee hand the packet back to the rules after them
    }
}

bool isAny(const IPFWAddress& a)
{
    return !a.negated && !a.me && a.mask == 0;
}

bool hasConditions(const IPFWRule& r)
{
    return r.fragment || r.established || r.bridged || r.ipOptionsSet != 0 || r.ipOptionsClear != 0 ||
           r.tcpFlagsSet != 0 || r.tcpFlagsClear != 0 || r.tcpOptionsSet != 0 || r.tcpOptionsClear != 0 ||
           r.hasIcmpTypes || r.hasUid || r.hasLimit() || r.probability < 1.0;
}

// Every packet on the rule's path (direction and interfaces) matches it.
bool matchesEverythingOnItsPath(const IPFWRule& r)
{
    return r.protocol == 0 && isAny(r.source) && isAny(r.destination) && r.sourcePortCount == 0 &&
           r.destinationPortCount == 0 && !hasConditions(r);
}

bool coversAddress(const IPFWAddress& a, const IPFWAddress& b)
{
    if (isAny(a)) {
        return true;
    }
    if (a.negated != b.negated) {
        return false;
    }
    if (a.me || b.me) {
        return a.me && b.me;
    }
    if (a.negated) {
        return a.address == b.address && a.mask == b.mask;
    }
    return (a.mask & b.mask) == a.mask && (b.address & a.mask) == a.address;
}

// Every port of b's side is one of a's; a side without ports matches every port.
bool coversPorts(std::span<const std::uint16_t> a, IPFWPortKind aKind, std::span<const std::uint16_t> b,
                 IPFWPortKind bKind)
{
    if (a.empty()) {
        return true;
    }
    if (b.empty()) {
        return false;
    }
    if (bKind == IPFWPortKind::List) {
        return std::all_of(b.begin(), b.end(), [&](std::uint16_t p) { return IPFWRule::portMatches(a, aKind, p); });
    }
    if (bKind == IPFWPortKind::Range && b.size() == 2 && aKind == IPFWPortKind::Range && a.size() == 2) {
        return a[0] <= b[0] && b[1] <= a[1];
    }
    return false;
}

bool coversInterface(const IPFWInterface& a, const IPFWInterface& b)
{
    if (!a.isSet() || a.kind == IPFWInterface::Kind::Any) {
        return true;
    }
    if (a.kind != b.kind) {
        return false;
    }
    if (a.kind == IPFWInterface::Kind::Address) {
        return a.address == b.address;
    }
    return a.name == b.name && (a.anyUnit || (!b.anyUnit && a.unit == b.unit));
}

bool matchesIn(const IPFWRule& r)
{
    return r.in || !r.out;
}

bool matchesOut(const IPFWRule& r)
{
    return r.out || !r.in;
}

bool coversBits(std::uint8_t a, std::uint8_t b)
{
    return (a & b) == a;
}

// Every packet b matches, a matches too (a false answer may be a covering too subtle to prove).
bool covers(const IPFWRule& a, const IPFWRule& b)
{
    if (a.probability < 1.0 || a.hasLimit()) {
        return false;
    }
    if (a.protocol != 0 && a.protocol != b.protocol) {
        return false;
    }
    if ((matchesIn(b) && !matchesIn(a)) || (matchesOut(b) && !matchesOut(a))) {
        return false;
    }
    if (!coversAddress(a.source, b.source) || !coversAddress(a.destination, b.destination)) {
        return false;
    }
    if (!coversPorts(a.sourcePorts(), a.sourcePortKind, b.sourcePorts(), b.sourcePortKind) ||
        !coversPorts(a.destinationPorts(), a.destinationPortKind, b.destinationPorts(), b.destinationPortKind)) {
        return false;
    }
    if (!coversInterface(a.via, b.via) || !coversInterface(a.recv, b.recv) || !coversInterface(a.xmit, b.xmit)) {
        return false;
    }
    if ((a.fragment && !b.fragment) || (a.established && !b.established) || (a.bridged && !b.bridged)) {
        return false;
    }
    if (!coversBits(a.ipOptionsSet, b.ipOptionsSet) || !coversBits(a.ipOptionsClear, b.ipOptionsClear) ||
        !coversBits(a.tcpFlagsSet, b.tcpFlagsSet) || !coversBits(a.tcpFlagsClear, b.tcpFlagsClear) ||
        !coversBits(a.tcpOptionsSet, b.tcpOptionsSet) || !coversBits(a.tcpOptionsClear, b.tcpOptionsClear)) {
        return false;
    }
    if (a.hasIcmpTypes) {
        if (!b.hasIcmpTypes) {
            return false;
        }
        for (std::size_t i = 0; i < a.icmpTypes.size(); ++i) {
            if ((b.icmpTypes[i] & ~a.icmpTypes[i]) != 0) {
                return false;
            }
        }
    }
    return !a.hasUid || (b.hasUid && a.uid == b.uid);
}

std::string pathText(const IPFWRule& r)
{
    std::string s;
    if (r.in != r.out) {
        s += r.in ? " in" : " out";
    }
    for (const auto& [word, interface] :
         { std::pair { " via ", &r.via }, std::pair { " recv ", &r.recv }, std::pair { " xmit ", &r.xmit } }) {
        if (interface->isSet()) {
            s += word + interface->text();
        }
    }
    return s.empty() ? std::string(" in both directions on every interface") : s;
}

const char* actionVerb(const IPFWRule& r)
{
    switch (r.action) {
    case IPFWAction::Accept:
        return "allows";
    case IPFWAction::Forward:
        return "forwards";
    default:
        return "refuses";
    }
}

// The terminal rules seen so far, found by the interface and destination port a later rule names:
// a rule on one interface covers only rules on that interface.
class CoveringIndex {
public:
    void add(std::size_t index, const IPFWRule& r)
    {
        Buckets& buckets = m_byInterface[r.via.isSet() ? r.via.text() : std::string()];
        if (r.destinationPortCount > 0 && r.destinationPortKind == IPFWPortKind::List) {
            for (std::uint16_t port : r.destinationPorts()) {
                buckets.byPort[port].push_back(index);
            }
        } else {
            buckets.anyPort.push_back(index);
        }
    }

    template <typename F> std::optional<std::size_t> firstCovering(const IPFWRule& b, F&& coversB) const
    {
        std::optional<std::size_t> best;
        auto consider = [&](const std::vector<std::size_t>& list) {
            for (std::size_t i : list) {
                if (best && i >= *best) {
                    return;
                }
                if (coversB(i)) {
                    best = i;
                    return;
                }
            }
        };
        std::vector<std::string> interfaces { std::string(), std::string("any") };
        if (b.via.isSet()) {
            interfaces.push_back(b.via.text());
            if (b.via.kind == IPFWInterface::Kind::Name && !b.via.anyUnit) {
                interfaces.push_back(b.via.name + "*");
            }
        }
        for (const std::string& interface : interfaces) {
            const auto buckets = m_byInterface.find(interface);
            if (buckets == m_byInterface.end()) {
                continue;
            }
            consider(buckets->second.anyPort);
            if (b.destinationPortCount > 0) {
                if (auto it = buckets->second.byPort.find(b.destinationPorts()[0]);
                    it != buckets->second.byPort.end()) {
                    consider(it->second);
                }
            }
        }
        return best;
    }

private:
    struct Buckets {
        std::vector<std::size_t> anyPort;
        std::unordered_map<std::uint16_t, std::vector<std::size_t>> byPort;
    };
    std::unordered_map<std::string, Buckets> m_byInterface;
};

void findNeverMatching(const std::vector<LoadedRule>& ordered, std::vector<LintWarning>& warnings)
{
    CoveringIndex index;
    // A skipto before a rule may jump over it, so that rule proves nothing about the ones after.
    std::uint32_t farthestSkip = 0;
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        const IPFWRule& b = ordered[i].rule;
        if (b.action != IPFWAction::CheckState) {
            const auto a = index.firstCovering(b, [&](std::size_t j) { return covers(ordered[j].rule, b); });
            if (a) {
                const IPFWRule& r = ordered[*a].rule;
                std::string message = "rule " + numberText(b.number) + " never matches: rule " + numberText(r.number);
                if (matchesEverythingOnItsPath(r)) {
                    message += std::string(" before it ") + actionVerb(r) + " all traffic" + pathText(r);
                } else {
                    message += " before it matches every packet it would";
                }
                warnings.push_back({ ordered[i].line, std::move(message), false });
            }
        }
        if (b.action == IPFWAction::SkipTo) {
            farthestSkip = std::max(farthestSkip, b.skipToRule);
        }
        if (isTerminal(b) && farthestSkip <= b.number) {
            index.add(i, b);
        }
    }
}

// Rules of one number are kept in the order added, after every lower number: a number used again
// after a higher one moves the rule up when the text is loaded.
void findReorderedNumbers(const std::vector<LoadedRule>& rules, std::vector<LintWarning>& warnings)
{
    // Range maxima of the numbers in text order (a sparse table: level k holds spans of 2^k).
    std::vector<std::vector<std::uint32_t>> spans(1);
    for (const LoadedRule& r : rules) {
        spans[0].push_back(r.rule.number);
    }
    for (std::size_t width = 2; width <= rules.size(); width *= 2) {
        const auto& below = spans.back();
        std::vector<std::uint32_t> level(rules.size() - width + 1);
        for (std::size_t i = 0; i < level.size(); ++i) {
            level[i] = std::max(below[i], below[i + width / 2]);
        }
        spans.push_back(std::move(level));
    }
    auto highestBetween = [&](std::size_t first, std::size_t last) { // [first, last), not empty
        std::size_t k = 0;
        while ((std::size_t { 2 } << k) <= last - first) {
            ++k;
        }
        return std::max(spans[k][first], spans[k][last - (std::size_t { 1 } << k)]);
    };
    std::unordered_map<std::uint32_t, std::size_t> lastAt;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const std::uint32_t number = rules[i].rule.number;
        if (const auto seen = lastAt.find(number); seen != lastAt.end() && seen->second + 1 < i) {
            const std::uint32_t highest = highestBetween(seen->second + 1, i);
            if (highest > number) {
                warnings.push_back({ rules[i].line,
                                     "rule number " + numberText(number) + " is used again after rule " +
                                         numberText(highest) + "; once loaded it is checked before that rule",
                                     false });
            }
        }
        lastAt[number] = i;
    }
}

void findStateWithoutCheck(const std::vector<LoadedRule>& ordered, std::vector<LintWarning>& warnings)
{
    for (const LoadedRule& r : ordered) {
        if (r.rule.action == IPFWAction::CheckState) {
            return;
        }
        if (r.rule.keepsState()) {
            warnings.push_back({ r.line,
                                 "rule " + numberText(r.rule.number) +
                                     " keeps state, but no check-state rule comes before it: its dynamic rules "
                                     "are never consulted",
                                 false });
            return;
        }
    }
}

bool sharesPath(const IPFWRule& replies, const IPFWRule& deny)
{
    return coversInterface(replies.via, deny.via) && coversInterface(replies.recv, deny.recv) &&
           coversInterface(replies.xmit, deny.xmit) && matchesIn(replies);
}

void findDenyWithoutReplies(const std::vector<LoadedRule>& ordered, std::vector<LintWarning>& warnings)
{
    const bool anyKeepState =
        std::any_of(ordered.begin(), ordered.end(), [](const LoadedRule& r) { return r.rule.keepsState(); });
    auto refusesEverything = [](const IPFWRule& r) {
        return (r.action == IPFWAction::Deny || r.action == IPFWAction::Reject) && matchesEverythingOnItsPath(r);
    };
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        const IPFWRule& deny = ordered[i].rule;
        if (!refusesEverything(deny) || !matchesIn(deny)) {
            continue;
        }
        // A path that lets nothing out has no replies to wait for.
        const bool nothingGoesOut = std::any_of(ordered.begin(), ordered.end(), [&](const LoadedRule& l) {
            return refusesEverything(l.rule) && matchesOut(l.rule) && coversInterface(l.rule.via, deny.via) &&
                   coversInterface(l.rule.xmit, deny.via);
        });
        if (nothingGoesOut) {
            continue;
        }
        const bool repliesPass =
            std::any_of(ordered.begin(), ordered.begin() + static_cast<std::ptrdiff_t>(i), [&](const LoadedRule& l) {
                const IPFWRule& r = l.rule;
                if (!sharesPath(r, deny)) {
                    return false;
                }
                if (r.action == IPFWAction::CheckState) {
                    return anyKeepState;
                }
                return r.action == IPFWAction::Accept &&
                       (r.established || r.keepsState() || matchesEverythingOnItsPath(r));
            });
        if (!repliesPass) {
            warnings.push_back({ ordered[i].line,
                                 "rule " + numberText(deny.number) +
                                     " refuses all incoming traffic, and no rule before it lets replies to this "
                                     "host's connections back in (established, check-state or keep-state)",
                                 false });
        }
    }
}

// A TCP packet the lockout check follows through the rules.
struct Probe {
    std::uint32_t source = 0;
    std::uint16_t sourcePort = 0;
    bool sourceIsMe = false;
    std::uint32_t destination = 0;
    std::uint16_t destinationPort = 0;
    bool destinationIsMe = false;
    bool incoming = true;
    std::string interfaceName; // empty when not known
    bool remote = false;       // comes from or goes to another machine: never over the loopback
    std::uint32_t interfaceAddress = 0;
    std::uint8_t tcpFlags = ipfw::kTcpAck;
};

enum class Match { No, Yes, Unknown };

Match interfaceMatch(const IPFWInterface& i, const Probe& p)
{
    if (!i.isSet() || i.kind == IPFWInterface::Kind::Any) {
        return Match::Yes;
    }
    if (p.interfaceName.empty()) {
        if (p.remote && i.kind == IPFWInterface::Kind::Name && i.name == "lo") {
            return Match::No;
        }
        return Match::Unknown;
    }
    return i.matches(p.interfaceName, p.interfaceAddress) ? Match::Yes : Match::No;
}

Match probeMatch(const IPFWRule& r, const Probe& p)
{
    if ((r.protocol != 0 && r.protocol != kTcp) || (p.incoming ? !matchesIn(r) : !matchesOut(r))) {
        return Match::No;
    }
    if (!r.source.matches(p.source, p.sourceIsMe) || !r.destination.matches(p.destination, p.destinationIsMe) ||
        !r.sourcePortMatches(p.sourcePort) || !r.destinationPortMatches(p.destinationPort)) {
        return Match::No;
    }
    if (r.fragment || r.bridged || r.ipOptionsSet != 0 || r.hasIcmpTypes ||
        (r.established && (p.tcpFlags & (ipfw::kTcpAck | ipfw::kTcpRst)) == 0) || (r.tcpFlagsSet & ~p.tcpFlags) != 0 ||
        (r.tcpFlagsClear & p.tcpFlags) != 0) {
        return Match::No;
    }
    // An incoming packet has no transmit interface; one this host sends has no receive interface.
    if ((p.incoming && r.xmit.isSet()) || (!p.incoming && r.recv.isSet())) {
        return Match::No;
    }
    Match m = Match::Yes;
    for (Match part : { interfaceMatch(r.via, p), interfaceMatch(p.incoming ? r.recv : r.xmit, p) }) {
        if (part == Match::No) {
            return Match::No;
        }
        if (part == Match::Unknown) {
            m = Match::Unknown;
        }
    }
    if (r.probability < 1.0 || r.tcpOptionsSet != 0 || r.tcpOptionsClear != 0 || r.hasUid || r.hasLimit()) {
        m = Match::Unknown;
    }
    return m;
}

// The rule that surely refuses the packet; none when it passes or the outcome is not certain.
const LoadedRule* refusingRule(const std::vector<LoadedRule>& ordered, const Probe& p)
{
    for (const LoadedRule& l : ordered) {
        const IPFWRule& r = l.rule;
        if (r.action == IPFWAction::CheckState || r.action == IPFWAction::Count) {
            continue; // the reload leaves no dynamic rules to find
        }
        const Match m = probeMatch(r, p);
        if (m == Match::No) {
            continue;
        }
        if (m == Match::Unknown) {
            return nullptr;
        }
        return r.action == IPFWAction::Deny || r.action == IPFWAction::Reject ? &l : nullptr;
    }
    return nullptr;
}

std::string addressText(std::uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
           std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

void findLockouts(const std::vector<LoadedRule>& ordered, const LintOptions& options,
                  std::vector<LintWarning>& warnings)
{
    const auto loopbackRefusal = [&]() -> const LoadedRule* {
        for (bool incoming : { true, false }) {
            for (std::uint8_t flags : { ipfw::kTcpSyn, ipfw::kTcpAck }) {
                const Probe p { kLoopbackAddress, 49152, true,  kLoopbackAddress, 80,   true,
                                incoming,         "lo0", false, kLoopbackAddress, flags };
                if (const LoadedRule* r = refusingRule(ordered, p)) {
                    return r;
                }
            }
        }
        return nullptr;
    };
    if (const LoadedRule* r = loopbackRefusal()) {
        warnings.push_back({ r->line,
                             "rule " + numberText(r->rule.number) +
                                 " refuses traffic on the loopback interface (lo0): local services would stop working",
                             true });
    }
    if (!options.connection) {
        return;
    }
    const ManagementConnection& c = *options.connection;
    const Probe toUs { c.peerAddress, c.peerPort, false,        c.localAddress, c.localPort, true, true, {},
                       true,          0,          ipfw::kTcpAck };
    const Probe fromUs { c.localAddress, c.localPort, true,         c.peerAddress, c.peerPort, false, false, {},
                         true,           0,           ipfw::kTcpAck };
    for (const Probe& p : { toUs, fromUs }) {
        if (const LoadedRule* r = refusingRule(ordered, p)) {
            warnings.push_back({ r->line,
                                 "rule " + numberText(r->rule.number) + " refuses the SSH connection in use (from " +
                                     addressText(c.peerAddress) + " to port " + std::to_string(c.localPort) +
                                     "): loading it would lock you out",
                                 true });
            return;
        }
    }
}

std::optional<std::uint32_t> ipv4(const std::string& text)
{
    in_addr a {};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return std::nullopt;
    }
    return ntohl(a.s_addr);
}

std::optional<std::uint16_t> port(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::optional<ManagementConnection> managementConnectionFromText(std::string_view sshConnection)
{
    std::istringstream in { std::string(sshConnection) };
    std::string peer, peerPort, local, localPort, extra;
    if (!(in >> peer >> peerPort >> local >> localPort) || (in >> extra)) {
        return std::nullopt;
    }
    const auto pa = ipv4(peer), la = ipv4(local);
    const auto pp = port(peerPort), lp = port(localPort);
    if (!pa || !la || !pp || !lp) {
        return std::nullopt;
    }
    return ManagementConnection { *pa, *pp, *la, *lp };
}

LintOptions lintOptionsForThisProcess()
{
    LintOptions options;
    options.requiresCheckState = KWRunningOnJaguar && !KWRunningOnTiger;
    if (const char* ssh = std::getenv("SSH_CONNECTION")) {
        options.connection = managementConnectionFromText(ssh);
    }
    return options;
}

std::vector<LintWarning> lintRuleText(std::string_view text, const LintOptions& options, NameServices& names)
{
    const std::vector<LoadedRule> rules = rulesOfRuleFile(text, names);
    const std::vector<LoadedRule> ordered = inKernelOrder(rules);
    std::vector<LintWarning> warnings;
    findNeverMatching(ordered, warnings);
    findReorderedNumbers(rules, warnings);
    if (options.requiresCheckState) {
        findStateWithoutCheck(ordered, warnings);
    }
    findDenyWithoutReplies(ordered, warnings);
    findLockouts(ordered, options, warnings);
    std::stable_sort(warnings.begin(), warnings.end(),
                     [](const LintWarning& a, const LintWarning& b) { return a.line < b.line; });
    return warnings;
}

std::vector<LintWarning> lintRuleText(std::string_view text, const LintOptions& options)
{
    NameServices names;
    return lintRuleText(text, options, names);
}

} // namespace kw
