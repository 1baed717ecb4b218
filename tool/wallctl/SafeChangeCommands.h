#pragma once

#include "ToolContext.h"

#include <string>

namespace kw::tool {

// "try <seconds>": keeps the rule file and the kernel's rules in force, starts a watchdog that
// puts them back after the given time, then activates the current setting as "activate" does.
// The watchdog is a process of its own (outside the caller's session), so it reverts even when
// the caller, its terminal or the application is gone. A second "try" while one is pending is
// refused.
void tryCurrentConfiguration(ToolContext& context);

// "confirm": keeps the rules of the pending "try"; the watchdog has ended when it returns.
void confirmTrial(ToolContext& context);

// "revert": puts the rules of the pending "try" back now; the watchdog has ended when it returns.
void revertTrial(ToolContext& context);

// "diff": the rules the current setting generates against the rules the kernel holds, in
// unified diff form on the output stream (empty when they are equal). Exits with status 1 when
// they differ, as diff does.
void showRuleDifference(ToolContext& context);

// The system paths of a pending trial, for the application and for tests.
inline constexpr const char* kTrialLockPath = "/var/run/keepwall-trial.lock";
inline constexpr const char* kTrialFolder = "/var/db/keepwall-trial";
// Holds "<deadline in seconds since the epoch> <seconds>" while a trial waits for "confirm".
inline constexpr const char* kTrialPendingPath = "/var/db/keepwall-trial/pending";
inline constexpr const char* kTrialWatchdogPidPath = "/var/db/keepwall-trial/watchdog.pid";

// The longest trial "try" accepts: a day.
inline constexpr int kMaxTrialSeconds = 86400;

} // namespace kw::tool
