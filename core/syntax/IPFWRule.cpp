#include "syntax/IPFWRule.h"

#include "base/DottedQuad.h"
#include "syntax/ProtocolDatabase.h"

#include <charconv>
#include <cstdio>
#include <utility>

namespace kw {

namespace {

constexpr const char* kUnreachNames[] = {
    "net",      "host",          "protocol",        "port",
    "needfrag", "srcfail",       "net-unknown",     "host-unknown",
    "isolated", "net-prohib",    "host-prohib",     "tosnet",
    "toshost",  "filter-prohib", "host-precedence", "precedence-cutoff",
};

using ipfw::NamedBit;

void appendEndpoint(std::string& s, const IPFWAddress& a)
{
    if (a.negated) {
        s += "not ";
    }
    if (a.me) {
        s += "me";
        return;
    }
    if (a.mask == 0 && a.address == 0) {
        s += "any";
        return;
    }
    appendDottedQuad(s, a.address);
    if (a.mask == 0xffffffffu) {
        return;
    }
    int width = 0;
    while (width < 32 && (a.mask & (0x80000000u >> width)) != 0) {
        ++width;
    }
    const std::uint32_t contiguous = width == 0 ? 0 : 0xffffffffu << (32 - width);
    if (contiguous == a.mask) {
        s += '/';
        s += std::to_string(width);
    } else {
        s += ':';
        appendDottedQuad(s, a.mask);
    }
}

void appendPorts(std::string& s, std::span<const std::uint16_t> ports, IPFWPortKind kind)
{
    if (ports.empty()) {
        return;
    }
    s += ' ';
    std::size_t i = 0;
    if (kind != IPFWPortKind::List && ports.size() >= 2) {
        s += std::to_string(ports[0]);
        s += kind == IPFWPortKind::Range ? '-' : ':';
        s += std::to_string(ports[1]);
        i = 2;
    }
    for (; i < ports.size(); ++i) {
        if (i > 0) {
            s += ',';
        }
        s += std::to_string(ports[i]);
    }
}

std::string protocolText(int protocol)
{
    const char* name = protocolDatabaseName(protocol);
    return name != nullptr ? std::string(name) : std::to_string(protocol);
}

} // namespace

const char* icmpUnreachName(int code)
{
    if (code < 0 || code >= static_cast<int>(std::size(kUnreachNames))) {
        return nullptr;
    }
    return kUnreachNames[code];
}

bool IPFWInterface::matches(const std::string& interfaceName, std::uint32_t interfaceAddress) const
{
    switch (kind) {
    case Kind::None:
    case Kind::Any:
        return true;
    case Kind::Address:
        return interfaceAddress == address;
    case Kind::Name:
        if (interfaceName.compare(0, name.size(), name) != 0) {
            return false;
        }
        if (anyUnit) {
            return true;
        }
        return interfaceName.substr(name.size()) == std::to_string(unit);
    }
    return false;
}

std::string IPFWInterface::text() const
{
    std::string s;
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Any:
        s = "any";
        break;
    case Kind::Address:
        appendDottedQuad(s, address);
        break;
    case Kind::Name:
        s = name;
        s += anyUnit ? std::string("*") : std::to_string(unit);
        break;
    }
    return s;
}

bool IPFWRule::portMatches(std::span<const std::uint16_t> list, IPFWPortKind kind, std::uint16_t port)
{
    if (list.empty()) {
        return true;
    }
    std::size_t i = 0;
    if (kind != IPFWPortKind::List && list.size() >= 2) {
        if (kind == IPFWPortKind::Range ? (port >= list[0] && port <= list[1])
                                        : (port & list[1]) == (list[0] & list[1])) {
            return true;
        }
        i = 2;
    }
    for (; i < list.size(); ++i) {
        if (list[i] == port) {
            return true;
        }
    }
    return false;
}

std::string ruleNumberText(std::uint32_t number)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%05u", number);
    return buf;
}

void appendActionText(std::string& s, const IPFWRule& r)
{
    switch (r.action) {
    case IPFWAction::Accept:
        s += "allow";
        break;
    case IPFWAction::Count:
        s += "count";
        break;
    case IPFWAction::Divert:
        s += "divert " + std::to_string(r.divertPort);
        break;
    case IPFWAction::Tee:
        s += "tee " + std::to_string(r.divertPort);
        break;
    case IPFWAction::Forward:
        s += "fwd ";
        appendDottedQuad(s, r.forwardAddress);
        if (r.forwardPort != 0) {
            s += ',' + std::to_string(r.forwardPort);
        }
        break;
    case IPFWAction::SkipTo:
        s += "skipto " + std::to_string(r.skipToRule);
        break;
    case IPFWAction::Deny:
        s += "deny";
        break;
    case IPFWAction::Reject:
        if (r.rejectCode == kIPFWRejectReset) {
            s += "reset";
        } else {
            const char* name = icmpUnreachName(r.rejectCode);
            s += "unreach ";
            s += name != nullptr ? std::string(name) : std::to_string(r.rejectCode);
        }
        break;
    case IPFWAction::CheckState:
        s += "check-state";
        break;
    }
}

