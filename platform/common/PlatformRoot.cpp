#include "common/PlatformRoot.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::platform {

namespace {

std::string& nameStorage()
{
    static std::string name = "kw-platform";
    return name;
}

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

void setProgramName(const std::string& name)
{
    nameStorage() = name;
}

const std::string& programName()
{
    return nameStorage();
}

void complain(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", programName().c_str(), message.c_str());
    std::fflush(stderr);
}

std::string canonicalRoot(const std::string& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

bool establishRoot(const std::string& installedSystemPath)
{
    std::string root;
    if (const char* env = std::getenv(SystemRoot::kEnvironmentVariable); env != nullptr && *env != '\0') {
        root = env;
        if (!isFolder(root)) {
            complain("system root " + root + " is not a folder");
            return false;
        }
    } else {
        const std::string self = ownExecutablePath();
        if (!self.empty()) {
            if (self.size() > installedSystemPath.size() &&
                self.compare(self.size() - installedSystemPath.size(), std::string::npos, installedSystemPath) == 0) {
                const std::string candidate = self.substr(0, self.size() - installedSystemPath.size());
                if (isFolder(candidate + "/var/db/kw-platform")) {
                    root = candidate;
                }
            }
        }
        if (root.empty()) {
            complain("no system root: set KEEPWALL_ROOT to a sandbox made by kw-sandbox");
            return false;
        }
    }
    root = canonicalRoot(root);
    if (root == "/") {
        complain("refusing to emulate the platform on the machine's own root \"/\"");
        return false;
    }
    ::setenv(SystemRoot::kEnvironmentVariable, root.c_str(), 1);
    return true;
}

std::string stateFolder()
{
    return SystemRoot::path("/var/db/kw-platform");
}

std::string runFolder()
{
    return SystemRoot::path("/var/run/kw-platform");
}

bool isSuperUser()
{
    return ::geteuid() == 0;
}

} // namespace kw::platform
