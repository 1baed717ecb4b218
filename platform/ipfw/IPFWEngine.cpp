#include "IPFWEngine.h"

#include "base/DottedQuad.h"
#include "base/Release.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace kw::ipfwemu {

namespace {

constexpr std::uint8_t kProtoIcmp = 1;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;

std::uint32_t portKey(std::uint8_t protocol, std::uint16_t port)
{
    return (std::uint32_t { protocol } << 16) | port;
}

bool bitsMatch(std::uint8_t have, std::uint8_t set, std::uint8_t clear)
{
    return (have & set) == set && (have & clear) == 0;
}

// The action as the kernel logs it: one word, or a word with its argument ("Divert 8668",
// "Forward to 10.0.0.1:3128", "SkipTo 500"), as the release's kernel wrote it.
std::string logAction(const IPFWRule& r)
{
    switch (r.action) {
    case IPFWAction::Accept:
        return "Accept";
    case IPFWAction::Count:
        return "Count";
    case IPFWAction::Divert:
        return "Divert " + std::to_string(r.divertPort);
    case IPFWAction::Tee:
        return "Tee " + std::to_string(r.divertPort);
    case IPFWAction::Forward: {
        std::string s = "Forward to ";
        appendDottedQuad(s, r.forwardAddress);
        if (r.forwardPort != 0) {
            s += ':' + std::to_string(r.forwardPort);
        }
        return s;
    }
    case IPFWAction::SkipTo:
        return "SkipTo " + std::to_string(r.skipToRule);
    case IPFWAction::Deny:
        return "Deny";
    case IPFWAction::Reject:
        if (r.rejectCode == kIPFWRejectReset) {
            return "Reset";
        }
        // The older kernel names no code; the newer one says "Reject" for host unreachable
        // and gives any other code.
        if (!KWRunningOnTiger) {
            return "Unreach";
        }
        return r.rejectCode == 1 ? std::string("Reject") : "Unreach " + std::to_string(r.rejectCode);
    case IPFWAction::CheckState:
        return "Check-state";
    }
    return "UNKNOWN";
}

// Packet descriptions name no fragment offset; a later fragment is logged at the first
// offset after one full fragment of 1480 bytes (185 units of 8 bytes).
constexpr int kLoggedFragmentOffset = 185;

} // namespace

bool Verdict::passes() const
{
    if (rule == nullptr || limitReached) {
        return false;
    }
    return rule->action == IPFWAction::Accept || rule->action == IPFWAction::Tee || rule->action == IPFWAction::Forward;
}

std::string verdictText(const Verdict& v)
{
    std::string s = "rule " + std::to_string(v.ruleNumber) + ' ';
    if (v.rule == nullptr) {
        return s + "none";
    }
    if (v.limitReached) {
        return s + "deny (limit reached)";
    }
    const IPFWRule& r = *v.rule;
    appendActionText(s, r);
    if (v.dynamic) {
        s += " (dynamic)";
    }
    return s;
}

// The rules that can match packets of one direction and pair of interfaces: those with a
// destination port list of TCP or UDP filed under each (protocol, port), all others in order.
// The port lists sit in one flat open-addressing table (a packet costs one or two probes into
// contiguous memory instead of a walk through list nodes).
struct Engine::CandidateSet {
    static constexpr std::uint32_t kEmpty = 0xffffffffu;

    std::vector<std::uint32_t> generic;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> byPort; // while building

    std::vector<std::uint32_t> keys; // power-of-two size, kEmpty where free
    std::vector<std::uint32_t> starts;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> lists;
    std::uint32_t mask = 0;

    static std::uint32_t slot(std::uint32_t key) { return (key * 0x9e3779b1u) ^ (key >> 15); }

    void freeze()
    {
        std::size_t size = 16;
        while (size < byPort.size() * 2) {
            size *= 2;
        }
        keys.assign(size, kEmpty);
        starts.assign(size, 0);
        counts.assign(size, 0);
        mask = static_cast<std::uint32_t>(size - 1);
        for (const auto& [key, list] : byPort) {
            std::uint32_t i = slot(key) & mask;
            while (keys[i] != kEmpty) {
                i = (i + 1) & mask;
            }
            keys[i] = key;
            starts[i] = static_cast<std::uint32_t>(lists.size());
            counts[i] = static_cast<std::uint32_t>(list.size());
            lists.insert(lists.end(), list.begin(), list.end());
        }
        byPort.clear();
    }

