#include "Release.h"

#include "Log.h"
#include "PlistValue.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kw {

namespace {
constexpr int kExitConfiguration = 78; // EX_CONFIG
} // namespace

bool KWRunningOnJaguar = false;
bool KWRunningOnPanther = false;
bool KWRunningOnTiger = false;

double toolkitVersionNumber()
{
    const char* release = std::getenv("KEEPWALL_RELEASE");
    const std::string_view r = release ? release : "10.4";
    if (r == "10.1") {
        return 620.0;
    }
    if (r == "10.2") {
        return 663.0;
    }
    if (r == "10.3") {
        return 743.0;
    }
    return 824.0;
}

void setReleaseFlags(double toolkitVersion)
{
    const double v = std::floor(toolkitVersion);
    KWRunningOnJaguar = v > 620;
    KWRunningOnPanther = v > 663;
    KWRunningOnTiger = v > 743;
}

std::optional<std::string> releaseEnvironmentProblem()
{
    const char* release = std::getenv("KEEPWALL_RELEASE");
    if (release == nullptr) {
        return std::nullopt;
    }
    const std::string_view r = release;
    if (r == "10.1" || r == "10.2" || r == "10.3" || r == "10.4") {
        return std::nullopt;
    }
    return "KEEPWALL_RELEASE \"" + escapedControlCharacters(r) +
           "\" is not a known release: use 10.1, 10.2, 10.3 or 10.4, or leave it unset for 10.4";
}

void setReleaseFlagsFromEnvironment()
{
    if (const auto problem = releaseEnvironmentProblem()) {
        logLine(*problem);
        std::exit(kExitConfiguration);
    }
    setReleaseFlags(toolkitVersionNumber());
}

} // namespace kw
