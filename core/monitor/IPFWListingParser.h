#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// The keys of a rule row, in this order.
enum class RuleKey {
    OrderItem,
    PacketItem,
    ByteItem,
    DateItem,
    FilterItem,
    Action,
    Log,
    Proto,
    SrcHost,
    SrcPort,
    DstHost,
    DstPort,
    Interface,
    Direction,
    IpOptions,
    IcmpTypes,
    TcpFlags,
    KeepState,
    IpState,
    Source,
    Destination,
    Traffic,
    ExpertOpts,
    Count
};

// "ORDER_ITEM", "PACKET_ITEM", ... "EXPERT_OPTS"; "" for Count.
const char* ruleKeyName(RuleKey key);
std::optional<RuleKey> ruleKeyFromName(std::string_view name);

// One parsed static rule of the listing. Keys are present only when the parse set them.
// ORDER_ITEM, PACKET_ITEM and BYTE_ITEM are numbers (64-bit: kernel counters pass 2^31), every
// other key is text.
class RuleRow {
public:
    bool has(RuleKey key) const;
    // The value as text: a number key as decimal, a string key as stored, "" when absent.
    std::string text(RuleKey key) const;
    const std::string* string(RuleKey key) const;          // nullptr when absent or a number key
    std::optional<std::int64_t> number(RuleKey key) const; // ORDER_ITEM, PACKET_ITEM, BYTE_ITEM
    // On a number key the text must be a decimal integer, otherwise the key ends up absent.
    void setString(RuleKey key, std::string value);
    // On a string key the number is stored as its decimal text.
    void setNumber(RuleKey key, std::int64_t value);

    bool operator==(const RuleRow& other) const;

private:
    static constexpr std::size_t kNumberKeys = 3;
    static constexpr std::size_t kStringKeys = static_cast<std::size_t>(RuleKey::Count) - kNumberKeys;

    std::array<std::int64_t, kNumberKeys> m_numbers {};
    std::array<std::string, kStringKeys> m_strings;
    std::uint32_t m_present = 0; // one bit per key
};

struct ListingResult {
    std::vector<RuleRow> ruleRows;           // static rules in listing order (check-state rules dropped)
    std::vector<std::string> dynamicFilters; // the dynamic lines, unchanged
};

// Port number -> service name; may be empty (then no names are found).
using PortNameLookup = std::function<std::optional<std::string>(int port)>;

// Turns the text of "ipfw -at list" into rule rows and dynamic lines for the monitor. The parse
// builds fresh lists and returns them, so a caller can swap them in whole while its tables read
// the old ones. The parser holds no state besides the lookup: it may be used from any thread.
class IPFWListingParser {
public:
    explicit IPFWListingParser(PortNameLookup serviceNameForPort = {});

    // Rebuilds both lists from the listing text (of "ipfw -at list"); no text gives two empty lists.
    ListingResult parseOutput(std::optional<std::string_view> text) const;
    // Adds the rule-text keys and the display strings (SOURCE, DESTINATION, TRAFFIC, EXPERT_OPTS) to the row.
    void parseFilter(std::string_view ruleText, RuleRow& row) const;

private:
    PortNameLookup m_serviceNameForPort;
};

// The command line the monitor runs through the tool gateway: {"-at", "list"}.
const std::vector<std::string>& listingArguments();

} // namespace kw
