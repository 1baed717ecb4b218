#include "NftCompiler.h"
#include "NftKernel.h"

#include "IPFWTable.h"

#include "syntax/IPFWGrammar.h"
#include "syntax/NameServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

using namespace kw;

IPFWRule parse(const std::string& line)
{
    NameServices names;
    // The kernel holds whatever any release's ipfw accepted.
    const IPFWParseResult result = parseIPFWRuleLine(line, names, IPFWGrammarMode::AnyRelease);
    EXPECT_TRUE(result.accepted) << line;
    return result.rule;
}

// The rules of the incoming and outgoing pass for one rule (plus the default rule), as the
// compiled script writes them.
std::string chainBody(const std::string& script, const std::string& chain)
{
    const auto start = script.find("\tchain " + chain + " {\n");
    if (start == std::string::npos) {
        return "<no chain>";
    }
    const auto bodyStart = script.find('\n', start) + 1;
    return script.substr(bodyStart, script.find("\t}\n", bodyStart) - bodyStart);
}

struct CompileCase {
    const char* rule;
    const char* in;  // the rule's line in in_0, "" when it has none there
    const char* out; // the rule's line in out_0
};

TEST(NftCompiler, CompilesEachConstructForBothPasses)
{
    const CompileCase cases[] = {
        { "add 100 allow tcp from any to me 22 in via en0 setup",
          "iifname \"en0\" meta l4proto tcp fib daddr type local tcp dport 22 tcp flags & 0x12 == 0x2 counter name "
          "\"r1\" return",
          "" },
        { "add 100 deny ip from 10.0.0.0/8 to not 192.168.1.0/24 out xmit en*", "",
          "oifname \"en*\" ip saddr 10.0.0.0/8 ip daddr != 192.168.1.0/24 counter name \"r1\" drop" },
        { "add 100 reset tcp from any to any 113",
          "meta l4proto tcp tcp dport 113 counter name \"r1\" reject with tcp reset",
          "meta l4proto tcp tcp dport 113 counter name \"r1\" reject with tcp reset" },
        { "add 100 unreach port udp from any 1024-2000,53 to any",
          "meta l4proto udp udp sport { 1024-2000, 53 } counter name \"r1\" reject with icmp 3",
          "meta l4proto udp udp sport { 1024-2000, 53 } counter name \"r1\" reject with icmp 3" },
        { "add 100 count ip from any to any recv en1", "iifname \"en1\" counter name \"r1\"",
          "iifname \"en1\" counter name \"r1\"" },
        { "add 100 allow tcp from any to any established",
          "meta l4proto tcp tcp flags & (rst | ack) != 0 counter name \"r1\" return",
          "meta l4proto tcp tcp flags & (rst | ack) != 0 counter name \"r1\" return" },
        { "add 100 deny log icmp from any to any icmptypes 0,8 in",
          "meta l4proto icmp icmp type { 0, 8 } log prefix \"100 \" group 1868 counter name \"r1\" drop", "" },
        { "add 100 allow ip from 10.1.0.0:255.0.255.0 to any frag",
          "ip saddr & 255.0.255.0 == 10.0.0.0 ip frag-off & 0x1fff != 0 counter name \"r1\" return",
          "ip saddr & 255.0.255.0 == 10.0.0.0 ip frag-off & 0x1fff != 0 counter name \"r1\" return" },
        { "add 100 deny ip from not any to any", "", "" },
        { "add 100 allow tcp from me to any uid 0 out", "",
          "meta l4proto tcp fib saddr type local meta skuid 0 counter name \"r1\" return" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const IPFWRule rule = parse(c.rule);
        ASSERT_FALSE(nft::kernelRefusal(rule).has_value()) << *nft::kernelRefusal(rule);
        const IPFWRule last = ipfwemu::defaultRule();
        const nft::KernelRule rules[] = { { 1, &rule }, { 2, &last } };
        const std::string script = nft::compileRuleset(rules);
        const std::string tail = "\t\tcounter name \"r2\" return\n";
        EXPECT_EQ(chainBody(script, "in_0"), (*c.in ? "\t\t" + std::string(c.in) + "\n" : "") + tail);
        EXPECT_EQ(chainBody(script, "out_0"), (*c.out ? "\t\t" + std::string(c.out) + "\n" : "") + tail);
    }
}

TEST(NftCompiler, KeepStateMarksConnectionsAndCheckStateFindsThem)
{
    const IPFWRule check = parse("add 100 check-state");
    const IPFWRule keep = parse("add 200 allow udp from me to any out keep-state");
    const IPFWRule last = ipfwemu::defaultRule();
    const nft::KernelRule rules[] = { { 7, &check }, { 8, &keep }, { 9, &last } };
    const std::string script = nft::compileRuleset(rules);
    EXPECT_NE(script.find("\tset statemarks {\n\t\ttype mark\n\t\telements = { 0x80000008 }\n\t}\n"),
              std::string::npos);
    EXPECT_NE(script.find("elements = { 0x80000008 : \"r8\" }"), std::string::npos);
    const std::string lookup = "\t\tct mark @statemarks counter name ct mark map @statecounters return\n";
    EXPECT_EQ(chainBody(script, "in_0"), lookup + lookup + "\t\tcounter name \"r9\" return\n");
    EXPECT_EQ(chainBody(script, "out_0"),
              lookup + lookup +
                  "\t\tmeta l4proto udp fib saddr type local ct mark set 0x80000008 counter name \"r8\" return\n"
                  "\t\tcounter name \"r9\" return\n");
}

TEST(NftCompiler, SkipToStartsAChainAtItsTarget)
{
    const IPFWRule skip = parse("add 100 skipto 300 ip from any to any in");
    const IPFWRule deny = parse("add 200 deny ip from any to any");
    const IPFWRule allow = parse("add 300 allow ip from any to any");
    const IPFWRule back = parse("add 400 skipto 100 ip from any to any");
    const IPFWRule last = ipfwemu::defaultRule();
    const nft::KernelRule rules[] = { { 1, &skip }, { 2, &deny }, { 3, &allow }, { 4, &back }, { 5, &last } };
    const std::string script = nft::compileRuleset(rules);
    EXPECT_EQ(chainBody(script, "in_0"),
              "\t\tcounter name \"r1\" goto in_1\n\t\tcounter name \"r2\" drop\n\t\tgoto in_1\n");
    EXPECT_EQ(chainBody(script, "out_0"), "\t\tcounter name \"r2\" drop\n\t\tgoto out_1\n");
    // A skipto backwards goes on with the next rule, as a count.
    EXPECT_EQ(chainBody(script, "in_1"),
              "\t\tcounter name \"r3\" return\n\t\tcounter name \"r4\"\n\t\tcounter name \"r5\" return\n");
    EXPECT_FALSE(nft::tableRefusal(rules).has_value());
}

TEST(NftCompiler, RefusesWhatTheKernelCannotEnforce)
{
    const std::pair<const char*, const char*> cases[] = {
        { "add 100 divert 8668 ip from any to any via en0", "the kernel backend cannot enforce divert" },
        { "add 100 fwd 10.0.0.1 ip from any to any", "the kernel backend cannot enforce fwd" },
        { "add 100 tee 8668 ip from any to any", "the kernel backend cannot enforce tee" },
        { "add 100 deny tcp from any to any keep-state", "keep-state on a rule that does not allow" },
        { "add 100 allow ip from any to any via 10.0.0.1", "an interface given by its address (10.0.0.1)" },
        { "add 100 allow tcp from any to any tcpoptions sack", "tcpoptions sack or cc" },
        { "add 100 allow ip from any to any ipoptions ts", "ipoptions ts" },
        { "add 100 allow tcp from any to any uid 0", "uid on incoming packets" },
        { "add 100 unreach 20 ip from any to any", "unreach 20" },
        { "add 100 allow tcp from any to me 22 limit src-addr 4", "limit" },
        { "add 100 allow ip from any to any dst-port 53", "ports on a protocol other than tcp or udp" },
    };
    for (const auto& [line, message] : cases) {
        const auto refusal = nft::kernelRefusal(parse(line));
        ASSERT_TRUE(refusal.has_value()) << line;
        EXPECT_NE(refusal->find(message), std::string::npos) << *refusal;
    }
    std::vector<IPFWRule> skips;
    for (int i = 0; i < 16; ++i) {
        skips.push_back(
            parse("add " + std::to_string(100 + i) + " skipto " + std::to_string(1000 + i) + " ip from any to any"));
    }
    for (int i = 0; i < 16; ++i) {
        skips.push_back(parse("add " + std::to_string(1000 + i) + " count ip from any to any"));
    }
    std::vector<nft::KernelRule> rules;
    for (std::size_t i = 0; i < skips.size(); ++i) {
        rules.push_back({ i + 1, &skips[i] });
    }
    EXPECT_TRUE(nft::tableRefusal(rules).has_value());
}

TEST(NftCompiler, ReadsCounterListing)
{
    const std::string text = "table inet keepwall {\n\tcounter r12 {\n\t\tpackets 3 bytes 180\n\t}\n"
                             "\tcounter other {\n\t\tpackets 9 bytes 9\n\t}\n"
                             "\tcounter r7 {\n\t\tpackets 0 bytes 0\n\t}\n}\n";
    std::unordered_map<std::uint64_t, nft::RuleCounter> counters;
    nft::parseCounterListing(text, counters);
    ASSERT_EQ(counters.size(), 2u);
    EXPECT_EQ(counters[12].packets, 3u);
    EXPECT_EQ(counters[12].bytes, 180u);
    EXPECT_EQ(counters[7].packets, 0u);
}

// Every corpus rule the grammar accepts either compiles or is refused with a reason. Compiling
// is checked by nft itself in the namespace test; here no rule may throw the compiler off.
TEST(NftCompiler, CorpusRulesCompileOrAreRefused)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    int accepted = 0;
    int refused = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().filename().string().rfind("rules-", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("add ");
            if (at == std::string::npos) {
                continue;
            }
            std::string text = line.substr(at);
            text.erase(std::remove(text.begin(), text.end(), '\''), text.end());
            NameServices names;
            const IPFWParseResult result = parseIPFWRuleLine(text, names);
            if (!result.accepted) {
                continue;
            }
            if (const auto refusal = nft::kernelRefusal(result.rule)) {
                EXPECT_EQ(refusal->rfind("the kernel backend cannot enforce ", 0), 0u) << text;
                ++refused;
                continue;
            }
            const IPFWRule last = ipfwemu::defaultRule();
            const nft::KernelRule rules[] = { { 1, &result.rule }, { 2, &last } };
            const std::string script = nft::compileRuleset(rules);
            EXPECT_NE(script.find("counter name \"r2\" return"), std::string::npos) << text;
            ++accepted;
        }
    }
    EXPECT_GT(accepted, 0);
    std::cout << "corpus rules compiled: " << accepted << ", refused: " << refused << '\n';
}

} // namespace
