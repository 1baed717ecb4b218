// Lints a 16,000-rule text and compares it with a listing of the same rules that differs in a
// few lines, printing the best of five runs of each (goal: lint at most 200 ms).
// Usage: bench-lint [rules] [--write-document FILE]
// --write-document writes a settings document whose current setting "Benchmark" is an expert
// setting of that rule text, for timing "wallctl diff" on a sandbox that has loaded it.
#include "base/PlistValue.h"
#include "config/SettingsKeys.h"
#include "lint/RuleLint.h"
#include "lint/RuleSet.h"
#include "lint/UnifiedDiff.h"
#include "syntax/NameServices.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Rules in the forms the interface rule generator writes: per interface a block of filters with
// network sources and service ports, closed by the interface's deny of everything else.
std::string ruleText(int rules)
{
    static const char* const ports[] = { "22", "80", "443", "548", "3689", "5900", "25,110,143", "6000-6063" };
    std::string text = "add 1000 allow ip from any to any via lo*\nadd 1004 allow tcp from any to any established\n";
    const int perInterface = std::max(1, rules / 32);
    for (int i = 0; i < rules; ++i) {
        const int block = i / perInterface;
        const std::string iface = "en" + std::to_string(block);
        const int number = 2000 + block * 1000 + i % perInterface;
        char line[200];
        if (i % perInterface == perInterface - 1) {
            std::snprintf(line, sizeof line, "add %d deny log ip from any to any in via %s\n", number, iface.c_str());
        } else {
            std::snprintf(line, sizeof line, "add %d %s %s from 10.%d.%d.0/24 to any %s in via %s%s\n", number,
                          i % 3 == 0 ? "deny" : "allow", i % 5 == 0 ? "udp" : "tcp", block, i % 250, ports[i % 8],
                          iface.c_str(), i % 7 == 0 ? " keep-state" : "");
        }
        text += line;
    }
    return text;
}

template <typename F> double bestOfFive(F&& f)
{
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    int rules = 16000;
    const char* documentPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--write-document") == 0 && i + 1 < argc) {
            documentPath = argv[++i];
        } else {
            rules = std::atoi(argv[i]);
        }
    }
    const std::string text = ruleText(rules);
    if (documentPath != nullptr) {
        kw::Value setting;
        setting.set(kw::keys::kSettingName, kw::Value("Benchmark"));
        setting.set(kw::keys::kConfigMode, kw::Value("2"));
        setting.set(kw::keys::kExpertConfigText, kw::Value(text));
        kw::Value document;
        document.set(kw::keys::kStoredSettings, kw::Value(kw::Value::Dictionary { { "Benchmark", setting } }));
        document.set(kw::keys::kCurrentSetting, kw::Value("Benchmark"));
        std::ofstream(documentPath, std::ios::binary) << kw::valueToXml(document);
        return 0;
    }
    kw::LintOptions options;
    options.connection = kw::managementConnectionFromText("192.168.1.20 51234 192.168.1.2 22");
    std::size_t warnings = 0;
    const double lint = bestOfFive([&] {
        kw::NameServices names;
        warnings = kw::lintRuleText(text, options, names).size();
    });
    std::printf("lint of %d rules (best of 5): %.1f ms, %zu warnings (goal: at most 200 ms)\n", rules, lint, warnings);

    // The listing the kernel would print: the same rules, three of them changed behind our back.
    kw::NameServices names;
    std::string listing;
    for (const std::string& line : kw::canonicalRuleFile(text, names)) {
        listing += line + "\n";
    }
    listing.replace(listing.find(" 22 "), 4, " 23 ");
    listing += "65000 deny ip from any to any\n";
    std::size_t diffSize = 0;
    const double diff = bestOfFive([&] {
        kw::NameServices fresh;
        diffSize = kw::unifiedDiff(kw::canonicalRuleFile(text, fresh), kw::canonicalListing(listing, fresh),
                                   "active setting", "loaded rules")
                       .size();
    });
    std::printf("rule file against listing, %d rules, unified diff (best of 5): %.1f ms, %zu bytes\n", rules, diff,
                diffSize);
    return 0;
}
