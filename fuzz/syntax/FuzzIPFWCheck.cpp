// Feeds arbitrary bytes to the rule text checker as a rule text, and every line that it
// accepts through the listing text and back: an accepted rule must read back to itself.
#include "syntax/IPFWParser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

kw::NameServices& fuzzNames()
{
    // Host names come from the hosts file only: a fuzzer must not send resolver queries.
    static kw::NameServices* names = [] {
        auto* n = new kw::NameServices;
        n->setHostResolver(kw::NameServices::hostsFileResolver("/etc/hosts"));
        return n;
    }();
    return *names;
}

void checkRoundTrip(std::string_view text)
{
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('#'));
        if (line.size() > kw::kIPFWMaxLineLength) {
            continue;
        }
        const auto first = kw::parseIPFWRuleLine(line, fuzzNames());
        if (!first.accepted) {
            continue;
        }
        const std::string text1 = kw::ruleText(first.rule);
        const auto second = kw::parseIPFWRuleLine("add " + text1, fuzzNames());
        if (!second.accepted || kw::ruleText(second.rule) != text1) {
            std::fprintf(stderr, "rule text does not read back: [%s] -> [%s]\n", std::string(line).c_str(),
                         text1.c_str());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const int result = kw::checkIPFWText(text, fuzzNames());
        if (result != 0 && result != 1) {
            std::abort();
        }
    } catch (const kw::IPFWTooManyArguments& e) {
        if (e.lineNumber() < 1) {
            std::abort();
        }
    }
    checkRoundTrip(text);
    return 0;
}
