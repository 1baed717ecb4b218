#pragma once

#include <string>

namespace kw {

// Every absolute path the system names ("/etc/firewall.conf", "/sbin/ipfw", ...) is resolved
// against one system root: "/" by default, or the folder named by KEEPWALL_ROOT (a sandbox).
// This is the only place that glues a root onto a path.
class SystemRoot {
public:
    static constexpr const char* kEnvironmentVariable = "KEEPWALL_ROOT";

    // The root folder without a trailing slash; empty when the root is "/".
    static std::string prefix();

    // True when a sandbox root is in force.
    static bool isSandbox() { return !prefix().empty(); }

    // Maps an absolute system path to the path under the root; relative paths are returned as given.
    static std::string path(const std::string& systemPath);
};

} // namespace kw
