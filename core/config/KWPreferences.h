#pragma once

#include "PreferenceDocument.h"
#include "base/PlistValue.h"

#include <memory>
#include <optional>
#include <string>

namespace kw {

// A handle on one document of the preference store. Changes stay in the handle until
// commitChanges(); the tool then always calls applyChanges().
class KWPreferences {
public:
    // An identifier of none opens the system's network preferences document.
    static std::unique_ptr<KWPreferences> preferencesWithPrefsID(std::optional<std::string> prefsID);
    explicit KWPreferences(std::optional<std::string> prefsID);
    virtual ~KWPreferences() = default;
    KWPreferences(const KWPreferences&) = delete;
    KWPreferences& operator=(const KWPreferences&) = delete;

    // The value for a top-level key, or nullptr. The pointer stays valid until the next change.
    const Value* valueForKey(const std::string& key);
    // The value at a "/"-separated path of dictionary keys, or nullptr.
    const Value* valueForPath(const std::string& path) const;
    // Sets the key, or removes it when value is nullptr.
    void takeValue(const Value* value, const std::string& key);
    void takeValue(const Value& value, const std::string& key) { takeValue(&value, key); }

    // Before a change that is based on what the document holds: waits until no other command
    // is changing it and reads it afresh (see PreferenceDocument::lockForChange).
    bool lockForChange() { return m_prefs.lockForChange(); }

    bool commitChanges();
    bool applyChanges();

    void setUseDefaultsIfNotFound(bool use) { m_useDefaultsIfNotFound = use; }
    bool useDefaultsIfNotFound() const { return m_useDefaultsIfNotFound; }

    const Value& document() const { return m_prefs.root(); }

protected:
    PreferenceDocument m_prefs;
    bool m_useDefaultsIfNotFound = false;
    bool m_committed = false;
};

} // namespace kw
