// A build of the starter for tests only: never installed, never setuid. Its one argument
// names a test folder holding "pam.d/" (the PAM configuration), "accounts" (lines
// "name:sha256-hex:group,group"; an account in group sudo, wheel or admin counts as an
// administrator) and "allow" (one executable path per line).
#include "AuthexecMain.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

bool testAccountIsAdministrator(const std::string& folder, const std::string& user)
{
    std::ifstream in(folder + "/accounts");
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first == std::string::npos ? first : first + 1);
        if (first == std::string::npos || second == std::string::npos || line.substr(0, first) != user) {
            continue;
        }
        std::stringstream groups(line.substr(second + 1));
        std::string group;
        while (std::getline(groups, group, ',')) {
            if (group == "sudo" || group == "wheel" || group == "admin") {
                return true;
            }
        }
        return false;
    }
    return false;
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
            if (!line.empty()) {
                config.allowList.push_back(line);
            }
        }
        config.trustedOwners = { 0, geteuid() };
        config.isAdministrator = [folder](const std::string& user) { return testAccountIsAdministrator(folder, user); };
    }
    return kw::authexec::authexecMain(argc, argv, envp, config);
}
