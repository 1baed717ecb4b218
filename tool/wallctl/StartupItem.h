#pragma once

#include "ToolContext.h"
#include "base/PlistValue.h"

#include <string>

namespace kw::tool {

// The boot-time startup item "/Library/StartupItems/Firewall": a parameter list, a boot
// script and a copy of wallctl, all with mode 0755, owner root and group wheel (root's group
// where the system has no wheel group). Every path lies under the system root.
//
// No symbolic link is followed below the root: a link in place of the item folder counts as
// "not a folder" and is removed (the link itself) and replaced by a folder; files in the
// folder are replaced, never written through; a link in place of "/Library" or
// "/Library/StartupItems" makes installing and removing fail with their messages.

// The parameter list.
Value generateStartupParameters();

// The boot script, from the settings document and the release flags as they are now.
std::string generateStartupScript(const KeepwallPrefs& prefs);

// Makes sure "/Library/StartupItems" exists; reports and answers false when it cannot.
bool assureStartupItemDirectory();

// "install": (re)creates the item from the current settings and writes "/etc/firewall.conf"
// and "/etc/natd.conf". Each failure is reported through an error notification.
void installStartupScript(ToolContext& context);

// "uninstall": removes the item folder and everything in it. The rule and natd files stay.
// The folder is removed by the tool itself rather than by the system's rm, which works on
// host paths and would follow a link in the way.
void uninstallStartupItem(ToolContext& context);

// The wallctl to copy: the one beside the program path the tool was started by. When that
// path is a symbolic link, the one beside the link's target (one level, as stored; a
// relative target is taken from the link's folder). A path without a "/" (found through
// PATH) stands for the running program itself.
std::string ownProgramPath(const std::string& argv0);

} // namespace kw::tool
