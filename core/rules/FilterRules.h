#pragma once

// Rule text of a service filter dictionary, written straight into the caller's text. The
// interface generator uses it to work on a filter "copy" without copying the dictionary:
// the overrides stand for the values that the copy would have been given.

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw::rules_detail {

struct FilterView {
    const Value& attributes;
    std::optional<std::int64_t> ruleNumber; // in place of ServiceFilterOrderNumber
    std::optional<std::string_view> srcHost; // in place of ServiceFilterSrcHost (non-empty)
    std::optional<std::string_view> dstHost; // in place of ServiceFilterDstHost (non-empty)
};

void appendRuleLine(std::string& out, const FilterView& filter, std::optional<std::string_view> interfaceName,
                    std::optional<std::string_view> direction, bool reversePorts, bool keepState);

void appendRuleText(std::string& out, const FilterView& filter, std::string_view interfaceName);

} // namespace kw::rules_detail
