// A build of the starter for tests only: never installed, never setuid. Its one argument
// names a test folder holding "pam.d/" (the PAM configuration), "accounts" (lines
// "name:sha256-hex:group,group"; an account in group sudo, wheel or admin counts as an
// administrator) and "allow" (one executable path per line, optionally followed by a space
// and the arguments it takes: "tool", "firewall" or "periodic"; without, any arguments).
// Guess records go to "state/", a copy of the log to "log"; the delays are short.
#include "AuthexecMain.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using kw::authexec::ArgumentRule;

// The account's line in the accounts file: its groups, or nothing when there is none.
std::optional<std::string> testAccountGroups(const std::string& folder, const std::string& user)
{
    std::ifstream in(folder + "/accounts");
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first == std::string::npos ? first : first + 1);
        if (first != std::string::npos && second != std::string::npos && line.substr(0, first) == user) {
            return line.substr(second + 1);
        }
    }
    return std::nullopt;
}

bool testAccountIsAdministrator(const std::string& folder, const std::string& user)
{
    std::stringstream groups(testAccountGroups(folder, user).value_or(""));
    std::string group;
    while (std::getline(groups, group, ',')) {
        if (group == "sudo" || group == "wheel" || group == "admin") {
            return true;
        }
    }
    return false;
}

std::optional<ArgumentRule> ruleNamed(const std::string& name)
{
    if (name.empty()) {
        return ArgumentRule::Any;
    }
    if (name == "tool") {
        return ArgumentRule::ToolCommand;
    }
    if (name == "firewall") {
        return ArgumentRule::FirewallCommand;
    }
    if (name == "periodic") {
        return ArgumentRule::PeriodicDaily;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv, char** envp)
{
    kw::authexec::AuthexecConfig config;
    config.expectedArgc = 2;
    if (argc == 2) {
        const std::string folder = argv[1];
        config.pamConfDir = folder + "/pam.d";
        std::ifstream allow(folder + "/allow");
        std::string line;
        while (std::getline(allow, line)) {
            const auto space = line.find(' ');
            const auto rule = ruleNamed(space == std::string::npos ? "" : line.substr(space + 1));
            if (!line.empty() && rule) {
                config.programs.push_back({ line.substr(0, space), *rule });
            }
        }
        config.trustedOwners = { 0, geteuid() };
        config.isAdministrator = [folder](const std::string& user) { return testAccountIsAdministrator(folder, user); };
        config.isKnownAccount = [folder](const std::string& user) {
            return testAccountGroups(folder, user).has_value();
        };
        config.stateDirs = { folder + "/state" };
        config.logCopyPath = folder + "/log";
        config.guessPolicy = { 3, std::chrono::milliseconds(1000), std::chrono::milliseconds(8000) };
        config.denialTime = std::chrono::milliseconds(300);
        config.requestTimeout = std::chrono::milliseconds(1000);
    }
    return kw::authexec::authexecMain(argc, argv, envp, config);
}
