#pragma once

#include <optional>
#include <string>

namespace kw {

// Process-wide system-release flags: 10.2 or later, 10.3 or later, 10.4 or later.
// Set once at start-up by each program and read-only afterwards.
extern bool KWRunningOnJaguar;
extern bool KWRunningOnPanther;
extern bool KWRunningOnTiger;

// The toolkit version number that stands for the configured release (KEEPWALL_RELEASE,
// "10.1" to "10.4", default "10.4"): 620 for 10.1, 663 for 10.2, 743 for 10.3, 824 for 10.4.
double toolkitVersionNumber();

// Sets the three flags from a toolkit version number by the strict floor comparisons.
void setReleaseFlags(double toolkitVersion);

// Why KEEPWALL_RELEASE cannot be used: a message naming the allowed values when it is set to
// anything but "10.1" to "10.4"; none when it is one of them or unset.
std::optional<std::string> releaseEnvironmentProblem();

// setReleaseFlags(toolkitVersionNumber()). A KEEPWALL_RELEASE outside the known releases ends
// the program with that message (exit status 78), before it acts on a wrong assumption.
void setReleaseFlagsFromEnvironment();

} // namespace kw
