#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kw {

// One ipfw rule as the grammar reads it. Addresses are IPv4 in host byte order; the packet
// filter evaluates rules in this form, and ruleText() writes it back as the listing shows it.
enum class IPFWAction { Accept, Count, Divert, Tee, Forward, SkipTo, Deny, Reject, CheckState };

// Reject code that answers with a TCP reset instead of an ICMP unreachable message.
inline constexpr int kIPFWRejectReset = 256;

struct IPFWAddress {
    bool negated = false;
    bool me = false;           // the host's own addresses
    std::uint32_t address = 0; // already masked
    std::uint32_t mask = 0;    // 0 (with address 0) is "any"

    // The test without negation folded in: the address matches, or for "me", the caller says
    // that the address is one of the host's own.
    bool matches(std::uint32_t ip, bool isMyAddress) const
    {
        const bool hit = me ? isMyAddress : (ip & mask) == address;
        return hit != negated;
    }
};

// How a side's ports are given: a list; a range (first two entries low and high, then a list);
// a port and mask (first two entries, then a list).
enum class IPFWPortKind { List, Range, Mask };

struct IPFWInterface {
    enum class Kind { None, Any, Address, Name };
    Kind kind = Kind::None;
    std::uint32_t address = 0; // Kind::Address
    std::string name;          // Kind::Name: the name without its unit, at most 9 characters
    int unit = 0;
    bool anyUnit = false; // "*" in place of the unit

    bool isSet() const { return kind != Kind::None; }
    // Tests one interface of a packet (its full name such as "en0", and its address).
    bool matches(const std::string& interfaceName, std::uint32_t interfaceAddress) const;
    // "any", a dotted address, or the name with its unit ("en0", "lo*").
    std::string text() const;
};

// The flow fields a "limit" rule counts connections by.
namespace ipfw {
inline constexpr std::uint8_t kLimitSrcAddr = 0x01, kLimitSrcPort = 0x02, kLimitDstAddr = 0x04, kLimitDstPort = 0x08;
} // namespace ipfw

struct IPFWRule {
    static constexpr int kMaxPorts = 10;
    // Sets are numbered 0 to 31; the default rule is in the last one.
    static constexpr int kMaxSet = 31;

    std::uint32_t number = 0; // 0 when the rule gave none
    int set = 0;              // the rule set ("set N"); every rule is in set 0 unless it names one
    double probability = 1.0; // greater than 0, at most 1; 1 matches every packet

    IPFWAction action = IPFWAction::Accept;
    std::uint16_t divertPort = 0; // divert and tee
    std::uint32_t forwardAddress = 0;
    std::uint16_t forwardPort = 0; // 0 keeps the packet's own port
    std::uint32_t skipToRule = 0;
    int rejectCode = 0; // ICMP unreachable code 0-255, or kIPFWRejectReset

    bool log = false;
    std::uint32_t logAmount = 0; // 0: the system's default limit

    int protocol = 0; // 0 means all protocols

    IPFWAddress source;
    IPFWAddress destination;

    // One list shared by both sides, source ports first.
    std::array<std::uint16_t, kMaxPorts> ports {};
    int sourcePortCount = 0;
    int destinationPortCount = 0;
    IPFWPortKind sourcePortKind = IPFWPortKind::List;
    IPFWPortKind destinationPortKind = IPFWPortKind::List;

    // Directions the rule applies to; both when the rule named neither.
    bool in = false;
    bool out = false;
    IPFWInterface via;  // receive interface of incoming, transmit interface of outgoing packets
    IPFWInterface recv; // receive interface
    IPFWInterface xmit; // transmit interface

    bool fragment = false;
    bool established = false;
    bool bridged = false;
    std::uint8_t ipOptionsSet = 0;
    std::uint8_t ipOptionsClear = 0;
    std::uint8_t tcpFlagsSet = 0;
    std::uint8_t tcpFlagsClear = 0;
    std::uint8_t tcpOptionsSet = 0;
    std::uint8_t tcpOptionsClear = 0;
    bool hasIcmpTypes = false;
    std::array<std::uint32_t, 4> icmpTypes {}; // bit n%32 of word n/32 for type n, 0-127
    bool hasUid = false;
    std::uint32_t uid = 0;
    std::string userName; // as the user database names the uid
    bool keepState = false;
    int stateType = 0;
    // "limit src-addr 2": keeps state like keep-state, but lets at most limitCount flows share
    // the fields named by limitMask (ipfw::kLimit* bits); a flow beyond that is dropped.
    std::uint8_t limitMask = 0;
    std::uint32_t limitCount = 0;

