#pragma once

#include "base/PlistValue.h"

#include <optional>
#include <string>

namespace kw {

// One document of the preference store: an XML property-list file per identifier under the
// system root's Library/Preferences/SystemConfiguration (the network preferences document,
// which has no identifier, is preferences.plist there). Read once when opened; commit
// replaces the whole file atomically. Writers serialise on a lock file beside the document
// ("<identifier>.plist.lock"), so that a change is never based on a document that another
// commit has replaced meanwhile.
class PreferenceDocument {
public:
    explicit PreferenceDocument(std::optional<std::string> identifier);
    ~PreferenceDocument();
    PreferenceDocument(const PreferenceDocument&) = delete;
    PreferenceDocument& operator=(const PreferenceDocument&) = delete;

    static std::string folder();
    const std::string& path() const { return m_path; }

    Value& root() { return m_root; }
    const Value& root() const { return m_root; }

    // False with errno set when the file cannot be written. A document that could not be read
    // when it was opened is first kept aside (renamed with a time stamp) so nothing is lost.
    // The document is never written with text XML cannot hold (false, errno EILSEQ, and a log
    // line naming the key). Takes the lock when lockForChange has not.
    bool commit();

    // Waits for the document's lock, then reads the document afresh: changes made from here
    // on are based on the newest committed document, and no other writer commits before this
    // one does. The lock is held until the object ends. False (errno set) when the lock cannot
    // be had; the document is then read as before.
    bool lockForChange();

private:
    void load();
    bool lock();

    std::string m_path;
    Value m_root;
    bool m_unreadable = false;
    bool m_validIdentifier = true;
    int m_lockFd = -1;
};

} // namespace kw
