#include "DemoAdministrator.h"

#include "SandboxAccounts.h"
#include "common/PlatformRoot.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef KW_INSTALL_LIBDIR
#define KW_INSTALL_LIBDIR "lib"
#endif
#ifndef KW_INSTALL_FULL_LIBDIR
#define KW_INSTALL_FULL_LIBDIR "/usr/local/lib"
#endif

using kw::platform::complain;
namespace accounts = kw::sandboxaccounts;

namespace {

bool fail(const std::string& message)
{
    complain(message);
    return false;
}

std::string resolved(const std::string& path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool isInside(const std::string& path, const std::string& folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string findModule(const std::string& programFolder)
{
    const std::string name(accounts::kModuleFileName);
    const std::vector<std::string> candidates = {
        programFolder + "/../lib/" + name,
        programFolder + "/../" KW_INSTALL_LIBDIR "/keepwall/" + name,
        KW_INSTALL_FULL_LIBDIR "/keepwall/" + name,
    };
    for (const auto& candidate : candidates) {
        struct stat st {};
        const std::string path = resolved(candidate);
        if (!path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return path;
        }
    }
    return {};
}

// The host path of a folder of the root, made when missing, which must stay inside the root.
bool rootFolder(const std::string& root, const std::string& systemPath, std::string& hostPath)
{
    const std::string path = kw::SystemRoot::path(systemPath);
    if (!kw::makeDirectories(path, 0755)) {
        return fail("cannot create " + path + ": " + std::strerror(errno));
    }
    hostPath = resolved(path);
    if (hostPath.empty() || !isInside(hostPath, root) || accounts::isInsideSystemEtc(hostPath)) {
        return fail("refusing to install the demo administrator: " + path + " leads out of the sandbox root");
    }
    return true;
}

// An account file that already names exactly this user, privately, is kept (with its password).
bool keepsAccountFile(const std::string& path, const std::string& user)
{
    struct stat st {};
    std::string content;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 07777) != 0600 || !kw::readFile(path, content)) {
        return false;
    }
    const std::string prefix = user + ":$";
    return content.compare(0, prefix.size(), prefix) == 0 && content.find('\n') == content.size() - 1;
}

} // namespace

bool installDemoAdministrator(const std::string& programFolder)
{
    const std::string root = resolved(kw::SystemRoot::prefix());
    if (root.empty() || root == "/") {
        return fail("refusing to give the machine's own root \"/\" a demo administrator");
    }
    const struct passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr || pw->pw_name == nullptr || pw->pw_name[0] == '\0') {
        return fail("cannot install the demo administrator: user " + std::to_string(::getuid()) + " has no login name");
    }
    const std::string user = pw->pw_name;
    const std::string module = findModule(programFolder);
    if (module.empty()) {
        return fail("cannot install the demo administrator: " + std::string(accounts::kModuleFileName) +
                    " is neither in " + programFolder + "/../lib nor in " KW_INSTALL_FULL_LIBDIR "/keepwall");
    }
    const std::string accountsSystemPath(accounts::kAccountsSystemPath);
    const std::string stackSystemPath(accounts::kStackSystemPath);
    std::string accountsFolder;
    std::string stackFolder;
    if (!rootFolder(root, kw::parentFolder(accountsSystemPath), accountsFolder) ||
        !rootFolder(root, kw::parentFolder(stackSystemPath), stackFolder)) {
        return false;
    }

    const std::string accountsPath = accountsFolder + accountsSystemPath.substr(accountsSystemPath.rfind('/'));
    if (!keepsAccountFile(accountsPath, user)) {
        const std::string line = accounts::makeAccountLine(user, accounts::kDemoPassword);
        if (line.empty()) {
            return fail("cannot make the demo administrator's password hash for " + user);
        }
        if (!kw::writeFileAtomically(accountsPath, line, 0600)) {
            return fail("cannot write " + accountsPath + ": " + std::strerror(errno));
        }
    }

    const std::string stack = accounts::stackText(module, accountsPath);
    if (stack.empty()) {
        return fail("cannot install the demo administrator: " + module + " or " + accountsPath +
                    " cannot be named in a PAM configuration (white space or brackets)");
    }
    const std::string stackPath = stackFolder + stackSystemPath.substr(stackSystemPath.rfind('/'));
    struct stat st {};
    std::string current;
    if (::lstat(stackPath.c_str(), &st) == 0) {
        const std::string marker = std::string(accounts::kStackMarker) + "\n";
        if (!S_ISREG(st.st_mode) || !kw::readFile(stackPath, current) ||
            current.compare(0, marker.size(), marker) != 0) {
            complain("keeping " + stackPath + ", which kw-sandbox did not write; the demo administrator is not in it");
            return true;
        }
        if (current == stack && (st.st_mode & 07777) == 0644) {
            return true;
        }
    }
    if (!kw::writeFileAtomically(stackPath, stack, 0644)) {
        return fail("cannot write " + stackPath + ": " + std::strerror(errno));
    }
    return true;
}
