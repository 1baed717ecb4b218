#pragma once

namespace kw::tool {

// wallctl's exit statuses. Administrators' scripts and the boot script's log read them; the
// usage text of the README and wallctl(8) list the same numbers.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitNotRoot = 1,       // the tool could not become root
    kExitCommandFailed = 2, // an exception, an error notification sent, or a refused request
    kExitUsage = 64,        // no command word, an unknown one, or the wrong number of arguments
    // 78: KEEPWALL_RELEASE names no known release (every program ends so before its command)
};

} // namespace kw::tool
