// wallctl's exit status for each command word: 0 when the command did what it was asked, 2 when
// it failed (an error notification sent, a refused request, nothing to act on), 64 for a usage
// error. Each row runs the tool on a fresh system root.
#include "ExitStatus.h"
#include "RunProgram.h"
#include "StandIns.h"
#include "TempRoot.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <functional>
#include <gtest/gtest.h>

using kw::Value;
using kw::testing::TempRoot;
namespace keys = kw::keys;

namespace {

void storeExpert(const std::string& text)
{
    Value setting;
    setting.set(keys::kSettingName, Value("Expert"));
    setting.set(keys::kConfigMode, Value("2"));
    setting.set(keys::kExpertConfigText, Value(text));
    Value stored;
    stored.set("S", setting);
    kw::KeepwallPrefs prefs;
    prefs.takeValue(stored, keys::kStoredSettings);
    prefs.setCurrentSettingsKey("S");
    prefs.commitChanges();
}

// Stand-ins for every platform command, and one expert setting as the current one.
void sandbox(const TempRoot& root)
{
    kw::testing::installStandIns(root);
    storeExpert("add 100 allow ip from any to any\n");
}

using Setup = std::function<void(const TempRoot&)>;

Setup withIpfw(const std::string& body)
{
    return [body](const TempRoot& root) {
        sandbox(root);
        root.writeScript("/sbin/ipfw", body);
    };
}

Setup without(const std::string& program)
{
    return [program](const TempRoot& root) {
        sandbox(root);
        std::filesystem::remove(root / program);
    };
}

// A file where the startup items folder belongs: nothing can be installed or removed there.
void blockedStartupItems(const TempRoot& root)
{
    sandbox(root);
    root.writeFile("/Library/StartupItems", "not a folder");
}

void natdThatDies(const TempRoot& root)
{
    sandbox(root);
    root.writeScript("/usr/sbin/natd", kw::testing::kNatdThatDies);
}

struct Row {
    std::vector<std::string> args;
    Setup setup;
    std::string served; // "--store" or "--delete": answer the tool's request with servedReply
    std::string servedReply;
    int status;
};

std::string plist(const Value& v)
{
    return kw::valueToXml(v);
}

} // namespace

TEST(WallctlExitStatus, EachCommandWordOnSuccessAndFailure)
{
    using kw::tool::kExitCommandFailed;
    using kw::tool::kExitSuccess;
    using kw::tool::kExitUsage;
    Value selectB;
    selectB.set(keys::kCurrentSetting, Value("S"));
    const Value notDictionary(Value::Array { Value::integer(1) });
    const Value noIds(Value::Array {});

    const Row rows[] = {
        { {}, sandbox, "", "", kExitUsage },
        { { "bogus" }, sandbox, "", "", kExitUsage },
        { { "show" }, sandbox, "", "", kExitUsage },
        { { "select", "0", "1" }, sandbox, "", "", kExitUsage },

        { { "list" }, sandbox, "", "", kExitSuccess },

        { { "clear" }, sandbox, "", "", kExitSuccess },
        { { "clear" }, without("/sbin/ipfw"), "", "", kExitCommandFailed },
        { { "clear" }, withIpfw("exit 1\n"), "", "", kExitCommandFailed },

        { { "activate" }, sandbox, "", "", kExitSuccess },
        { { "activate" }, withIpfw("[ \"$1\" = -q ] && exit 1\nexit 0\n"), "", "", kExitCommandFailed },

        { { "show", "0" }, sandbox, "", "", kExitSuccess },
        { { "show", "1" }, sandbox, "", "", kExitCommandFailed },
        { { "generate", "0" }, sandbox, "", "", kExitSuccess },
        { { "generate", "1" }, sandbox, "", "", kExitCommandFailed },
        { { "select", "0" }, sandbox, "", "", kExitSuccess },
        { { "select", "1" }, sandbox, "", "", kExitCommandFailed },

        { { "store" }, sandbox, "--store", plist(selectB), kExitSuccess },
        { { "store" }, sandbox, "--store", plist(notDictionary), kExitCommandFailed },
        { { "store" }, sandbox, "", "", kExitCommandFailed }, // no server answered

        { { "showlog" }, sandbox, "", "", kExitSuccess },
        { { "delete-log" }, sandbox, "--delete", plist(noIds), kExitSuccess },
        { { "delete-log" }, sandbox, "--delete", plist(Value("1")), kExitCommandFailed },
        { { "delete-log" }, sandbox, "", "", kExitCommandFailed },

        { { "install" }, sandbox, "", "", kExitSuccess },
        { { "install" }, blockedStartupItems, "", "", kExitCommandFailed },
        { { "uninstall" }, sandbox, "", "", kExitSuccess },
        { { "uninstall" }, blockedStartupItems, "", "", kExitCommandFailed },

        { { "enable-log" }, sandbox, "", "", kExitSuccess },
        { { "enable-log" }, without("/usr/sbin/sysctl"), "", "", kExitCommandFailed },
        { { "disable-log" }, sandbox, "", "", kExitSuccess },
        { { "disable-log" }, without("/usr/sbin/sysctl"), "", "", kExitCommandFailed },

        { { "sharing-status" }, sandbox, "", "", kExitSuccess },
        { { "sharing-start" }, natdThatDies, "", "", kExitCommandFailed },
        { { "allow-lans" }, sandbox, "", "", kExitSuccess },
    };
    for (const auto& row : rows) {
        TempRoot root;
        row.setup(root);
        std::vector<std::string> argv;
        if (!row.served.empty()) {
            root.writeFile("/reply.plist", row.servedReply);
            argv = { SERVE_CONFIG_PATH, row.served, root / "/reply.plist", "--" };
        }
        argv.push_back(WALLCTL_PATH);
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        const auto r = kw::testing::runAsRoot(argv);
        std::string words;
        for (const auto& a : row.args) {
            words += a + ' ';
        }
        EXPECT_EQ(r.exitStatus, row.status) << words << row.served << "\n" << r.err;
    }
}
