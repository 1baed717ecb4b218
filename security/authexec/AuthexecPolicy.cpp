#include "AuthexecPolicy.h"

#include "AuthexecRequest.h"

#include <algorithm>
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

const std::vector<std::string>& toolCommandWords()
{
    static const std::vector<std::string> words = {
        "activate",   "store",       "install",    "uninstall",     "showlog",
        "enable-log", "disable-log", "delete-log", "sharing-start", "sharing-stop",
    };
    return words;
}

const std::vector<AllowedProgram>& installedPrograms()
{
    static const std::vector<AllowedProgram> programs = {
        { KW_TOOL_INSTALL_PATH, ArgumentRule::ToolCommand },
        { "/sbin/ipfw", ArgumentRule::FirewallCommand },
        { "/usr/sbin/periodic", ArgumentRule::PeriodicDaily },
    };
    return programs;
}

namespace {

// A rule number as the monitor shows it: 1 to 65535, decimal, no sign or leading zero.
bool isRuleNumber(std::string_view text)
{
    if (text.empty() || text.size() > 5 || text[0] == '0') {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

bool isFirewallCommand(const std::vector<std::string>& a)
{
    switch (a.size()) {
    case 1:
        return a[0] == "list";
    case 2:
        return (a[0] == "-at" && a[1] == "list") || (a[0] == "-q" && (a[1] == "zero" || a[1] == "flush"));
    case 3:
        return a[0] == "-q" && a[1] == "zero" && isRuleNumber(a[2]);
    default:
        return false;
    }
}

} // namespace

bool argumentsAllowed(ArgumentRule rule, const std::vector<std::string>& arguments)
{
    switch (rule) {
    case ArgumentRule::ToolCommand: {
        const auto& words = toolCommandWords();
        return arguments.size() == 1 && std::find(words.begin(), words.end(), arguments[0]) != words.end();
    }
    case ArgumentRule::FirewallCommand:
        return isFirewallCommand(arguments);
    case ArgumentRule::PeriodicDaily:
        return arguments.size() == 1 && arguments[0] == "daily";
    case ArgumentRule::Any:
        return true;
    }
    return false;
}

const AllowedProgram* findAllowedProgram(const std::vector<AllowedProgram>& programs, std::string_view path)
{
    for (const auto& program : programs) {
        if (program.path == path) {
            return &program;
        }
    }
    return nullptr;
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

namespace {

TrustedPathCheck checkTrustedPath(std::string_view path, const std::set<uid_t>& trustedOwners, bool wantFolder)
{
    TrustedPathCheck result;
    if (!isNormalAbsolutePath(path) && !(wantFolder && path == "/")) {
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
        if (pending.empty() && wantFolder && !S_ISDIR(st.st_mode)) {
            result.reason = next + " is not a folder";
            return result;
        }
        if (pending.empty() && !wantFolder &&
            (!S_ISREG(st.st_mode) || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)) {
            result.reason = next + " is not an executable file";
            return result;
        }
        current = next;
    }
    if (current == "/" && !wantFolder) {
        result.reason = "not an executable file";
        return result;
    }
    result.trusted = true;
    result.resolvedPath = current;
    return result;
}

} // namespace

TrustedPathCheck checkTrustedExecutable(std::string_view path, const std::set<uid_t>& trustedOwners)
{
    return checkTrustedPath(path, trustedOwners, false);
}

TrustedPathCheck checkTrustedFolder(std::string_view path, const std::set<uid_t>& trustedOwners)
{
    std::string trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    return checkTrustedPath(trimmed, trustedOwners, true);
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

bool isKnownAccount(const std::string& userName)
{
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    return getpwnam_r(userName.c_str(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

std::string escapeForLog(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '\\') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

std::string commandLineForLog(std::string_view path, const std::vector<std::string>& arguments)
{
    auto quoted = [](std::string_view text) {
        std::string escaped = escapeForLog(text);
        std::string out = "\"";
        for (const char c : escaped) {
            out += c == '"' ? std::string("\\x22") : std::string(1, c);
        }
        return out + "\"";
    };
    std::string line = quoted(path);
    for (const auto& argument : arguments) {
        line += " " + quoted(argument);
    }
    return line;
}

} // namespace kw::authexec
