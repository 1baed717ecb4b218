#pragma once

// The demo administrator of a sandbox root: its account file (written by kw-sandbox, read by
// pam_kwsandbox.so) and the root's PAM stack that names the module. A sandbox root is never
// the machine's own "/": an account file that resolves into the system's /etc never counts.

#include <string>
#include <string_view>

namespace kw::sandboxaccounts {

// The demo administrator's password in every sandbox root.
inline constexpr std::string_view kDemoPassword = "keepwall";
inline constexpr std::string_view kModuleFileName = "pam_kwsandbox.so";
// Paths inside a sandbox root.
inline constexpr std::string_view kAccountsSystemPath = "/etc/keepwall/sandbox-accounts";
inline constexpr std::string_view kStackSystemPath = "/etc/pam.d/keepwall";
// The first line of a stack kw-sandbox wrote. A stack without it is the user's own and is kept.
inline constexpr std::string_view kStackMarker =
    "# The sandbox's demo administrator, written by kw-sandbox (rewritten while this line is here).";

// One account line "name:hash\n", the password hashed with a fresh random salt by the system's
// preferred crypt method. Empty when the name cannot be stored or hashing fails.
std::string makeAccountLine(std::string_view name, std::string_view password);

// True for the system's /etc and everything below it.
bool isInsideSystemEtc(std::string_view canonicalPath);

// The PAM stack for the service: authentication and account checks by the module against the
// account file. Empty when a path cannot be written in a PAM configuration.
std::string stackText(const std::string& modulePath, const std::string& accountsPath);

enum class Verdict { Success, UnknownUser, WrongPassword, Unavailable };

struct AccountCheck {
    Verdict verdict = Verdict::Unavailable;
    std::string reason; // for Unavailable; never holds the password
};

// Checks an account, and its password unless that is null, against the account file. The file
// counts only when it is named by an absolute path that does not resolve into the system's
// /etc, is a regular file (not a link) of at most 64 KiB that nobody but its owner may write,
// and belongs to the account it vouches for.
AccountCheck checkAccount(const char* accountsPath, const char* userName, const char* password);

} // namespace kw::sandboxaccounts
