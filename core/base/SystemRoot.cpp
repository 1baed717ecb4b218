#include "SystemRoot.h"

#include <cstdlib>

namespace kw {

std::string SystemRoot::prefix()
{
    // Read on every call: tests switch roots per fixture, and the lookup is cheap.
    const char* root = std::getenv(kEnvironmentVariable);
    if (root == nullptr || *root == '\0') {
        return {};
    }
    std::string r(root);
    while (!r.empty() && r.back() == '/') {
        r.pop_back();
    }
    return r;
}

std::string SystemRoot::path(const std::string& systemPath)
{
    if (systemPath.empty() || systemPath.front() != '/') {
        return systemPath;
    }
    return prefix() + systemPath;
}

} // namespace kw
