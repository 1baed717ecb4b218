#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kw::authexec {

// What a program the starter runs may be given as arguments.
enum class ArgumentRule {
    ToolCommand,     // exactly one of the privileged tool's command words
    FirewallCommand, // "-at list", "list", "-q zero" with an optional rule number, "-q flush"
    PeriodicDaily,   // exactly "daily"
    Any,             // anything: only test builds of the starter allow programs this way
};

struct AllowedProgram {
    std::string path;
    ArgumentRule rule;
};

// The command words of the privileged tool that the application runs.
const std::vector<std::string>& toolCommandWords();

// The command lines the installed starter runs as root: the privileged tool, the firewall
// listing and counter commands and the daily maintenance, each only in the forms the
// application itself uses. Everything else a password could buy (a root sudo, arguments of
// sysctl, kill or natd, another ipfw command) is absent on purpose.
const std::vector<AllowedProgram>& installedPrograms();

// True when the arguments (without the program's own name) fit the rule.
bool argumentsAllowed(ArgumentRule rule, const std::vector<std::string>& arguments);

// The entry of the list for exactly this path, or nullptr.
const AllowedProgram* findAllowedProgram(const std::vector<AllowedProgram>& programs, std::string_view path);

struct TrustedPathCheck {
    bool trusted = false;
    std::string resolvedPath; // the path with every link followed, when trusted
    std::string reason;       // why not, when not trusted
};

// Walks the path from "/" one component at a time, following symbolic links (at most 40),
// and accepts it only when every folder passed through, every link and the file itself
// belong to one of the trusted owners and no folder or file can be written by group or
// others. The file must be a regular file with an execute bit.
TrustedPathCheck checkTrustedExecutable(std::string_view path, const std::set<uid_t>& trustedOwners);

// The same walk for a folder: every folder on the way and the folder itself belong to a
// trusted owner and cannot be written by group or others.
TrustedPathCheck checkTrustedFolder(std::string_view path, const std::set<uid_t>& trustedOwners);

// The value of KEEPWALL_ROOT that may be passed on: absent or empty gives an empty string;
// a plain absolute path (no "." or ".." components, no control characters) is kept;
// anything else gives nothing (refuse).
std::optional<std::string> acceptableRootValue(const char* value);

// True when the account is root or belongs to the group sudo, wheel or admin.
bool isAdministratorAccount(const std::string& userName);

// True when the system knows an account of that name.
bool isKnownAccount(const std::string& userName);

// The text with every byte that could forge a log line or drive a terminal (control
// characters, DEL, bytes above 0x7e) and the backslash written as \xNN.
std::string escapeForLog(std::string_view text);

// The program and its arguments for the log: each escaped and in double quotes, the quote
// itself escaped too, so that the list reads back unambiguously.
std::string commandLineForLog(std::string_view path, const std::vector<std::string>& arguments);

} // namespace kw::authexec
