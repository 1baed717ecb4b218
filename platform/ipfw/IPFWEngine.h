#pragma once

#include "IPFWTable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kw::ipfwemu {

// One packet as the filter sees it. Interfaces are ids from Engine::interfaceId(); -1 for none.
struct Packet {
    bool outgoing = false;
    int receiveInterface = -1;  // incoming packets, and forwarded outgoing ones
    int transmitInterface = -1; // outgoing packets
    std::uint8_t protocol = 0;
    std::uint32_t src = 0;
    std::uint32_t dst = 0;
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint8_t tcpFlags = 0;   // ipfw::kTcp* bits
    std::uint8_t tcpOptions = 0; // ipfw::kTcpOpt* bits
    std::uint8_t ipOptions = 0;  // ipfw::kIpOpt* bits
    std::uint8_t icmpType = 0;
    std::uint8_t icmpCode = 0;
    bool fragment = false; // a fragment other than the first (no transport header)
    bool bridged = false;
    bool hasUid = false;
    std::uint32_t uid = 0;
    std::uint32_t length = 64;
};

// What became of a packet: the rule that decided (its number and action), and whether it was
// reached through a dynamic rule. A packet that only passed count and skipto rules is decided
// by a later rule, at the latest the default rule.
struct Verdict {
    std::uint32_t ruleNumber = 0;
    const IPFWRule* rule = nullptr;
    bool dynamic = false;
    bool limitReached = false; // a limit rule dropped the packet: its flows were at the limit

    bool passes() const;
};

// "rule 2000 allow", "rule 65535 deny", "rule 1001 divert 8668", "rule 4002 unreach host",
// "rule 2002 allow (dynamic)", "rule 400 deny (limit reached)".
std::string verdictText(const Verdict& verdict);

// The words of the kernel's log line after "ipfw: " for a packet matched by a rule with
// "log", e.g. "100 Deny TCP 10.0.1.5:1234 10.0.1.1:80 in via en0".
using LogSink = std::function<void(const std::string& words, std::int64_t when)>;

// How long dynamic rules live, in seconds.
struct Lifetimes {
    std::int64_t ack = 300;      // established TCP connections
    std::int64_t syn = 20;       // TCP connections not yet answered
    std::int64_t fin = 1;        // closing TCP connections
    std::int64_t rst = 1;        // reset TCP connections
    std::int64_t udp = 10;       // UDP flows
    std::int64_t shortLived = 5; // other protocols
};

// Runs packets through a table with the kernel's semantics: the first matching rule by number
// decides, count rules count and go on, skipto goes on at the first rule with at least the
// given number, keep-state rules leave dynamic rules that the first check-state or keep-state
// rule on a packet's way consults (both directions, any interface), a limit rule keeps state
// like keep-state but drops a new flow when as many flows as its limit share the fields of its
// mask (uncounted, unlogged, as the kernel did), divert and tee hand the
// packet away (counted, the search ends), unreach and reset deny. Every matched rule counts the
// packet and its bytes and notes the time. Rules are indexed by interface, protocol and
// destination port, so a packet visits only the rules that could match it; evaluating allocates
// nothing once the indexes for a packet's interfaces are built.
class Engine {
public:
    explicit Engine(Table& table);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The host's own addresses ("me").
    void setMyAddresses(std::vector<std::uint32_t> addresses);
    // The address of an interface, for rules that name an interface by address.
    void setInterfaceAddress(std::string_view name, std::uint32_t address);
    // Log lines go to the sink when logging is on (net.inet.ip.fw.verbose).
    void setLogSink(LogSink sink, bool loggingOn);
    void setLifetimes(const Lifetimes& lifetimes) { m_lifetimes = lifetimes; }
    // Most dynamic rules at once (net.inet.ip.fw.dyn_max); a keep-state rule that finds the
    // table full still applies its action but leaves no state.
    void setDynamicLimit(std::size_t limit) { m_dynamicLimit = limit; }

    // The id of an interface name ("en0"), made on first use.
    int interfaceId(std::string_view name);

    Verdict evaluate(const Packet& packet, std::int64_t now);

private:
    struct CandidateSet;

    void rebuild();
    const CandidateSet& candidates(const Packet& packet);
    static bool fileByPort(CandidateSet& set, const IPFWRule& rule, std::uint32_t index);
    bool matches(const IPFWRule& rule, const Packet& packet, bool srcIsMe, bool dstIsMe);
    bool isMe(std::uint32_t address) const;
    DynamicRule* lookupDynamic(const Packet& packet, std::int64_t now, bool& reverse);
    void installState(const TableRule& parent, const Packet& packet, std::int64_t now);
    bool limitAllows(const TableRule& rule, const Packet& packet, std::int64_t now) const;
    void updateState(DynamicRule& d, const Packet& packet, bool reverse, std::int64_t now);
    void account(TableRule& rule, const Packet& packet, std::int64_t now);
    void report(TableRule& rule, const Packet& packet, std::int64_t now);

    Table& m_table;
    std::uint64_t m_builtGeneration = ~0ull;
    std::vector<std::uint32_t> m_myAddresses; // sorted
    std::vector<std::string> m_interfaceNames;
    std::vector<std::uint32_t> m_interfaceAddresses;
    std::unordered_map<std::string, int> m_interfaceIds;
    std::unordered_map<std::uint64_t, std::unique_ptr<CandidateSet>> m_candidateSets;
    std::vector<std::size_t> m_statefulIndexes; // rules with keep-state, limit or check-state, ascending
    std::unordered_map<std::uint64_t, std::size_t> m_indexOfId;
    LogSink m_logSink;
    bool m_loggingOn = false;
    Lifetimes m_lifetimes;
    std::size_t m_dynamicLimit = 4096;
    std::int64_t m_lastSweep = -1;
    std::uint64_t m_random = 0x2545f4914f6cdd1dull;
};

} // namespace kw::ipfwemu
