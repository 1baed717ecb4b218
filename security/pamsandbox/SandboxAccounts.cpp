#include "SandboxAccounts.h"

#include <cerrno>
#include <climits>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kw::sandboxaccounts {

namespace {

constexpr off_t kMaxAccountFileBytes = 64 * 1024;

bool acceptableName(std::string_view name)
{
    if (name.empty() || name.size() > 256) {
        return false;
    }
    for (const char c : name) {
        if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

// PAM splits its configuration lines at white space; an argument holding white space or "["
// is written as "[name=value]". A "]" inside cannot be written reliably.
std::string pamArgument(const std::string& text)
{
    if (text.find(']') != std::string::npos || text.find('\n') != std::string::npos) {
        return {};
    }
    if (text.find_first_of(" \t[") == std::string::npos) {
        return text;
    }
    return "[" + text + "]";
}

bool sameBytes(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

AccountCheck unavailable(std::string reason)
{
    return { Verdict::Unavailable, std::move(reason) };
}

bool readAll(int fd, std::string& out)
{
    char block[4096];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(block, static_cast<std::size_t>(n));
        if (out.size() > static_cast<std::size_t>(kMaxAccountFileBytes)) {
            return false;
        }
    }
}

// The hash stored for the name, or nothing.
bool findHash(const std::string& content, std::string_view name, std::string& hash)
{
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        const std::string_view line(content.data() + pos, end - pos);
        pos = end + 1;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || line.substr(0, colon) != name) {
            continue;
        }
        hash = std::string(line.substr(colon + 1));
        return true;
    }
    return false;
}

} // namespace

std::string makeAccountLine(std::string_view name, std::string_view password)
{
    if (!acceptableName(name) || password.empty() || password.find('\0') != std::string_view::npos) {
        return {};
    }
    char* setting = crypt_gensalt_ra(nullptr, 0, nullptr, 0);
    if (setting == nullptr) {
        return {};
    }
    auto data = std::make_unique<crypt_data>();
    const std::string phrase(password);
    const char* hashed = crypt_rn(phrase.c_str(), setting, data.get(), sizeof(crypt_data));
    std::free(setting);
    std::string line;
    if (hashed != nullptr && hashed[0] != '*' && std::strchr(hashed, ':') == nullptr) {
        line = std::string(name) + ":" + hashed + "\n";
    }
    explicit_bzero(data.get(), sizeof(crypt_data));
    return line;
}

bool isInsideSystemEtc(std::string_view canonicalPath)
{
    return canonicalPath == "/etc" || canonicalPath.substr(0, 5) == "/etc/";
}

std::string stackText(const std::string& modulePath, const std::string& accountsPath)
{
    if (modulePath.empty() || modulePath.front() != '/' || modulePath.find_first_of(" \t\n[]") != std::string::npos) {
        return {};
    }
    const std::string argument = pamArgument("accounts=" + accountsPath);
    if (argument.empty()) {
        return {};
    }
    const std::string entry = " required " + modulePath + " " + argument + "\n";
    return std::string(kStackMarker) +
           "\n# The administrator is the user who prepared the sandbox; the password is \"" +
           std::string(kDemoPassword) + "\".\nauth" + entry + "account" + entry;
}

AccountCheck checkAccount(const char* accountsPath, const char* userName, const char* password)
{
    if (accountsPath == nullptr || accountsPath[0] != '/') {
        return unavailable("no account file is named (the argument accounts=<absolute path>)");
    }
    if (userName == nullptr || !acceptableName(userName)) {
        return { Verdict::UnknownUser, {} };
    }
    char canonical[PATH_MAX];
    if (realpath(accountsPath, canonical) == nullptr) {
        return unavailable(std::string("cannot find the account file ") + accountsPath + ": " + std::strerror(errno));
    }
    if (isInsideSystemEtc(canonical)) {
        return unavailable(std::string("the account file ") + canonical +
                           " lies in the system's /etc, where sandbox accounts never count");
    }
    const int fd = open(canonical, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return unavailable(std::string("cannot open the account file ") + canonical + ": " + std::strerror(errno));
    }
    struct stat st {};
    std::string content;
    std::string problem;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "is not a regular file";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "is writable by others than its owner";
    } else if (st.st_size > kMaxAccountFileBytes || !readAll(fd, content)) {
        problem = "cannot be read or is too large";
    }
    close(fd);
    if (!problem.empty()) {
        return unavailable(std::string("the account file ") + canonical + " " + problem);
    }
    std::string hash;
    if (!findHash(content, userName, hash)) {
        return { Verdict::UnknownUser, {} };
    }
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (getpwnam_r(userName, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        pw.pw_uid != st.st_uid) {
        return unavailable(std::string("the account file ") + canonical + " does not belong to " + userName);
    }
    if (password == nullptr) {
        return { Verdict::Success, {} };
    }
    if (hash.empty() || hash.front() != '$') {
        return unavailable(std::string("the account file ") + canonical + " holds no usable hash for " + userName);
    }
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(password, hash.c_str(), data.get(), sizeof(crypt_data));
    AccountCheck result;
    if (hashed == nullptr || hashed[0] == '*') {
        result = unavailable(std::string("the account file ") + canonical + " holds no usable hash for " + userName);
    } else {
        result.verdict = sameBytes(hashed, hash) ? Verdict::Success : Verdict::WrongPassword;
    }
    explicit_bzero(data.get(), sizeof(crypt_data));
    return result;
}

} // namespace kw::sandboxaccounts
