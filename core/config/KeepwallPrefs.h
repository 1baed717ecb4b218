#pragma once

#include "KWPreferences.h"

#include <memory>
#include <optional>
#include <string>

namespace kw {

// The settings document "com.wallworks.keepwall".
class KeepwallPrefs : public KWPreferences {
public:
    static std::unique_ptr<KeepwallPrefs> preferences();
    KeepwallPrefs();

    // STORED_SETTINGS; an empty dictionary when absent (or not a dictionary).
    const Value::Dictionary& storedSettings() const;
    std::optional<std::string> currentSettingsKey() const;
    void setCurrentSettingsKey(const std::string& key);
    // The stored setting under the key, or nullptr.
    const Value* settingForKey(const std::string& key) const;
    const Value* currentSetting() const;

    void enableLogging(bool enable);
    static bool enableNatdForSetting(const Value* setting);
    bool enableNatdForSettingKey(const std::string& key) const;
    bool enableNatdForCurrentSetting() const;
    static std::optional<std::string> natdInterfaceNameFromSetting(const Value* setting);

    // The setting key at a position of the stored settings' enumeration order, or none.
    std::optional<std::string> settingKeyAtIndex(std::int64_t index) const;
};

} // namespace kw
