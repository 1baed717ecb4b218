#pragma once

#include "ToolContext.h"

namespace kw::tool {

// Switches the kernel firewall's packet logging on or off ("enable-log", "disable-log") and
// records the choice as ENABLE_LOGGING. On 10.4 and later switching on also starts the
// logger daemon when it is not running; switching off never stops it.
void modifyFirewallLogging(ToolContext& context, bool on);

// Whether the logger daemon named by the root's /var/run/ipfwlogger.pid runs. A missing pid
// file, or one that does not hold a positive process id, means it does not.
bool ipfwloggerIsRunning();

} // namespace kw::tool
