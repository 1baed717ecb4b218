#pragma once

#include <KWSecurity/Export.h>

#include <string>

namespace kw {

// The library's string table: an XML property-list dictionary of key to localized text, set
// by the application from its resources. Returns false (and keeps the old table) when the
// text is no such dictionary.
KW_SECURITY_EXPORT bool setSecurityStringTable(const std::string& xmlPropertyList);

// The localized text of the key, else the default text.
KW_SECURITY_EXPORT std::string securityLocalizedString(const std::string& key, const std::string& defaultText);

} // namespace kw
