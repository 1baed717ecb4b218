// The 10.4 command's newer rule forms in the emulated packet filter: the corpus's rule files of
// that command load, the listing shows the rules as that command printed them, and injected
// packets meet each form with its meaning.
#include "CommandSupport.h"
#include "TigerCorpus.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace kw::ipfwemu::test;

namespace {

class NewerGrammar : public IPFWRootTest {
protected:
    // The verdict of each packet line.
    std::vector<std::string> inject(const std::string& packets)
    {
        const std::string out = ipfwOk({ "inject", "-", "--me", "10.0.0.1" }, packets);
        std::vector<std::string> verdicts;
        for (std::size_t at = 0; at < out.size();) {
            const auto end = out.find('\n', at);
            verdicts.push_back(out.substr(at, end - at));
            at = end == std::string::npos ? out.size() : end + 1;
        }
        return verdicts;
    }

    // The listing's line for one rule number ("" when there is none).
    std::string lineOf(const std::string& listing, const std::string& number)
    {
        for (std::size_t at = 0; at < listing.size();) {
            const auto end = listing.find('\n', at);
            const std::string line = listing.substr(at, end - at);
            if (line.rfind(number + ' ', 0) == 0) {
                return line;
            }
            at = end == std::string::npos ? listing.size() : end + 1;
        }
        return {};
    }
};

TEST_F(NewerGrammar, TigerCorpusRuleFilesLoadOnTiger)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    const ScopedRelease tiger("10.4");
    for (const char* name : kw::test::kTigerRuleFiles) {
        SCOPED_TRACE(name);
        const kw::test::TigerRuleFile file = kw::test::tigerRuleFile(corpus / name);
        root.writeFile("/etc/ipfw.conf", file.text);
        ipfwOk({ "-q", "flush" });
        ipfwOk({ "-q", "/etc/ipfw.conf" });
        EXPECT_EQ(ruleLines().size(), static_cast<std::size_t>(file.addLines) + 1); // and the default rule
        for (const auto& line : file.defaultRuleLines) {
            const auto r = ipfw({ "-q", "add", "65535", "allow", "ip", "from", "any", "to", "any" });
            EXPECT_EQ(r.exitStatus, 64) << line;
        }
    }
}

// On 10.2/10.3 the same file stops at the first newer form, with the older command's message.
TEST_F(NewerGrammar, OlderReleasesRefuseTheNewerForms)
{
    root.writeFile("/etc/ipfw.conf", "add 02000 allow ip from any to any via lo*\n"
                                     "add 20370 allow udp from any to any dst-port 5353 in\n");
    for (const char* release : { "10.2", "10.3" }) {
        const ScopedRelease older(release);
        ipfwOk({ "-q", "flush" });
        const auto r = ipfw({ "-q", "/etc/ipfw.conf" });
        EXPECT_EQ(r.exitStatus, 64) << release;
        EXPECT_EQ(r.err, "ipfw: Line 2: unknown argument ``dst-port''\n") << release;
        EXPECT_EQ(ruleLines(), (std::vector<std::string> { "02000 allow ip from any to any via lo*",
                                                           "65535 allow ip from any to any" }));
    }
}

// The listing as the 10.4 command printed these rules: a port option after its side's
// address ("02070 allow tcp from any to any 80 in" is the Tiger firewall's web sharing rule),
// no set unless -S asks for it, port lists without the blanks, limit after the options.
TEST_F(NewerGrammar, ListingShowsTheRulesAsTheTigerCommandPrintedThem)
{
    const ScopedRelease tiger("10.4");
    root.writeFile("/etc/ipfw.conf", "add 02070 allow tcp from any to any dst-port 80 in\n"
                                     "add 00700 set 3 allow tcp from any to me dst-port 22 in setup keep-state\n"
                                     "add 00900 set 4 allow icmp from any to any icmptypes 0,3,8,11\n"
                                     "-q add 01000 reset tcp from any to any 80, 443 in\n"
                                     "add 01100 deny ip from any to any 9200 in\n"
                                     "add 00400 allow tcp from any to me 80 in via rl0 setup limit src-addr 2\n"
                                     "add 01200 allow udp from any to any src-port 53\n");
    ipfwOk({ "-q", "/etc/ipfw.conf" });
    EXPECT_EQ(ruleLines(), (std::vector<std::string> {
                               "00400 allow tcp from any to me 80 in via rl0 setup limit src-addr 2",
                               "00700 allow tcp from any to me 22 in setup keep-state",
                               "00900 allow icmp from any to any icmptypes 0,3,8,11",
                               "01000 reset tcp from any to any 80,443 in",
                               "01100 deny ip from any to any 9200 in",
                               "01200 allow udp from any 53 to any",
                               "02070 allow tcp from any to any 80 in",
                               "65535 allow ip from any to any",
                           }));
    const std::string sets = ipfwOk({ "-S", "list" });
    EXPECT_EQ(lineOf(sets, "00700"), "00700 set 3 allow tcp from any to me 22 in setup keep-state");
    EXPECT_EQ(lineOf(sets, "00900"), "00900 set 4 allow icmp from any to any icmptypes 0,3,8,11");
    EXPECT_EQ(lineOf(sets, "02070"), "02070 set 0 allow tcp from any to any 80 in");
    EXPECT_EQ(lineOf(sets, "65535"), "65535 set 31 allow ip from any to any");
    const std::string shown = ipfwOk({ "-S", "show", "700" });
    EXPECT_EQ(shown, "00700 0 0 set 3 allow tcp from any to me 22 in setup keep-state\n");
    // The echo of add prints the rule the same way.
    EXPECT_EQ(
        ipfwOk({ "add", "00800", "set", "5", "deny", "tcp", "from", "any", "to", "any", "dst-port", "25,", "110" }),
        "00800 deny tcp from any to any 25,110\n");
}

