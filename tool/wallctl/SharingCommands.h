#pragma once

#include "ToolContext.h"

namespace kw::tool {

// The IP sharing commands. Each writes its answer and flushes that stream.
// "sharing-status": "RUNNING\n" or "NOT RUNNING\n" on the output stream.
void showIPSharingStatus(ToolContext& context);
// "sharing-start": starts IP sharing; "RUNNING\n" when it came up, else "NOT RUNNING\n".
void startIPSharing(ToolContext& context);
// "sharing-stop": stops IP sharing; "NOT RUNNING\n" when natd was stopped, else "RUNNING\n",
// on the error stream.
void stopIPSharing(ToolContext& context);
// "allow-lans": adds the local-network allow rules of the current setting.
void allowLocalLANs(ToolContext& context);

} // namespace kw::tool
