#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

namespace kw::app {

// The application's preferences (QSettings) with the "KeepwallDefaults" resource registered
// as the defaults: a key the user never set answers the registered value.
class UserDefaults {
public:
    static constexpr const char* kMonitorRefreshInterval = "MONITOR_REFRESH_INTERVAL";
    static constexpr const char* kExpertSplitViewPos = "ExpertSplitViewPos";
    static constexpr const char* kAssistantFirstRun = "ASSISTANT_FIRSTRUN";

    // Registers the resource's dictionary as the defaults (nothing when it is missing).
    static void registerDefaults();
    static QVariant value(const QString& key);
    static double doubleValue(const QString& key);
    static bool boolValue(const QString& key);
    static void setValue(const QString& key, const QVariant& value);
    static QSettings& settings();
};

} // namespace kw::app
