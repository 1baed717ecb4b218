#include "lint/RuleSet.h"

#include "syntax/IPFWGrammar.h"
#include "syntax/IPFWParser.h"
#include "syntax/NameServices.h"

#include <algorithm>
#include <cstdio>

namespace kw {

namespace {

constexpr std::uint32_t kHighestAddedNumber = kIPFWDefaultRuleNumber - 1;
constexpr std::uint32_t kNumberStep = 100;

// Calls f(lineNumber, line) for every line of the text (a last line without break included).
template <typename F> void forEachLine(std::string_view text, F&& f)
{
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        f(++number, text.substr(start, end - start));
        start = end + 1;
    }
}

// The rule of an "add" line, with leading options such as "-q" skipped; none for anything else.
std::optional<IPFWParseResult> parseAddLine(std::string_view line, NameServices& names)
{
    // A line the loader refuses whole (too long, too many words) loads no rule.
    if (line.size() > kIPFWMaxLineLength) {
        return std::nullopt;
    }
    std::string buffer(line.substr(0, line.find('#')));
    std::vector<const char*> words;
    ipfw::splitWords(buffer, words, buffer.size());
    if (words.size() > static_cast<std::size_t>(kIPFWMaxWords)) {
        return std::nullopt;
    }
    auto first = words.begin();
    while (first != words.end() && (*first)[0] == '-') {
        ++first;
    }
    if (first == words.end() || !ipfw::matchesKeyword(*first, "add")) {
        return std::nullopt;
    }
    IPFWParseResult result =
        parseIPFWRule(std::span<const char* const>(&*first, static_cast<std::size_t>(words.end() - first)), names,
                      IPFWGrammarMode::AnyRelease);
    if (!result.accepted) {
        return std::nullopt;
    }
    return result;
}

} // namespace

std::string numberedRuleText(const IPFWRule& rule)
{
    return ruleNumberText(rule.number) + " " + ruleText(rule);
}

std::vector<LoadedRule> rulesOfRuleFile(std::string_view text, NameServices& names)
{
    std::vector<LoadedRule> rules;
    std::uint32_t highest = 0;
    forEachLine(text, [&](int lineNumber, std::string_view line) {
        auto parsed = parseAddLine(line, names);
        if (!parsed) {
            return;
        }
        LoadedRule loaded { std::move(parsed->rule), lineNumber, true };
        if (loaded.rule.number == 0) {
            loaded.numberGiven = false;
            loaded.rule.number = std::min(highest + kNumberStep, kHighestAddedNumber);
        }
        highest = std::max(highest, loaded.rule.number);
        rules.push_back(std::move(loaded));
    });
    return rules;
}

std::vector<LoadedRule> inKernelOrder(std::vector<LoadedRule> rules)
{
    std::stable_sort(rules.begin(), rules.end(),
                     [](const LoadedRule& a, const LoadedRule& b) { return a.rule.number < b.rule.number; });
    return rules;
}

std::vector<std::string> canonicalRuleFile(std::string_view text, NameServices& names)
{
    std::vector<std::string> lines;
    for (const LoadedRule& r : inKernelOrder(rulesOfRuleFile(text, names))) {
        lines.push_back(numberedRuleText(r.rule));
    }
    return lines;
}

std::vector<std::string> canonicalListing(std::string_view listing, NameServices& names)
{
    std::vector<std::string> lines;
    bool dynamicPart = false;
    forEachLine(listing, [&](int, std::string_view line) {
        if (line.starts_with("##")) {
            dynamicPart = true;
        }
        if (dynamicPart || line.find_first_not_of(" \t\r") == std::string_view::npos) {
            return;
        }
        std::string numbered(line);
        if (auto parsed = parseAddLine("add " + numbered, names)) {
            if (parsed->rule.number != kIPFWDefaultRuleNumber) {
                lines.push_back(numberedRuleText(parsed->rule));
            }
            return;
        }
        // Counters and the time of the last match: cut at the first action word after them.
        static constexpr std::string_view kActions[] = { " allow ", " accept ",  " pass ",   " permit ",
                                                         " deny ",  " drop ",    " reject ", " unreach ",
                                                         " reset ", " count ",   " divert ", " tee ",
                                                         " fwd ",   " forward ", " skipto ", " check-state",
                                                         " prob " };
        std::size_t cut = std::string::npos;
        for (std::string_view action : kActions) {
            cut = std::min(cut, numbered.find(action));
        }
        if (cut != std::string::npos) {
            std::string rebuilt = numbered.substr(0, numbered.find(' ')) + numbered.substr(cut);
            if (auto parsed = parseAddLine("add " + rebuilt, names)) {
                if (parsed->rule.number != kIPFWDefaultRuleNumber) {
                    lines.push_back(numberedRuleText(parsed->rule));
                }
                return;
            }
            numbered = rebuilt;
        }
        if (!numbered.starts_with("65535 ")) {
            lines.push_back(numbered);
        }
    });
    return lines;
}

} // namespace kw
