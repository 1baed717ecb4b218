#include "lint/RuleLint.h"

#include "base/PlistValue.h"
#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/ConfigurationText.h"
#include "syntax/NameServices.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace kw {
namespace {

namespace keys = kw::keys;

struct Expected {
    int line;
    std::string messagePart;
    bool lockout = false;
};

struct LintCase {
    const char* name;
    std::string text;
    std::vector<Expected> warnings;
    bool requiresCheckState = false;
    const char* sshConnection = nullptr;
};

std::string describe(const std::vector<LintWarning>& warnings)
{
    std::string s;
    for (const auto& w : warnings) {
        s += std::to_string(w.line) + ": " + w.message + (w.lockout ? " [lockout]" : "") + "\n";
    }
    return s;
}

std::vector<LintWarning> lint(const std::string& text, const LintOptions& options = {})
{
    NameServices names;
    return lintRuleText(text, options, names);
}

TEST(RuleLint, TableOfTexts)
{
    const std::vector<LintCase> cases {
        { "empty text", "", {} },
        { "comments and other commands", "# nothing\n-f flush\n\n", {} },
        { "distinct services",
          "add 100 allow tcp from any to any 22 in\nadd 200 allow tcp from any to any 80 in\n",
          {} },
        { "shadowed by a wider address",
          "add 100 deny tcp from 10.0.0.0/8 to any 22\nadd 200 allow tcp from 10.1.2.3 to any 22\n",
          { { 2, "rule 00200 never matches: rule 00100 before it matches every packet it would" } } },
        { "narrower first is fine",
          "add 100 allow tcp from 10.1.2.3 to any 22\nadd 200 deny tcp from 10.0.0.0/8 to any 22\n",
          {} },
        { "kernel order, not text order",
          "add 100 allow tcp from any to any established\nadd 300 allow tcp from any to any 22 via en0\n"
          "add 200 deny ip from any to any via en0\n",
          { { 2, "rule 00300 never matches: rule 00200 before it refuses all traffic via en0" } } },
        { "after an allow of everything on one path",
          "add 100 allow ip from any to any via en0\nadd 200 deny tcp from any to any 22 in via en0\n"
          "add 300 deny tcp from any to any 22 in via en1\n",
          { { 2, "rule 00100 before it allows all traffic via en0" } } },
        { "port list inside a wider list",
          "add 100 deny udp from any to any 53,67,68\nadd 200 allow udp from any to any 67,68\n",
          { { 2, "rule 00200 never matches" } } },
        { "wider port list after a narrow one",
          "add 100 deny udp from any to any 67\nadd 200 allow udp from any to any 67,68\n",
          {} },
        { "options make the first rule narrower",
          "add 100 deny tcp from any to any 22 setup\nadd 200 allow tcp from any to any 22\n",
          {} },
        { "count and divert pass packets on",
          "add 100 count ip from any to any\nadd 200 divert 8668 ip from any to any via en0\n"
          "add 300 allow ip from any to any\n",
          {} },
        { "probability never proves anything",
          "add 100 prob 0.5 deny ip from any to any\nadd 200 allow ip from any to any\n",
          {} },
        { "a skipto may jump over the covering rule",
          "add 50 skipto 300 tcp from any to any 22\nadd 100 deny tcp from any to any 22\nadd 300 allow tcp from any "
          "to any 22\n",
          {} },
        { "interface with any unit covers one unit",
          "add 100 allow ip from any to any via lo*\nadd 200 deny ip from any to any via lo0\n",
          { { 2, "rule 00100 before it allows all traffic via lo*" } } },
        { "duplicate number after a higher one",
          "add 100 allow tcp from any to any 22\nadd 200 allow tcp from any to any 80\nadd 100 allow tcp from any to "
          "any 25\n",
          { { 3, "rule number 00100 is used again after rule 00200; once loaded it is checked before that rule" } } },
        { "duplicate numbers side by side keep their order",
          "add 100 allow tcp from any to any 22\nadd 100 allow tcp from any to any 25\n",
          {} },
        { "keep-state without check-state where one is needed",
          "add 100 allow tcp from me to any out setup keep-state\n",
          { { 1, "rule 00100 keeps state, but no check-state rule comes before it" } },
          true },
        { "keep-state after check-state",
          "add 50 check-state\nadd 100 allow tcp from me to any out setup keep-state\n",
          {},
          true },
        { "keep-state alone where the kernel checks at the first stateful rule",
          "add 100 allow tcp from me to any out setup keep-state\n",
          {} },
        { "deny of all incoming without a way back",
          "add 100 allow tcp from me to any out\nadd 200 deny ip from any to any in via en0\n",
          { { 2, "rule 00200 refuses all incoming traffic, and no rule before it lets replies" } } },
        { "deny of all incoming after established",
          "add 100 allow tcp from any to any established\nadd 200 deny ip from any to any in via en0\n",
          {} },
        { "deny of all incoming after check-state with keep-state rules",
          "add 50 check-state\nadd 100 allow tcp from me to any out setup keep-state\n"
          "add 200 deny ip from any to any in via en0\n",
          {} },
        { "loopback refused",
          "add 100 deny ip from any to any\n",
          { { 1, "rule 00100 refuses traffic on the loopback interface (lo0)", true } } },
        { "loopback allowed first",
          "add 50 allow ip from any to any via lo*\nadd 100 deny tcp from any to any 22 in\n",
          {} },
        { "a loopback refusal that depends on the user is not certain",
          "add 100 deny tcp from any to any uid 0\n",
          {} },
        { "the SSH session's port refused",
          "add 100 allow ip from any to any via lo*\nadd 150 allow tcp from any to any 80 in\n"
          "add 200 deny tcp from any to any 22 in\n",
          { { 3, "rule 00200 refuses the SSH connection in use (from 10.0.0.9 to port 22)", true } },
          false,
          "10.0.0.9 52000 10.0.1.3 22" },
        { "the SSH session's interface is not known, so a rule on one is no proof",
          "add 100 allow ip from any to any via lo*\nadd 200 deny tcp from any to any 22 in via en0\n",
          {},
          false,
          "10.0.0.9 52000 10.0.1.3 22" },
        { "SSH allowed from the peer's network",
          "add 100 allow ip from any to any via lo*\nadd 110 allow tcp from 10.0.0.0/24 to me 22\n"
          "add 200 deny tcp from any to any 22 in\n",
          {},
          false,
          "10.0.0.9 52000 10.0.1.3 22" },
        { "lines the grammar refuses are left to the syntax check", "add 100 frobnicate\nadd 200 allow ip from\n", {} },
        { "a line of too many words loads nothing",
          "add 1 deny tcp from any to any 22\nadd 200 deny tcp from any to any 22" +
              [] {
                  std::string vias;
                  for (int i = 0; i < 30; ++i) {
                      vias += " via";
                  }
                  return vias;
              }() +
              "\n",
          {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LintOptions options;
        options.requiresCheckState = c.requiresCheckState;
        if (c.sshConnection != nullptr) {
            options.connection = managementConnectionFromText(c.sshConnection);
            ASSERT_TRUE(options.connection);
        }
        const auto warnings = lint(c.text, options);
        ASSERT_EQ(warnings.size(), c.warnings.size()) << describe(warnings);
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_EQ(warnings[i].line, c.warnings[i].line) << describe(warnings);
            EXPECT_NE(warnings[i].message.find(c.warnings[i].messagePart), std::string::npos) << describe(warnings);
            EXPECT_EQ(warnings[i].lockout, c.warnings[i].lockout) << describe(warnings);
        }
    }
}

TEST(RuleLint, ManagementConnectionText)
{
    const auto c = managementConnectionFromText("192.168.1.20 51234 192.168.1.2 22");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->peerAddress, 0xc0a80114u);
    EXPECT_EQ(c->peerPort, 51234);
    EXPECT_EQ(c->localAddress, 0xc0a80102u);
    EXPECT_EQ(c->localPort, 22);
    for (const char* bad : { "", "1.2.3.4 1 5.6.7.8", "::1 5000 ::1 22", "1.2.3.4 0 5.6.7.8 22",
                             "1.2.3.4 1 5.6.7.8 70000", "1.2.3.4 1 5.6.7.8 22 extra", "1.2.3.4 x 5.6.7.8 22" }) {
        EXPECT_FALSE(managementConnectionFromText(bad)) << bad;
    }
}

Value quickInterface(const std::string& name, int incomingAllow, int outgoingAllow, int advanced)
{
    Value iface;
    iface.set(keys::kInterfaceName, Value(name));
    iface.set(keys::kEnableFirewall, Value::integer(1));
    iface.set(keys::kDefaultIncomingAllow, Value::integer(incomingAllow));
    iface.set(keys::kDefaultOutgoingAllow, Value::integer(outgoingAllow));
    for (const char* key :
         { keys::kAdvAllowBootp, keys::kAdvAllowBroadcast, keys::kDenySourceRoute, keys::kAdvAllowNtp,
           keys::kAdvAllowRendezvous, keys::kAdvAllowIcmp, keys::kAdvAllowFtpData, keys::kAdvAllowDns }) {
        iface.set(key, Value::integer(advanced));
    }
    return iface;
}

class ReleaseFlags : public ::testing::Test {
protected:
    void TearDown() override { setReleaseFlags(824); }
};

// The generated rules of every quick choice, on every release, give no warning: the generator
// lets replies back in and allows the loopback first.
TEST_F(ReleaseFlags, NoWarningsOnGeneratedQuickSettings)
{
    for (double release : { 620.0, 663.0, 743.0, 824.0 }) {
        setReleaseFlags(release);
        LintOptions options;
        options.requiresCheckState = KWRunningOnJaguar && !KWRunningOnTiger;
        options.connection = managementConnectionFromText("192.168.1.20 51234 192.168.1.2 22");
        for (int incoming : { 0, 1 }) {
            for (int outgoing : { 0, 1 }) {
                for (int advanced : { 0, 1 }) {
                    Value setting;
                    setting.set(keys::kConfigMode, Value("0"));
                    setting.set(keys::kInterfaceList,
                                Value(Value::Array { quickInterface("en0", incoming, outgoing, advanced),
                                                     quickInterface("en1", incoming, outgoing, advanced) }));
                    const std::string text = ipfwTextForSetting(setting);
                    SCOPED_TRACE(text);
                    EXPECT_EQ(describe(lint(text, options)), "");
                }
            }
        }
    }
}

TEST(RuleLint, NoWarningsOnTheExampleSettings)
{
    std::ifstream in(std::string(KEEPWALL_EXAMPLES_DIR) + "/settings.plist", std::ios::binary);
    const auto document = valueFromXml(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(document);
    const Value* stored = document->get(keys::kStoredSettings);
    ASSERT_TRUE(stored != nullptr && stored->dictionary() != nullptr);
    for (const auto& [key, setting] : *stored->dictionary()) {
        SCOPED_TRACE(key);
        const std::string text = ipfwTextForSetting(setting);
        EXPECT_EQ(describe(lint(text)), "");
    }
}

// Real rule files: each warning names a line of the text, and the counts stay with what a careful
// reader finds there (printed for review).
TEST(RuleLint, CorpusRuleFiles)
{
    std::error_code ec;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KEEPWALL_CORPUS_DIR, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("rules-", 0) != 0) {
            continue;
        }
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        const auto warnings = lint(text);
        for (const auto& w : warnings) {
            EXPECT_GE(w.line, 1);
            EXPECT_LE(w.line, lines);
        }
        RecordProperty(name, describe(warnings));
        std::printf("%s:\n%s", name.c_str(), describe(warnings).c_str());
    }
    if (files == 0) {
        GTEST_SKIP() << "no corpus at " << KEEPWALL_CORPUS_DIR;
    }
}

} // namespace
} // namespace kw
