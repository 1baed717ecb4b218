// Feeds arbitrary bytes through the monitor's listing parse, with and without service names,
// and through the rule-text parse alone, and checks that every row is well formed.
#include "monitor/IPFWListingParser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

std::optional<std::string> serviceName(int port)
{
    check(port >= 1 && port <= 1023);
    if (port % 3 == 0) {
        return std::nullopt;
    }
    return "svc" + std::to_string(port);
}

void checkDisplayStrings(const kw::RuleRow& row)
{
    using kw::RuleKey;
    // The display strings come together: all four when "from" and "to" were found, else none.
    const bool shown = row.has(RuleKey::Source);
    for (RuleKey key : { RuleKey::Destination, RuleKey::Traffic, RuleKey::ExpertOpts }) {
        check(row.has(key) == shown);
    }
    check(row.has(RuleKey::Action));
    if (!shown) {
        return;
    }
    for (RuleKey key : { RuleKey::Source, RuleKey::Destination, RuleKey::Traffic }) {
        const std::string& text = *row.string(key);
        check(std::count(text.begin(), text.end(), '\n') >= 1);
    }
    const std::string& options = *row.string(RuleKey::ExpertOpts);
    check(!options.empty() && std::count(options.begin(), options.end(), '\n') <= 1);
    if (const std::string* direction = row.string(RuleKey::Direction)) {
        check(*direction == "in" || *direction == "out");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kw::IPFWListingParser plain;
    const kw::IPFWListingParser named(serviceName);

    const kw::ListingResult result = plain.parseOutput(text);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    check(result.ruleRows.size() + result.dynamicFilters.size() <= lines);
    for (const auto& row : result.ruleRows) {
        using kw::RuleKey;
        for (RuleKey key : { RuleKey::OrderItem, RuleKey::PacketItem, RuleKey::ByteItem }) {
            check(row.number(key).value_or(-1) >= 0);
        }
        const std::string* date = row.string(RuleKey::DateItem);
        check(date == nullptr || date->size() == 24);
        const std::string* filter = row.string(RuleKey::FilterItem);
        check(filter != nullptr && text.find(*filter) != std::string_view::npos);
        check(filter->rfind("check-state", 0) != 0);
        checkDisplayStrings(row);
    }
    for (const auto& line : result.dynamicFilters) {
        check(line.find('\n') == std::string::npos);
    }

    // Service names change the display strings only.
    const kw::ListingResult withNames = named.parseOutput(text);
    check(withNames.ruleRows.size() == result.ruleRows.size());
    check(withNames.dynamicFilters == result.dynamicFilters);

    kw::RuleRow row;
    named.parseFilter(text.substr(0, text.find('\n')), row);
    checkDisplayStrings(row);
    return 0;
}
