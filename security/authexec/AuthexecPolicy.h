#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kw::authexec {

// The executables the installed starter runs as root: the privileged tool and the system
// programs the application drives. "/usr/bin/sudo" is deliberately absent: a root sudo with
// caller-chosen arguments would make the starter a general root shell.
const std::vector<std::string>& installedAllowList();

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

// The value of KEEPWALL_ROOT that may be passed on: absent or empty gives an empty string;
// a plain absolute path (no "." or ".." components, no control characters) is kept;
// anything else gives nothing (refuse).
std::optional<std::string> acceptableRootValue(const char* value);

// True when the account is root or belongs to the group sudo, wheel or admin.
bool isAdministratorAccount(const std::string& userName);

} // namespace kw::authexec
