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

// The stored values of a filter dictionary, each nullptr when absent. Read in one ordered
// pass over the dictionary, which keeps large settings quick to generate.
struct FilterFields {
    const Value* action = nullptr;
    const Value* customLabel = nullptr;
    const Value* dstHost = nullptr;
    const Value* dstHostType = nullptr;
    const Value* icmpTypes = nullptr;
    const Value* ipOptions = nullptr;
    const Value* label = nullptr;
    const Value* orderNumber = nullptr;
    const Value* port = nullptr;
    const Value* protocol = nullptr;
    const Value* shouldLog = nullptr;
    const Value* sourcePort = nullptr;
    const Value* srcHost = nullptr;
    const Value* srcHostType = nullptr;
    const Value* tcpFlags = nullptr;

    // attributes must be a dictionary (or none).
    static FilterFields read(const Value& attributes);
};

struct FilterView {
    FilterFields fields;
    std::optional<std::int64_t> ruleNumber;  // in place of ServiceFilterOrderNumber
    std::optional<std::string_view> srcHost; // in place of ServiceFilterSrcHost (non-empty)
    std::optional<std::string_view> dstHost; // in place of ServiceFilterDstHost (non-empty)
};

void appendRuleLine(std::string& out, const FilterView& filter, std::optional<std::string_view> interfaceName,
                    std::optional<std::string_view> direction, bool reversePorts, bool keepState);

void appendRuleText(std::string& out, const FilterView& filter, std::string_view interfaceName);

} // namespace kw::rules_detail
