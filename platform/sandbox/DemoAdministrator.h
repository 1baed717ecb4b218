#pragma once

#include <string>

// The sandbox's demo administrator: <root>/etc/pam.d/keepwall names pam_kwsandbox.so, which
// accepts the user who prepared the sandbox with the password "keepwall" from
// <root>/etc/keepwall/sandbox-accounts (a salted hash, mode 0600). A stack the user wrote is
// kept; an account file already naming the user is kept. Refuses the machine's own root "/"
// and a root whose etc folders lead out of it. The module is looked for beside the program
// (programFolder/../lib in a build folder, or the installed library folder).
// False after complaining.
bool installDemoAdministrator(const std::string& programFolder);
