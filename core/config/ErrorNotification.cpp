#include "ErrorNotification.h"

#include "SettingsKeys.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Log.h"

namespace kw {

std::string errorNotificationText(int code, const std::string& message)
{
    return "The Firewall Utility tool reported an error: " + message + "\nCode:" + std::to_string(code);
}

void sendKWErrorNotification(int code, const std::string& message)
{
    const std::string text = errorNotificationText(code, message);
    logLine(text);
    DistributedNotificationCenter::post(notifications::kDistributedError, text);
}

} // namespace kw