    bool hasLimit() const { return limitCount != 0; }
    // Keeps state of the flows it lets through: keep-state or limit.
    bool keepsState() const { return keepState || hasLimit(); }

    std::span<const std::uint16_t> sourcePorts() const
    {
        return { ports.data(), static_cast<std::size_t>(sourcePortCount) };
    }
    std::span<const std::uint16_t> destinationPorts() const
    {
        return { ports.data() + sourcePortCount, static_cast<std::size_t>(destinationPortCount) };
    }
    // A side without ports matches every port.
    bool sourcePortMatches(std::uint16_t port) const { return portMatches(sourcePorts(), sourcePortKind, port); }
    bool destinationPortMatches(std::uint16_t port) const
    {
        return portMatches(destinationPorts(), destinationPortKind, port);
    }
    bool hasIcmpType(int type) const
    {
        return type >= 0 && type < 128 && (icmpTypes[type / 32] & (1u << (type % 32))) != 0;
    }

    static bool portMatches(std::span<const std::uint16_t> ports, IPFWPortKind kind, std::uint16_t port);
};

// TCP flag bits of the TCP header, IP option bits, TCP option bits, as the grammar names them.
namespace ipfw {
inline constexpr std::uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpPsh = 0x08, kTcpAck = 0x10,
                              kTcpUrg = 0x20;
inline constexpr std::uint8_t kIpOptLsrr = 0x01, kIpOptSsrr = 0x02, kIpOptRr = 0x04, kIpOptTs = 0x08;
inline constexpr std::uint8_t kTcpOptMss = 0x01, kTcpOptWindow = 0x02, kTcpOptSack = 0x04, kTcpOptTs = 0x08,
                              kTcpOptCc = 0x10;

// The words of each list in the order the grammar tests them (an abbreviation takes the first).
struct NamedBit {
    const char* name;
    std::uint8_t bit;
};
inline constexpr NamedBit kTcpFlagNames[] = { { "syn", kTcpSyn }, { "fin", kTcpFin }, { "ack", kTcpAck },
                                              { "psh", kTcpPsh }, { "rst", kTcpRst }, { "urg", kTcpUrg } };
inline constexpr NamedBit kTcpOptionNames[] = { { "mss", kTcpOptMss },
                                                { "window", kTcpOptWindow },
                                                { "sack", kTcpOptSack },
                                                { "ts", kTcpOptTs },
                                                { "cc", kTcpOptCc } };
inline constexpr NamedBit kIpOptionNames[] = {
    { "ssrr", kIpOptSsrr }, { "lsrr", kIpOptLsrr }, { "rr", kIpOptRr }, { "ts", kIpOptTs }
};
} // namespace ipfw

// The rule text as the listing shows it, from the action word on (no rule number, no set), e.g.
// "allow tcp from any to any 22 in via en0 setup keep-state". Ports and addresses are numeric;
// ports given as "dst-port" or "src-port" options are written after their side's address, as
// the 10.4 listing printed them. The text reads back to the same rule (apart from the set)
// through the grammar that accepted the rule.
std::string ruleText(const IPFWRule& rule);

// The action word with its argument as the listing writes it ("divert 8668", "unreach host").
void appendActionText(std::string& text, const IPFWRule& rule);

// Parts of the rule text that every release's listing writes alike, each with its blank before
// it; the releases differ in the order of the parts and in some keywords.
// " log" (and " logamount N"), then the protocol by its protocols-database name or number.
void appendLogAndProtocol(std::string& text, const IPFWRule& rule);
// " uid" and the user's name (else number).
void appendUid(std::string& text, const IPFWRule& rule);
// " via", " recv", " xmit" with their interfaces, then " frag".
void appendInterfaceWords(std::string& text, const IPFWRule& rule);
// " established", then " setup" or the TCP flags.
void appendTcpFlagWords(std::string& text, const IPFWRule& rule);
// The ICMP types after the keyword ("icmptypes" or the older "icmptype").
void appendIcmpTypes(std::string& text, const IPFWRule& rule, const char* keyword);
// " keep-state" (and its state type).
void appendKeepState(std::string& text, const IPFWRule& rule);
// Bits set, then bits clear ("!"), by name after the keyword; nothing when none is named.
void appendNamedBits(std::string& text, const char* keyword, std::uint8_t set, std::uint8_t clear,
                     std::span<const ipfw::NamedBit> names);

// The words of a limit mask in the order the listing writes them ("src-addr dst-port").
std::string limitMaskText(std::uint8_t mask);

// The rule number as the listing prints it ("%05u").
std::string ruleNumberText(std::uint32_t number);

// The name of an ICMP unreachable code ("net", "host", ...), or nullptr for codes without one.
const char* icmpUnreachName(int code);

} // namespace kw