    std::span<const std::uint32_t> find(std::uint32_t key) const
    {
        if (keys.empty()) {
            return {};
        }
        for (std::uint32_t i = slot(key) & mask;; i = (i + 1) & mask) {
            if (keys[i] == key) {
                return { lists.data() + starts[i], counts[i] };
            }
            if (keys[i] == kEmpty) {
                return {};
            }
        }
    }
};

Engine::Engine(Table& table)
    : m_table(table)
{}

Engine::~Engine() = default;

void Engine::setMyAddresses(std::vector<std::uint32_t> addresses)
{
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    m_myAddresses = std::move(addresses);
}

void Engine::setInterfaceAddress(std::string_view name, std::uint32_t address)
{
    const int id = interfaceId(name);
    m_interfaceAddresses[static_cast<std::size_t>(id)] = address;
    m_candidateSets.clear();
}

void Engine::setLogSink(LogSink sink, bool loggingOn)
{
    m_logSink = std::move(sink);
    m_loggingOn = loggingOn;
}

int Engine::interfaceId(std::string_view name)
{
    const auto it = m_interfaceIds.find(std::string(name));
    if (it != m_interfaceIds.end()) {
        return it->second;
    }
    const int id = static_cast<int>(m_interfaceNames.size());
    m_interfaceNames.emplace_back(name);
    m_interfaceAddresses.push_back(0);
    m_interfaceIds.emplace(std::string(name), id);
    return id;
}

bool Engine::isMe(std::uint32_t address) const
{
    return std::binary_search(m_myAddresses.begin(), m_myAddresses.end(), address);
}

void Engine::rebuild()
{
    m_candidateSets.clear();
    m_statefulIndexes.clear();
    m_indexOfId.clear();
    const auto& rules = m_table.rules();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const IPFWRule& r = rules[i].rule;
        if (r.keepsState() || r.action == IPFWAction::CheckState) {
            m_statefulIndexes.push_back(i);
        }
        m_indexOfId.emplace(rules[i].id, i);
    }
    m_builtGeneration = m_table.generation();
}

namespace {

// Ranges up to this many ports are filed under each of their ports; wider ones stay generic.
constexpr std::uint32_t kMaxFiledPorts = 256;

} // namespace

bool Engine::fileByPort(CandidateSet& set, const IPFWRule& r, std::uint32_t index)
{
    if ((r.protocol != kProtoTcp && r.protocol != kProtoUdp) || r.destinationPortCount == 0 ||
        r.destinationPortKind == IPFWPortKind::Mask) {
        return false;
    }
    const auto ports = r.destinationPorts();
    std::size_t listStart = 0;
    std::uint32_t low = 1;
    std::uint32_t high = 0;
    if (r.destinationPortKind == IPFWPortKind::Range && ports.size() >= 2) {
        low = ports[0];
        high = ports[1];
        listStart = 2;
        if (high >= low && high - low + 1 > kMaxFiledPorts) {
            return false;
        }
    }
    const auto file = [&](std::uint32_t port) {
        auto& list = set.byPort[portKey(static_cast<std::uint8_t>(r.protocol), static_cast<std::uint16_t>(port))];
        if (list.empty() || list.back() != index) {
            list.push_back(index);
        }
    };
    for (std::uint32_t port = low; port <= high; ++port) {
        file(port);
    }
    for (std::size_t k = listStart; k < ports.size(); ++k) {
        file(ports[k]);
    }
    return true;
}

const Engine::CandidateSet& Engine::candidates(const Packet& p)
{
    const std::uint64_t key = (p.outgoing ? 1u : 0u) |
                              (static_cast<std::uint64_t>(static_cast<std::uint32_t>(p.receiveInterface + 1)) << 1) |
                              (static_cast<std::uint64_t>(static_cast<std::uint32_t>(p.transmitInterface + 1)) << 32);
    if (const auto it = m_candidateSets.find(key); it != m_candidateSets.end()) {
        return *it->second;
    }
    auto set = std::make_unique<CandidateSet>();
    const bool hasRecv = p.receiveInterface >= 0;
    const bool hasXmit = p.transmitInterface >= 0;
    const auto ifaceMatches = [&](const IPFWInterface& iface, int id) {
        if (id < 0) {
            return false;
        }
        const auto index = static_cast<std::size_t>(id);
        return iface.matches(m_interfaceNames[index], m_interfaceAddresses[index]);
    };
    const auto& rules = m_table.rules();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const IPFWRule& r = rules[i].rule;
        if (p.outgoing ? !r.out : !r.in) {
            continue;
        }
        if (r.via.isSet() && !ifaceMatches(r.via, p.outgoing ? p.transmitInterface : p.receiveInterface)) {
            continue;
        }
        if (r.recv.isSet() && (!hasRecv || !ifaceMatches(r.recv, p.receiveInterface))) {
            continue;
        }
        if (r.xmit.isSet() && (!hasXmit || !ifaceMatches(r.xmit, p.transmitInterface))) {
            continue;
        }
        const auto index = static_cast<std::uint32_t>(i);
        if (!fileByPort(*set, r, index)) {
            set->generic.push_back(index);
        }
    }
    set->freeze();
    return *m_candidateSets.emplace(key, std::move(set)).first->second;
}

