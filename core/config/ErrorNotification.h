#pragma once

#include <string>

namespace kw {

// Reports a privileged failure to the user: logs the sentence and posts it as the object of
// the distributed "KWDistributedErrorNotification", which the application shows in an alert.
void sendKWErrorNotification(int code, const std::string& message);

// How many error notifications this process has sent: a command that sent one has failed,
// whatever else it did.
int errorNotificationsSent();

// The sentence sendKWErrorNotification posts.
std::string errorNotificationText(int code, const std::string& message);

} // namespace kw