void appendNamedBits(std::string& s, const char* keyword, std::uint8_t set, std::uint8_t clear,
                     std::span<const NamedBit> names)
{
    if (set == 0 && clear == 0) {
        return;
    }
    s += ' ';
    s += keyword;
    char separator = ' ';
    for (const auto* bits : { &set, &clear }) {
        for (const auto& n : names) {
            if ((*bits & n.bit) != 0) {
                s += separator;
                if (bits == &clear) {
                    s += '!';
                }
                s += n.name;
                separator = ',';
            }
        }
    }
}

void appendLogAndProtocol(std::string& s, const IPFWRule& r)
{
    if (r.log) {
        s += " log";
        if (r.logAmount != 0) {
            s += " logamount " + std::to_string(r.logAmount);
        }
    }
    s += ' ';
    s += protocolText(r.protocol);
}

void appendUid(std::string& s, const IPFWRule& r)
{
    if (r.hasUid) {
        s += " uid ";
        s += r.userName.empty() ? std::to_string(r.uid) : r.userName;
    }
}

void appendInterfaceWords(std::string& s, const IPFWRule& r)
{
    if (r.via.isSet()) {
        s += " via " + r.via.text();
    }
    if (r.recv.isSet()) {
        s += " recv " + r.recv.text();
    }
    if (r.xmit.isSet()) {
        s += " xmit " + r.xmit.text();
    }
    if (r.fragment) {
        s += " frag";
    }
}

void appendTcpFlagWords(std::string& s, const IPFWRule& r)
{
    if (r.established) {
        s += " established";
    }
    if (r.tcpFlagsSet == ipfw::kTcpSyn && r.tcpFlagsClear == ipfw::kTcpAck) {
        s += " setup";
    } else {
        appendNamedBits(s, "tcpflags", r.tcpFlagsSet, r.tcpFlagsClear, ipfw::kTcpFlagNames);
    }
}

void appendIcmpTypes(std::string& s, const IPFWRule& r, const char* keyword)
{
    if (!r.hasIcmpTypes) {
        return;
    }
    s += ' ';
    s += keyword;
    char separator = ' ';
    for (int t = 0; t < 128; ++t) {
        if (r.hasIcmpType(t)) {
            s += separator;
            s += std::to_string(t);
            separator = ',';
        }
    }
}

void appendKeepState(std::string& s, const IPFWRule& r)
{
    if (r.keepState) {
        s += " keep-state";
        if (r.stateType != 0) {
            s += ' ' + std::to_string(r.stateType);
        }
    }
}

std::string ruleText(const IPFWRule& r)
{
    std::string s;
    if (r.probability < 1.0) {
        char buf[32];
        const auto end = std::to_chars(buf, buf + sizeof buf, r.probability).ptr;
        s += "prob ";
        s.append(buf, end);
        s += ' ';
    }
    appendActionText(s, r);
    if (r.action == IPFWAction::CheckState) {
        return s;
    }
    appendLogAndProtocol(s, r);
    s += " from ";
    appendEndpoint(s, r.source);
    appendPorts(s, r.sourcePorts(), r.sourcePortKind);
    s += " to ";
    appendEndpoint(s, r.destination);
    appendPorts(s, r.destinationPorts(), r.destinationPortKind);
    appendUid(s, r);
    if (r.in != r.out) {
        s += r.in ? " in" : " out";
    }
    if (r.bridged) {
        s += " bridged";
    }
    appendInterfaceWords(s, r);
    appendNamedBits(s, "ipoptions", r.ipOptionsSet, r.ipOptionsClear, ipfw::kIpOptionNames);
    appendNamedBits(s, "tcpoptions", r.tcpOptionsSet, r.tcpOptionsClear, ipfw::kTcpOptionNames);
    appendTcpFlagWords(s, r);
    appendIcmpTypes(s, r, "icmptypes");
    appendKeepState(s, r);
    if (r.hasLimit()) {
        s += " limit " + limitMaskText(r.limitMask) + ' ' + std::to_string(r.limitCount);
    }
    return s;
}

std::string limitMaskText(std::uint8_t mask)
{
    static constexpr std::pair<std::uint8_t, const char*> kWords[] = {
        { ipfw::kLimitSrcAddr, "src-addr" },
        { ipfw::kLimitSrcPort, "src-port" },
        { ipfw::kLimitDstAddr, "dst-addr" },
        { ipfw::kLimitDstPort, "dst-port" },
    };
    std::string s;
    for (const auto& [bit, word] : kWords) {
        if ((mask & bit) != 0) {
            if (!s.empty()) {
                s += ' ';
            }
            s += word;
        }
    }
    return s;
}

} // namespace kw
