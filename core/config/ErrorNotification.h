#pragma once

#include <string>

namespace kw {

// Reports a privileged failure to the user: logs the sentence and posts it as the object of
// the distributed "KWDistributedErrorNotification", which the application shows in an alert.
void sendKWErrorNotification(int code, const std::string& message);

// The sentence sendKWErrorNotification posts.
std::string errorNotificationText(int code, const std::string& message);

} // namespace kw