bool Engine::matches(const IPFWRule& r, const Packet& p, bool srcIsMe, bool dstIsMe)
{
    if (r.protocol != 0 && r.protocol != p.protocol) {
        return false;
    }
    if (!r.source.matches(p.src, srcIsMe) || !r.destination.matches(p.dst, dstIsMe)) {
        return false;
    }
    if (r.sourcePortCount > 0 || r.destinationPortCount > 0) {
        if (p.fragment || (p.protocol != kProtoTcp && p.protocol != kProtoUdp)) {
            return false;
        }
        if (!r.sourcePortMatches(p.srcPort) || !r.destinationPortMatches(p.dstPort)) {
            return false;
        }
    }
    if (r.fragment && !p.fragment) {
        return false;
    }
    if ((r.ipOptionsSet | r.ipOptionsClear) != 0 && !bitsMatch(p.ipOptions, r.ipOptionsSet, r.ipOptionsClear)) {
        return false;
    }
    if (r.established || (r.tcpFlagsSet | r.tcpFlagsClear | r.tcpOptionsSet | r.tcpOptionsClear) != 0) {
        if (p.protocol != kProtoTcp || p.fragment) {
            return false;
        }
        if (r.established && (p.tcpFlags & (ipfw::kTcpRst | ipfw::kTcpAck)) == 0) {
            return false;
        }
        if (!bitsMatch(p.tcpFlags, r.tcpFlagsSet, r.tcpFlagsClear) ||
            !bitsMatch(p.tcpOptions, r.tcpOptionsSet, r.tcpOptionsClear)) {
            return false;
        }
    }
    if (r.hasIcmpTypes && (p.protocol != kProtoIcmp || p.fragment || !r.hasIcmpType(p.icmpType))) {
        return false;
    }
    if (r.hasUid && (!p.hasUid || p.uid != r.uid)) {
        return false;
    }
    if (r.bridged && !p.bridged) {
        return false;
    }
    if (r.probability < 1.0) {
        m_random ^= m_random << 13;
        m_random ^= m_random >> 7;
        m_random ^= m_random << 17;
        if (static_cast<double>(m_random >> 11) * 0x1.0p-53 >= r.probability) {
            return false;
        }
    }
    return true;
}

DynamicRule* Engine::lookupDynamic(const Packet& p, std::int64_t now, bool& reverse)
{
    auto& table = m_table.dynamic();
    if (table.empty()) {
        return nullptr;
    }
    const std::uint16_t sport = p.fragment ? 0 : p.srcPort;
    const std::uint16_t dport = p.fragment ? 0 : p.dstPort;
    const auto it = table.find(FlowKey::of(p.protocol, p.src, sport, p.dst, dport));
    if (it == table.end()) {
        return nullptr;
    }
    if (it->second.expire < now) {
        table.erase(it);
        return nullptr;
    }
    reverse = !(it->second.src == p.src && it->second.srcPort == sport);
    return &it->second;
}

