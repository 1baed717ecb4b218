#pragma once

#include <string>

namespace kw::platform {

// The program name used in messages ("sysctl", "natd", ...), as the real command names itself.
void setProgramName(const std::string& name);
const std::string& programName();

// Writes "<program>: <message>" on standard error.
void complain(const std::string& message);

// Finds the system root the stand-in works on and puts it in force (KEEPWALL_ROOT, made
// absolute and canonical, so children and kw::SystemRoot see the same root):
// - KEEPWALL_ROOT when it is set;
// - else the sandbox the running executable was installed into, recognised by its installed
//   system path (a copy at <root>/usr/sbin/natd belongs to <root>) and the root's state folder.
// A stand-in never works on the machine's own "/": it emulates a kernel, and its state would
// land in the host's /var. False after complaining when no sandbox root is found.
bool establishRoot(const std::string& installedSystemPath);

// The folder of the emulated kernel's state, "/var/db/kw-platform" under the root (host path).
std::string stateFolder();
// The folder of the emulated run-time state ("/var/run/kw-platform" under the root).
std::string runFolder();

// True when the stand-in runs with root rights (also root of a user namespace).
bool isSuperUser();

// The canonical form of a root folder path, for comparing roots; the text itself when it cannot
// be resolved.
std::string canonicalRoot(const std::string& path);

} // namespace kw::platform
