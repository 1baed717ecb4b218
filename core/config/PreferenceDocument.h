#pragma once

#include "base/PlistValue.h"

#include <optional>
#include <string>

namespace kw {

// One document of the preference store: an XML property-list file per identifier under the
// system root's Library/Preferences/SystemConfiguration (the network preferences document,
// which has no identifier, is preferences.plist there). Read once when opened; commit
// replaces the whole file atomically.
class PreferenceDocument {
public:
    explicit PreferenceDocument(std::optional<std::string> identifier);

    static std::string folder();
    const std::string& path() const { return m_path; }

    Value& root() { return m_root; }
    const Value& root() const { return m_root; }

    // False with errno set when the file cannot be written. A document that could not be read
    // when it was opened is first kept aside (renamed with a time stamp) so nothing is lost.
    bool commit();

private:
    void load();

    std::string m_path;
    Value m_root;
    bool m_unreadable = false;
    bool m_validIdentifier = true;
};

} // namespace kw
