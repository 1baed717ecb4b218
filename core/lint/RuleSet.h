#pragma once

#include "syntax/IPFWRule.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

class NameServices;

// One rule of a rule file or listing, numbered as the kernel numbers it.
struct LoadedRule {
    IPFWRule rule;
    int line = 0;            // 1-based line of the text it came from
    bool numberGiven = true; // false when the loader numbered it
};

// The "add" lines of a rule file as the loader would enter them: rules without a number get the
// highest number so far plus 100 (at most 65534). Lines the grammar refuses, comments and other
// commands are left out. The rules are in text order; see inKernelOrder.
std::vector<LoadedRule> rulesOfRuleFile(std::string_view text, NameServices& names);

// The order the kernel evaluates rules in: by number, rules of one number in the order added.
std::vector<LoadedRule> inKernelOrder(std::vector<LoadedRule> rules);

// The lines of a rule listing ("ipfw list", with or without counters) as "%05u <rule text>" in
// the canonical form ruleText writes, counters and dynamic rules left out; a line the grammar
// cannot read is kept with its counters cut. The default rule (65535) is left out: every kernel
// has it, and no rule file adds it.
std::vector<std::string> canonicalListing(std::string_view listing, NameServices& names);

// The rules a rule file loads, as canonicalListing would list them once loaded.
std::vector<std::string> canonicalRuleFile(std::string_view text, NameServices& names);

// The rule as the listing shows it with its number: "01000 allow ip from any to any via lo*".
std::string numberedRuleText(const IPFWRule& rule);

} // namespace kw
