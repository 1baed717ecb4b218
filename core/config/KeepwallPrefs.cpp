#include "KeepwallPrefs.h"

#include "ErrorNotification.h"
#include "SettingsKeys.h"
#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/Log.h"
#include "base/SystemRoot.h"
#include "rules/ConfigurationText.h"

#include <cerrno>
#include <cstring>

namespace kw {

std::unique_ptr<KeepwallPrefs> KeepwallPrefs::preferences()
{
    return std::make_unique<KeepwallPrefs>();
}

KeepwallPrefs::KeepwallPrefs()
    : KWPreferences(std::string(keys::kPrefsIdentifier))
{}

const Value::Dictionary& KeepwallPrefs::storedSettings() const
{
    static const Value::Dictionary kEmpty;
    const Value* stored = m_prefs.root().get(keys::kStoredSettings);
    if (stored == nullptr || !stored->isDictionary()) {
        return kEmpty;
    }
    return *stored->dictionary();
}

std::optional<std::string> KeepwallPrefs::currentSettingsKey() const
{
    const Value* key = m_prefs.root().get(keys::kCurrentSetting);
    if (key == nullptr || !(key->isString() || key->isNumber())) {
        return std::nullopt;
    }
    return key->stringValue();
}

void KeepwallPrefs::setCurrentSettingsKey(const std::string& key)
{
    takeValue(Value(key), keys::kCurrentSetting);
}

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

void KeepwallPrefs::enableLogging(bool enable)
{
    takeValue(Value::boolean(enable), keys::kEnableLogging);
}

bool KeepwallPrefs::enableNatdForSetting(const Value* setting)
{
    const Value* nat = setting ? setting->get(keys::kNatConfig) : nullptr;
    return integerValueOf(nat ? nat->get(keys::kNatdStartup) : nullptr) > 0;
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
    const Value* nat = setting ? setting->get(keys::kNatConfig) : nullptr;
    if (const Value* name = nat ? nat->get(keys::kNatdInterfaceName) : nullptr) {
        return name->stringValue();
    }
    switch (integerValueOf(nat ? nat->get(keys::kNatdInterface) : nullptr)) {
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

namespace {

constexpr const char* kRuleFilePath = "/etc/firewall.conf";

const Value& settingOrEmpty(const Value* setting)
{
    static const Value kEmpty(Value::Dictionary {});
    return setting ? *setting : kEmpty;
}

} // namespace

void KeepwallPrefs::appendComment(const std::string& comment, std::string& text)
{
    kw::appendComment(comment, text);
}

std::string KeepwallPrefs::ipfwTextForSettingKey(const std::string& key) const
{
    return ipfwTextForSetting(settingOrEmpty(settingForKey(key)));
}

std::string KeepwallPrefs::generateNatdTextFromSetting(const Value* setting)
{
    return kw::generateNatdTextFromSetting(settingOrEmpty(setting));
}

std::string KeepwallPrefs::natdTextForSettingKey(const std::string& key) const
{
    return natdTextForSetting(settingOrEmpty(settingForKey(key)));
}

std::string KeepwallPrefs::refusalText(const std::string& key, const std::string& reason)
{
    return "Refusing the setting \"" + escapedControlCharacters(key) + "\": " + reason;
}

std::optional<std::string> KeepwallPrefs::activationRefusal(const std::string& key) const
{
    const Value& setting = settingOrEmpty(settingForKey(key));
    // A line break in a host or port field would add commands of its own to the rule file.
    auto reason = findUnsafeRuleText(setting);
    if (!reason) {
        reason = findRuleNumberOverflow(setting);
    }
    if (!reason) {
        return std::nullopt;
    }
    return refusalText(key, *reason);
}

std::string KeepwallPrefs::activationRefusalReport(const std::string& refusal)
{
    return std::string("Unable to write to file ") + kRuleFilePath + ": " + refusal;
}

CheckedRuleText KeepwallPrefs::checkedIpfwTextForSettingKey(const std::string& key) const
{
    return checkedIpfwTextForSetting(settingOrEmpty(settingForKey(key)));
}

bool KeepwallPrefs::writeCurrentConfiguration() const
{
    const std::string key = currentSettingsKey().value_or(std::string());
    const CheckedRuleText checked = checkedIpfwTextForSettingKey(key);
    const std::string failure = std::string("Unable to write to file ") + kRuleFilePath;
    // A line break in a host or port field would add commands of its own to the rule file, and
    // rule numbers past the last one would make ipfw stop half-way with an unrelated message.
    std::optional<std::string> reason = checked.unsafe;
    if (!reason) {
        reason = findRuleNumberOverflow(settingOrEmpty(settingForKey(key)));
    }
    if (reason) {
        const std::string refusal = refusalText(key, *reason);
        logLine(refusal);
        sendKWErrorNotification(0, activationRefusalReport(refusal));
        return false;
    }
    if (!writeFileAtomically(SystemRoot::path(kRuleFilePath), checked.text, 0644)) {
        logLine(failure);
        sendKWErrorNotification(0, failure);
        return false;
    }
    return true;
}

void KeepwallPrefs::activateCurrentConfiguration() const
{
    if (!writeCurrentConfiguration()) {
        return;
    }
    if (runCommand("/sbin/ipfw", { "-f", "flush" }) == -1) {
        sendKWErrorNotification(errno, "Error clearing firewall filters");
    }
    const int w = runCommand("/sbin/ipfw", { "-q", kRuleFilePath });
    const int startErrno = errno;
    const int low = w & 0x7f;
    if (low == 0) {
        const int e = (w >> 8) & 0xff;
        if (e != 0) {
            sendKWErrorNotification(e, std::string("Error activating firewall filters: ") + std::strerror(e));
        }
    } else if (low == 127) {
        // Includes a loader that could not be started at all (status word -1).
        sendKWErrorNotification(startErrno, "Unknown error applying firewall filters");
    } else {
        sendKWErrorNotification(low, std::string("Error activating firewall filters: ") + std::strerror(low));
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
