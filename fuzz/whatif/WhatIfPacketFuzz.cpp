// Feeds arbitrary bytes, line by line, through kw-whatif's packet reader and runs every packet
// it accepts through a small rule table: a packet is read or refused with a message, never
// crashes, and its answer names a rule of the table.
#include "WhatIf.h"

#include "base/Release.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

constexpr const char* kRules = "add 100 count ip from any to any in via en0\n"
                               "add 200 skipto 1000 tcp from any to any 80 in via en0\n"
                               "add 300 deny log tcp from any to any 80 in via en0\n"
                               "add 1000 allow tcp from any to any 22,80 in via en0 keep-state\n"
                               "add 1100 allow icmp from any to any icmptype 0,8\n"
                               "add 1200 unreach host udp from any to any 137-139\n";

// An empty system root, so that the engine's look at the interfaces and kernel variables
// finds nothing of the machine's own.
struct EmptyRoot {
    std::string path;
    EmptyRoot()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kwfuzz-whatif.XXXXXX").string();
        path = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string("/nonexistent-kwfuzz-root");
        ::setenv("KEEPWALL_ROOT", path.c_str(), 1);
        kw::setReleaseFlagsFromEnvironment();
    }
    ~EmptyRoot()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

bool useEmptyRoot()
{
    static const EmptyRoot root;
    return !root.path.empty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool rooted = useEmptyRoot();
    check(rooted);
    kw::whatif::WhatIf whatIf;
    std::string error;
    check(whatIf.loadRuleText(kRules, error));
    whatIf.setKnownInterfaces({ "en0", "en1", "lo0" });
    whatIf.setMyAddresses({ 0x0a000001u });
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const auto eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        kw::ipfwemu::Packet packet;
        error.clear();
        if (!whatIf.parsePacket(line, packet, error)) {
            check(!error.empty());
            continue;
        }
        const kw::whatif::Answer answer = whatIf.evaluate(packet);
        check(answer.verdict.rule != nullptr);
        check(answer.ruleNumber == 65535 || !answer.ruleText.empty());
    }
    return 0;
}