TEST_F(NewerGrammar, PortOptionsAndPortsOnIpMatchTheirPorts)
{
    const ScopedRelease tiger("10.4");
    root.writeFile("/etc/ipfw.conf", "add 100 deny udp from any to any dst-port 5353 in\n"
                                     "add 200 deny tcp from any to any src-port 6000-6010\n"
                                     "add 300 deny ip from any to any 9200 in\n"
                                     "add 400 set 7 deny tcp from any to any dst-port 25, 110\n");
    ipfwOk({ "-q", "/etc/ipfw.conf" });
    EXPECT_EQ(inject("in via en0 udp 10.0.0.5:5353 -> 10.0.0.1:5353\n"
                     "in via en0 udp 10.0.0.5:5353 -> 10.0.0.1:53\n"
                     "in via en0 tcp 10.0.0.5:6005 -> 10.0.0.1:80 syn\n"
                     "in via en0 tcp 10.0.0.5:80 -> 10.0.0.1:6005 syn\n"
                     "in via en0 tcp 10.0.0.5:1234 -> 10.0.0.1:9200 syn\n"
                     "in via en0 udp 10.0.0.5:1234 -> 10.0.0.1:9200\n"
                     "in via en0 icmp 10.0.0.5 -> 10.0.0.1 type 8 code 0\n"
                     "in via en0 udp 10.0.0.5 -> 10.0.0.1 frag\n"
                     "out via en0 tcp 10.0.0.1:1234 -> 10.0.0.5:9200 syn\n"
                     "out via en0 tcp 10.0.0.1:1234 -> 10.0.0.5:110 syn\n"
                     "out via en0 tcp 10.0.0.1:1234 -> 10.0.0.5:111 syn\n"),
              (std::vector<std::string> {
                  "rule 100 deny",
                  "rule 65535 allow",
                  "rule 200 deny",
                  "rule 65535 allow",
                  "rule 300 deny",
                  "rule 300 deny",
                  "rule 65535 allow", // ports match TCP and UDP packets only
                  "rule 65535 allow", // a later fragment has no ports
                  "rule 65535 allow", // rule 300 is for incoming packets
                  "rule 400 deny",    // rules of every set apply
                  "rule 65535 allow",
              }));
}

// limit src-addr 2: each source may have two flows at once; a third is dropped, uncounted, until
// one of its flows ends. The flows keep state like keep-state and list as LIMIT.
TEST_F(NewerGrammar, LimitDropsFlowsBeyondItsCountPerMask)
{
    const ScopedRelease tiger("10.4");
    ipfwOk({ "-q", "add", "400", "allow", "tcp", "from", "any", "to", "me", "80", "in", "via", "en0", "setup", "limit",
             "src-addr", "2" });
    ipfwOk({ "-q", "add", "500", "deny", "tcp", "from", "any", "to", "any" });
    EXPECT_EQ(inject("in via en0 tcp 10.0.0.5:1001 -> 10.0.0.1:80 syn\n"
                     "in via en0 tcp 10.0.0.5:1002 -> 10.0.0.1:80 syn\n"
                     "in via en0 tcp 10.0.0.5:1003 -> 10.0.0.1:80 syn\n"
                     "in via en0 tcp 10.0.0.6:1001 -> 10.0.0.1:80 syn\n"
                     "out via en0 tcp 10.0.0.1:80 -> 10.0.0.5:1001 syn,ack\n"
                     "in via en0 tcp 10.0.0.5:1001 -> 10.0.0.1:80 ack\n"),
              (std::vector<std::string> {
                  "rule 400 allow",
                  "rule 400 allow",
                  "rule 400 deny (limit reached)",
                  "rule 400 allow",
                  "rule 400 allow (dynamic)",
                  "rule 400 allow (dynamic)",
              }));
    const std::string shown = ipfwOk({ "show" });
    EXPECT_EQ(lineOf(shown, "00400").substr(0, 11), "00400 5 320") << shown; // the dropped packet is not counted
    EXPECT_NE(shown.find("## Dynamic rules (3):\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find(") LIMIT tcp 10.0.0.5 1001 <-> 10.0.0.1 80\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find(") LIMIT tcp 10.0.0.6 1001 <-> 10.0.0.1 80\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(" STATE "), std::string::npos) << shown;
    // Once the unanswered flow's state has expired, the source may open another one.
    EXPECT_EQ(inject("sleep 30\n"
                     "in via en0 tcp 10.0.0.5:1004 -> 10.0.0.1:80 syn\n"
                     "in via en0 tcp 10.0.0.5:1005 -> 10.0.0.1:80 syn\n"),
              (std::vector<std::string> { "rule 400 allow", "rule 400 deny (limit reached)" }));
}

// The state file keeps the set and the limit: a later command reads them back.
TEST_F(NewerGrammar, StateFileKeepsSetsAndLimits)
{
    const ScopedRelease tiger("10.4");
    ipfwOk({ "-q", "add", "700", "set", "3", "allow", "tcp", "from", "any", "to", "any", "dst-port", "22", "limit",
             "src-addr", "dst-port", "4" });
    EXPECT_EQ(ipfwOk({ "-S", "list", "700" }), "00700 set 3 allow tcp from any to any 22 limit src-addr dst-port 4\n");
    // A release that does not know the forms still reads the table the kernel holds.
    const ScopedRelease jaguar("10.2");
    EXPECT_EQ(ipfwOk({ "list", "700" }), "00700 allow tcp from any to any 22\n");
}

} // namespace
