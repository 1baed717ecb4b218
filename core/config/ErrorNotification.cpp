#include "ErrorNotification.h"

#include "SettingsKeys.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Log.h"

#include <atomic>

namespace kw {

namespace {
std::atomic<int> g_errorNotificationsSent { 0 };
} // namespace

int errorNotificationsSent()
{
    return g_errorNotificationsSent.load();
}

std::string errorNotificationText(int code, const std::string& message)
{
    return "The Firewall Utility tool reported an error: " + message + "\nCode:" + std::to_string(code);
}

void sendKWErrorNotification(int code, const std::string& message)
{
    const std::string text = errorNotificationText(code, message);
    logLine(text);
    ++g_errorNotificationsSent;
    DistributedNotificationCenter::post(notifications::kDistributedError, text);
}

} // namespace kw
