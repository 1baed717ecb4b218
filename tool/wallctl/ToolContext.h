#pragma once

#include "config/KeepwallPrefs.h"

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw::tool {

// What one command handler works with: the process arguments, the settings document and the
// streams its output goes to (so tests can run handlers in-process).
struct ToolContext {
    std::vector<std::string> args; // the program path first, then the word and its arguments
    KeepwallPrefs& prefs;
    std::FILE* out;
    std::FILE* err;
    uid_t invokingUid; // the user who started the tool (its real user id before it became root)
    // Set by a handler whose command did not do what it was asked.
    bool failed = false;
};

} // namespace kw::tool
