#pragma once

// The texts of a setting: the ipfw rule file and the natd configuration file. Each takes
// the setting dictionary itself; an absent setting (Value()) reads as an empty one. All of
// them raise kw::SettingTypeError (rules/SettingTypeError.h) when a field holds a value of
// the wrong kind, with a description that names the key and where it sits.

#include "base/PlistValue.h"
#include "rules/SettingTypeError.h"

#include <optional>
#include <string>
#include <string_view>

namespace kw {

// Appends "\n", the separator line, "# <comment>\n" and the separator line.
void appendComment(std::string_view comment, std::string& text);

// The rule file text of a setting: EXPERT_CONFIG_TEXT unchanged for an expert setting
// (CONFIG_MODE's integer value not 0; absent text reads as empty), otherwise the fixed
// preamble followed by one block per INTERFACE_LIST entry, numbered from 2000 in steps of
// 1000. Reads kw::KWRunningOnJaguar.
std::string ipfwTextForSetting(const Value& setting);

// The natd configuration text generated from the setting's NAT_CONFIG.
std::string generateNatdTextFromSetting(const Value& setting);

// NATD_EXPERT_TEXT unchanged for an expert setting, otherwise generateNatdTextFromSetting.
std::string natdTextForSetting(const Value& setting);

// Checks the text fields that generation copies into the rule file and the natd
// configuration of this setting. Returns a message naming the field and its place when one of
// them could add or cut commands: a line break, NUL or other control character (tab excepted)
// in any of them, or a "#" in a field that is written inside a rule or option line (it would
// cut the line short). Only fields that are written count: none of an expert setting (its
// texts are written as they are), none of a switched-off interface, ports only of TCP and UDP
// filters, the custom label only of a "Custom Service", host texts not of My Computer ends,
// port maps only of external gateways. Values of the wrong kind are left to the generators,
// which raise for them. nullopt: nothing unsafe.
std::optional<std::string> findUnsafeRuleText(const Value& setting);

// ipfwTextForSetting and findUnsafeRuleText in one pass: each interface is checked right before
// its block is written, while its values are fresh in the cache, which makes the check nearly
// free on settings of thousands of filters. When unsafe is set, text is empty. Raises as
// ipfwTextForSetting does, for the blocks written before a problem is found.
struct CheckedRuleText {
    std::string text;
    std::optional<std::string> unsafe;
};
CheckedRuleText checkedIpfwTextForSetting(const Value& setting);

// A quick setting whose rule numbers would pass 65534, the highest that ipfw takes: a message
// naming the interface entry and the number it would reach; none otherwise. Reads
// kw::KWRunningOnJaguar (the DNS rules differ in number).
std::optional<std::string> findRuleNumberOverflow(const Value& setting);

} // namespace kw