void Engine::updateState(DynamicRule& d, const Packet& p, bool reverse, std::int64_t now)
{
    if (p.protocol == kProtoTcp) {
        std::uint32_t bits = 0;
        if ((p.tcpFlags & ipfw::kTcpSyn) != 0) {
            bits |= reverse ? DynamicRule::kSynReverse : DynamicRule::kSynForward;
        }
        if ((p.tcpFlags & ipfw::kTcpFin) != 0) {
            bits |= reverse ? DynamicRule::kFinReverse : DynamicRule::kFinForward;
        }
        if ((p.tcpFlags & ipfw::kTcpRst) != 0) {
            bits |= DynamicRule::kReset;
        }
        d.tcpState |= bits;
        constexpr std::uint32_t bothSyn = DynamicRule::kSynForward | DynamicRule::kSynReverse;
        constexpr std::uint32_t bothFin = DynamicRule::kFinForward | DynamicRule::kFinReverse;
        if ((d.tcpState & DynamicRule::kReset) != 0) {
            d.expire = now + m_lifetimes.rst;
        } else if ((d.tcpState & bothSyn) == bothSyn) {
            d.expire = now + ((d.tcpState & bothFin) == bothFin ? m_lifetimes.fin : m_lifetimes.ack);
        } else {
            d.expire = now + m_lifetimes.syn;
        }
    } else if (p.protocol == kProtoUdp) {
        d.expire = now + m_lifetimes.udp;
    } else {
        d.expire = now + m_lifetimes.shortLived;
    }
    ++d.packets;
    d.bytes += p.length;
}

void Engine::installState(const TableRule& parent, const Packet& p, std::int64_t now)
{
    auto& table = m_table.dynamic();
    if (table.size() >= m_dynamicLimit) {
        // A full table is swept at most once per second, not once per packet.
        if (now != m_lastSweep) {
            m_lastSweep = now;
            m_table.expireDynamic(now);
        }
        if (table.size() >= m_dynamicLimit) {
            return;
        }
    }
    DynamicRule d;
    d.parentId = parent.id;
    d.serial = m_table.nextSerial();
    d.protocol = p.protocol;
    d.src = p.src;
    d.dst = p.dst;
    d.srcPort = p.fragment ? 0 : p.srcPort;
    d.dstPort = p.fragment ? 0 : p.dstPort;
    updateState(d, p, false, now);
    table.insert_or_assign(FlowKey::of(d.protocol, d.src, d.srcPort, d.dst, d.dstPort), d);
}

bool Engine::limitAllows(const TableRule& rule, const Packet& p, std::int64_t now) const
{
    const IPFWRule& r = rule.rule;
    const std::uint16_t sport = p.fragment ? 0 : p.srcPort;
    const std::uint16_t dport = p.fragment ? 0 : p.dstPort;
    std::uint32_t sharing = 0;
    for (const auto& [key, d] : m_table.dynamic()) {
        if (d.parentId != rule.id || d.expire < now) {
            continue;
        }
        if (((r.limitMask & ipfw::kLimitSrcAddr) != 0 && d.src != p.src) ||
            ((r.limitMask & ipfw::kLimitSrcPort) != 0 && d.srcPort != sport) ||
            ((r.limitMask & ipfw::kLimitDstAddr) != 0 && d.dst != p.dst) ||
            ((r.limitMask & ipfw::kLimitDstPort) != 0 && d.dstPort != dport)) {
            continue;
        }
        if (++sharing >= r.limitCount) {
            return false;
        }
    }
    return true;
}

void Engine::account(TableRule& rule, const Packet& p, std::int64_t now)
{
    ++rule.packets;
    rule.bytes += p.length;
    rule.lastMatch = now;
    if (rule.rule.log) {
        report(rule, p, now);
    }
}

void Engine::report(TableRule& rule, const Packet& p, std::int64_t now)
{
    if (!m_loggingOn || !m_logSink) {
        return;
    }
    if (rule.logLimit != 0 && rule.logged >= rule.logLimit) {
        return;
    }
    ++rule.logged;
    std::string words = std::to_string(rule.rule.number);
    words += ' ';
    words += logAction(rule.rule);
    words += ' ';
    const auto endpoint = [&](std::uint32_t address, std::uint16_t port, bool withPort) {
        appendDottedQuad(words, address);
        if (withPort) {
            words += ':' + std::to_string(port);
        }
    };
    const bool ports = !p.fragment;
    switch (p.protocol) {
    case kProtoTcp:
    case kProtoUdp:
        words += p.protocol == kProtoTcp ? "TCP " : "UDP ";
        endpoint(p.src, p.srcPort, ports);
        words += ' ';
        endpoint(p.dst, p.dstPort, ports);
        break;
    case kProtoIcmp:
        words += p.fragment ? std::string("ICMP ")
                            : "ICMP:" + std::to_string(p.icmpType) + '.' + std::to_string(p.icmpCode) + ' ';
        endpoint(p.src, 0, false);
        words += ' ';
        endpoint(p.dst, 0, false);
        break;
    default:
        words += "P:" + std::to_string(p.protocol) + ' ';
        endpoint(p.src, 0, false);
        words += ' ';
        endpoint(p.dst, 0, false);
        break;
    }
    const int iface = p.outgoing ? p.transmitInterface : p.receiveInterface;
    words += p.outgoing ? " out via " : " in via ";
    words += iface >= 0 ? m_interfaceNames[static_cast<std::size_t>(iface)] : std::string("?");
    if (p.fragment) {
        // A later fragment: its offset, in the older kernel's words or the newer one's.
        if (KWRunningOnTiger) {
            words += " (frag 0:" + std::to_string(p.length) + '@' + std::to_string(kLoggedFragmentOffset) + ')';
        } else {
            words += " Fragment = " + std::to_string(kLoggedFragmentOffset);
        }
    }
    m_logSink(words, now);
    if (rule.logLimit != 0 && rule.logged == rule.logLimit) {
        m_logSink("limit " + std::to_string(rule.logLimit) + " reached on entry " + std::to_string(rule.rule.number),
                  now);
    }
}

