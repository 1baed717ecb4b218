#pragma once

#include "syntax/IPFWRule.h"
#include "syntax/NameServices.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kw::ipfwemu {

inline constexpr std::uint32_t kDefaultRuleNumber = 65535;
inline constexpr std::uint32_t kAutoNumberStep = 100;

// One static rule of the emulated kernel: the parsed rule, its listing text, and what the
// kernel counts for it.
struct TableRule {
    std::uint64_t id = 0; // unique within a table, never reused; dynamic rules name their parent by it
    IPFWRule rule;
    std::string text; // ruleText(rule): the listing text, which also reads back to the rule
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::int64_t lastMatch = 0; // 0: never matched
    std::uint64_t logged = 0;   // log lines written since the counters were last cleared
    std::uint64_t logLimit = 0; // most log lines until the counters are cleared; 0 for no limit
};

// The flow of a dynamic rule, the same for both directions of a connection.
struct FlowKey {
    std::uint32_t addressA = 0;
    std::uint32_t addressB = 0;
    std::uint16_t portA = 0;
    std::uint16_t portB = 0;
    std::uint8_t protocol = 0;

    static FlowKey of(std::uint8_t protocol, std::uint32_t src, std::uint16_t sport, std::uint32_t dst,
                      std::uint16_t dport);
    bool operator==(const FlowKey&) const = default;
};

struct FlowKeyHash {
    std::size_t operator()(const FlowKey& k) const noexcept
    {
        std::uint64_t h = (std::uint64_t { k.addressA } << 32) ^ k.addressB;
        h ^= (std::uint64_t { k.portA } << 24) ^ (std::uint64_t { k.portB } << 8) ^ k.protocol;
        h *= 0x9e3779b97f4a7c15ull;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// A dynamic (keep-state) rule: the flow that the parent rule let through, in the direction of
// its first packet, until it expires.
struct DynamicRule {
    std::uint64_t parentId = 0;
    std::uint64_t serial = 0; // creation order, for a stable listing
    std::uint8_t protocol = 0;
    std::uint32_t src = 0;
    std::uint16_t srcPort = 0;
    std::uint32_t dst = 0;
    std::uint16_t dstPort = 0;
    std::int64_t expire = 0; // time after which the rule is gone
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::uint32_t tcpState = 0; // kTcpState* bits seen so far

    static constexpr std::uint32_t kSynForward = 0x01, kSynReverse = 0x02, kFinForward = 0x04, kFinReverse = 0x08,
                                   kReset = 0x10;
};

// The rule table of the emulated kernel: static rules ordered by number (rules with the same
// number in the order they were added), the default rule 65535 always last, and the dynamic
// rules. Changing the table never touches the state file; see IPFWStateStore.
class Table {
public:
    Table();

    const std::vector<TableRule>& rules() const { return m_rules; }
    std::vector<TableRule>& rules() { return m_rules; }
    std::unordered_map<FlowKey, DynamicRule, FlowKeyHash>& dynamic() { return m_dynamic; }
    const std::unordered_map<FlowKey, DynamicRule, FlowKeyHash>& dynamic() const { return m_dynamic; }

    // Adds a parsed rule (number 0: the last rule's number plus 100, as the kernel numbers
    // rules). The caller has checked the number (1 to 65534). Returns the stored rule.
    const TableRule& add(const IPFWRule& rule, std::uint64_t logLimit);
    // Removes every rule with the number, and their dynamic rules; false when there was none.
    bool remove(std::uint32_t number);
    // Clears counters (and log counts) of every rule, or of the rules with the number.
    bool zero(std::optional<std::uint32_t> number = std::nullopt);
    // Removes every rule but the default one and every dynamic rule.
    void flush();

    // Index of the first rule whose number is at least the given one (the default rule's
    // index when none is).
    std::size_t firstIndexAtLeast(std::uint32_t number) const;

    // Drops the dynamic rules that expired before now.
    void expireDynamic(std::int64_t now);

    // Changes since construction or the last call (the evaluation engine rebuilds its indexes).
    std::uint64_t generation() const { return m_generation; }
    void touch() { ++m_generation; }

    std::uint64_t nextId() const { return m_nextId; }
    std::uint64_t nextSerial() { return m_nextSerial++; }

    // The text form kept in the state file, and its reader. The reader parses every rule again
    // with the grammar; false with a message naming the line when the text is not a state file.
    std::string serialize() const;
    bool deserialize(std::string_view text, NameServices& names, std::string& error);

private:
    void ensureDefaultRule();

    std::vector<TableRule> m_rules;
    std::unordered_map<FlowKey, DynamicRule, FlowKeyHash> m_dynamic;
    std::uint64_t m_nextId = 1;
    std::uint64_t m_nextSerial = 1;
    std::uint64_t m_generation = 0;
};

// The default rule as the table holds it.
IPFWRule defaultRule();

} // namespace kw::ipfwemu
