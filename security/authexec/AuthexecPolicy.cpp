#include "AuthexecPolicy.h"

#include "AuthexecRequest.h"

#include <cerrno>
#include <deque>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KW_TOOL_INSTALL_PATH
#define KW_TOOL_INSTALL_PATH "/usr/local/libexec/keepwall/wallctl"
#endif

namespace kw::authexec {

const std::vector<std::string>& installedAllowList()
{
    static const std::vector<std::string> list = {
        KW_TOOL_INSTALL_PATH, "/usr/sbin/natd", "/usr/sbin/sysctl",   "/bin/kill",
        "/usr/sbin/ipfw",     "/sbin/ipfw",     "/usr/sbin/periodic",
    };
    return list;
}

namespace {

std::deque<std::string> splitComponents(std::string_view path)
{
    std::deque<std::string> parts;
    std::size_t pos = 0;
    while (pos < path.size()) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > pos) {
            parts.emplace_back(path.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

} // namespace

TrustedPathCheck checkTrustedExecutable(std::string_view path, const std::set<uid_t>& trustedOwners)
{
    TrustedPathCheck result;
    if (!isNormalAbsolutePath(path)) {
        result.reason = "not a plain absolute path";
        return result;
    }
    auto ownerTrusted = [&trustedOwners](const struct stat& st) { return trustedOwners.count(st.st_uid) != 0; };
    auto unsafeMode = [](const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; };

    struct stat st {};
    if (lstat("/", &st) != 0 || !ownerTrusted(st) || unsafeMode(st)) {
        result.reason = "\"/\" is not owned by root or is writable by others";
        return result;
    }
    std::deque<std::string> pending = splitComponents(path);
    std::string current = "/";
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            current = parentOf(current);
            continue;
        }
        const std::string next = joined(current, name);
        if (lstat(next.c_str(), &st) != 0) {
            result.reason = next + " cannot be examined";
            return result;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!ownerTrusted(st)) {
                result.reason = "link " + next + " has an untrusted owner";
                return result;
            }
            if (++links > 40) {
                result.reason = "too many symbolic links";
                return result;
            }
            char target[PATH_MAX];
            const ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
            if (n <= 0) {
                result.reason = "link " + next + " cannot be read";
                return result;
            }
            const std::string_view text(target, static_cast<std::size_t>(n));
            std::deque<std::string> targetParts = splitComponents(text);
            pending.insert(pending.begin(), targetParts.begin(), targetParts.end());
            if (text.front() == '/') {
                current = "/";
            }
            continue;
        }
        if (!ownerTrusted(st) || unsafeMode(st)) {
            result.reason = next + " is not owned by root or is writable by others";
            return result;
        }
        if (!pending.empty() && !S_ISDIR(st.st_mode)) {
            result.reason = next + " is not a folder";
            return result;
        }
        if (pending.empty() && (!S_ISREG(st.st_mode) || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)) {
            result.reason = next + " is not an executable file";
            return result;
        }
        current = next;
    }
    if (current == "/") {
        result.reason = "not an executable file";
        return result;
    }
    result.trusted = true;
    result.resolvedPath = current;
    return result;
}

std::optional<std::string> acceptableRootValue(const char* value)
{
    if (value == nullptr || *value == '\0') {
        return std::string();
    }
    const std::string_view text(value);
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    std::string trimmed(text);
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    if (trimmed != "/" && !isNormalAbsolutePath(trimmed)) {
        return std::nullopt;
    }
    return std::string(text);
}

bool isAdministratorAccount(const std::string& userName)
{
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwnam_r(userName.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    if (pw.pw_uid == 0) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(userName.c_str(), pw.pw_gid, groups.data(), &count) < 0) {
        if (count > 65536) {
            return false;
        }
        groups.resize(static_cast<std::size_t>(count) * 2);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    for (const char* adminGroup : { "sudo", "wheel", "admin" }) {
        std::vector<char> groupBuffer(16384);
        struct group gr {};
        struct group* gfound = nullptr;
        if (getgrnam_r(adminGroup, &gr, groupBuffer.data(), groupBuffer.size(), &gfound) != 0 || gfound == nullptr) {
            continue;
        }
        for (const gid_t g : groups) {
            if (g == gr.gr_gid) {
                return true;
            }
        }
    }
    return false;
}

} // namespace kw::authexec
