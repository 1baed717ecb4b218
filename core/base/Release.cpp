#include "Release.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kw {

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

void setReleaseFlagsFromEnvironment()
{
    setReleaseFlags(toolkitVersionNumber());
}

} // namespace kw
