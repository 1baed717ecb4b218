#pragma once

#include "ExitStatus.h"
#include "ToolContext.h"

#include <optional>
#include <string>
#include <string_view>

namespace kw::tool {

// The process name, for the usage line.
std::string processName(const std::string& argv0);

// Logs the usage line.
void logUsage(const std::string& argv0);

// Runs the command named by args[1]; unknown words and wrong argument counts log the usage line.
// Returns the exit status (ExitStatus.h): a command failed when its handler said so or an error
// notification was sent while it ran. Exceptions propagate to the caller.
int dispatch(ToolContext& context);

// Reaps at most one ended child and logs its outcome; returns what the wait returned.
int waitForChildren();

// Logs the outcome of a command from its status word, as waitForChildren does. Commands run
// through runCommand are reaped by it, so their handlers log the status word they got.
void logCommandStatus(int status);

// For every top-level key of the dictionary: remove it from the store, then set it; then
// commit and apply once.
void writeConfigurationKeys(KeepwallPrefs& prefs, const Value& dictionary);

// A settings request over "KWConfigServer": the parsed reply, or none (after logging why).
std::optional<Value> settingsRequest(int messageId, uid_t invokingUid);

// Why a "store" reply is refused: it is no dictionary, a known top-level key holds a value of
// the wrong type or text XML cannot hold, or a stored setting is no dictionary. Unknown keys
// are no reason: the store leaves them out. None when the reply is acceptable.
std::optional<std::string> storeReplyProblem(const Value& reply);

} // namespace kw::tool
