#include "HostName.h"

#include <unistd.h>

namespace kw {

std::string shortHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    std::string n = name;
    if (const auto dot = n.find('.'); dot != std::string::npos) {
        n.erase(dot);
    }
    return n;
}

} // namespace kw
