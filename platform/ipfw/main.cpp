// The emulated packet filter command, installed in a sandbox root as /sbin/ipfw.
#include "IPFWCommand.h"
#include "IPFWSystem.h"

#include "base/Release.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    kw::setReleaseFlagsFromEnvironment();
    std::string error;
    if (!kw::ipfwemu::establishRoot(error)) {
        std::cerr << "ipfw: " << error << '\n';
        return kw::ipfwemu::kExitOSError;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = kw::ipfwemu::runIPFW(args, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
