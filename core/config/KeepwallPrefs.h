#pragma once

#include "KWPreferences.h"
#include "rules/ConfigurationText.h"

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

    // The configuration texts. A key without a stored setting reads as an empty setting.
    // They raise SettingTypeError for a setting holding values of the wrong kind.
    static void appendComment(const std::string& comment, std::string& text);
    std::string ipfwTextForSettingKey(const std::string& key) const;
    static std::string generateNatdTextFromSetting(const Value* setting);
    std::string natdTextForSettingKey(const std::string& key) const;

    // Why the setting under the key cannot be activated: text that would add or cut lines of
    // the rule file or natd configuration, or rule numbers past the last one ipfw has.
    // "Refusing the setting "<key>": <reason>", or none.
    std::optional<std::string> activationRefusal(const std::string& key) const;
    // The error text activation reports for such a refusal.
    static std::string activationRefusalReport(const std::string& refusal);
    // "Refusing the setting "<key>": <reason>".
    static std::string refusalText(const std::string& key, const std::string& reason);
    // The rule text of the setting under the key, with the unsafe text that activation
    // refuses found on the way (see checkedIpfwTextForSetting).
    CheckedRuleText checkedIpfwTextForSettingKey(const std::string& key) const;

    // Writes the current setting's rule text to "/etc/firewall.conf" atomically; on failure
    // reports "Unable to write to file /etc/firewall.conf" and returns false. A setting that
    // activationRefusal refuses is reported the same way, and nothing is written.
    bool writeCurrentConfiguration() const;
    // writeCurrentConfiguration, then flushes the kernel's rules and loads the file, reporting
    // each failure through an error notification.
    void activateCurrentConfiguration() const;

    // The setting key at a position of the stored settings' enumeration order, or none.
    std::optional<std::string> settingKeyAtIndex(std::int64_t index) const;
};

} // namespace kw