Verdict Engine::evaluate(const Packet& p, std::int64_t now)
{
    if (m_builtGeneration != m_table.generation()) {
        rebuild();
    }
    auto& rules = m_table.rules();
    const CandidateSet& set = candidates(p);
    const std::vector<std::uint32_t>& generic = set.generic;
    std::span<const std::uint32_t> second;
    if (!p.fragment && (p.protocol == kProtoTcp || p.protocol == kProtoUdp)) {
        second = set.find(portKey(p.protocol, p.dstPort));
    }

    const bool srcIsMe = !m_myAddresses.empty() && isMe(p.src);
    const bool dstIsMe = !m_myAddresses.empty() && isMe(p.dst);
    std::size_t ia = 0;
    std::size_t ib = 0;
    std::size_t is = 0; // next stateful rule
    bool dynamicChecked = m_statefulIndexes.empty();

    // Continues the walk at the first rule with index at least `from`.
    const auto seek = [&](std::size_t from) {
        ia = static_cast<std::size_t>(std::lower_bound(generic.begin(), generic.end(), from) - generic.begin());
        ib = static_cast<std::size_t>(std::lower_bound(second.begin(), second.end(), from) - second.begin());
        while (is < m_statefulIndexes.size() && m_statefulIndexes[is] < from) {
            ++is;
        }
    };

    for (;;) {
        std::size_t index = 0;
        if (ia < generic.size() && (ib >= second.size() || generic[ia] < second[ib])) {
            index = generic[ia++];
        } else if (ib < second.size()) {
            index = second[ib++];
        } else {
            // Only reached when the default rule is missing from the set, which cannot happen.
            break;
        }
        bool dynamicHit = false;
        if (!dynamicChecked && is < m_statefulIndexes.size() && m_statefulIndexes[is] <= index) {
            dynamicChecked = true;
            bool reverse = false;
            if (DynamicRule* d = lookupDynamic(p, now, reverse)) {
                const auto parent = m_indexOfId.find(d->parentId);
                if (parent != m_indexOfId.end()) {
                    updateState(*d, p, reverse, now);
                    index = parent->second;
                    dynamicHit = true;
                }
            }
        }
        TableRule& tr = rules[index];
        const IPFWRule& r = tr.rule;
        if (!dynamicHit) {
            if (r.action == IPFWAction::CheckState || !matches(r, p, srcIsMe, dstIsMe)) {
                continue;
            }
            if (r.hasLimit() && !limitAllows(tr, p, now)) {
                return Verdict { r.number, &r, false, true };
            }
            if (r.keepsState()) {
                installState(tr, p, now);
            }
        }
        account(tr, p, now);
        switch (r.action) {
        case IPFWAction::Count:
        case IPFWAction::CheckState:
            if (dynamicHit) {
                seek(index + 1);
            }
            continue;
        case IPFWAction::SkipTo: {
            std::size_t target = index + 1;
            if (r.skipToRule > r.number) {
                target = m_table.firstIndexAtLeast(r.skipToRule);
            }
            seek(target);
            continue;
        }
        default:
            return Verdict { r.number, &r, dynamicHit };
        }
    }
    const TableRule& last = rules.back();
    return Verdict { last.rule.number, &last.rule, false };
}

} // namespace kw::ipfwemu
