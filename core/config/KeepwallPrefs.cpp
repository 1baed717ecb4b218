#include "KeepwallPrefs.h"

#include "SettingsKeys.h"

namespace kw {

std::unique_ptr<KeepwallPrefs> KeepwallPrefs::preferences() { return std::make_unique<KeepwallPrefs>(); }

KeepwallPrefs::KeepwallPrefs() : KWPreferences(std::string(keys::kPrefsIdentifier)) {}

const Value::Dictionary& KeepwallPrefs::storedSettings() const
{
    static const Value::Dictionary kEmpty;
    const Value* stored = m_prefs.root().get(keys::STORED_SETTINGS);
    if (stored == nullptr || !stored->isDictionary()) {
        return kEmpty;
    }
    return *stored->dictionary();
}

std::optional<std::string> KeepwallPrefs::currentSettingsKey() const
{
    const Value* key = m_prefs.root().get(keys::CURRENT_SETTING);
    if (key == nullptr || !(key->isString() || key->isNumber())) {
        return std::nullopt;
    }
    return key->stringValue();
}

void KeepwallPrefs::setCurrentSettingsKey(const std::string& key) { takeValue(Value(key), keys::CURRENT_SETTING); }

const Value* KeepwallPrefs::settingForKey(const std::string& key) const
{
    const auto& stored = storedSettings();
    const auto it = stored.find(key);
    return it == stored.end() ? nullptr : &it->second;
}

const Value* KeepwallPrefs::currentSetting() const
{
    const auto key = currentSettingsKey();
    return key ? settingForKey(*key) : nullptr;
}

void KeepwallPrefs::enableLogging(bool enable) { takeValue(Value::boolean(enable), keys::ENABLE_LOGGING); }

bool KeepwallPrefs::enableNatdForSetting(const Value* setting)
{
    const Value* nat = setting ? setting->get(keys::NAT_CONFIG) : nullptr;
    return integerValueOf(nat ? nat->get(keys::NATD_STARTUP) : nullptr) > 0;
}

bool KeepwallPrefs::enableNatdForSettingKey(const std::string& key) const
{
    return enableNatdForSetting(settingForKey(key));
}

bool KeepwallPrefs::enableNatdForCurrentSetting() const
{
    const auto key = currentSettingsKey();
    return key ? enableNatdForSettingKey(*key) : false;
}

std::optional<std::string> KeepwallPrefs::natdInterfaceNameFromSetting(const Value* setting)
{
    const Value* nat = setting ? setting->get(keys::NAT_CONFIG) : nullptr;
    if (const Value* name = nat ? nat->get(keys::NATD_INTERFACENAME) : nullptr) {
        return name->stringValue();
    }
    switch (integerValueOf(nat ? nat->get(keys::NATD_INTERFACE) : nullptr)) {
    case 0:
        return "en0";
    case 1:
        return "ppp0";
    case 2:
        return "pppoe0";
    case 3:
        return "en1";
    default:
        return std::nullopt;
    }
}

std::optional<std::string> KeepwallPrefs::settingKeyAtIndex(std::int64_t index) const
{
    const auto& stored = storedSettings();
    if (index < 0 || static_cast<std::uint64_t>(index) >= stored.size()) {
        return std::nullopt;
    }
    auto it = stored.begin();
    std::advance(it, index);
    return it->first;
}

} // namespace kw
