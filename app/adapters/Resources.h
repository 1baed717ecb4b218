#pragma once

#include "base/PlistValue.h"

#include <QIcon>
#include <QString>

namespace kw::app {

// The application's compiled-in resources: string tables and property lists (XML property
// lists read with the core's reader) and SVG images, all by name.
class Resources {
public:
    // The text of a key in a string table ("Authentication", "Messages", "Toolbars",
    // "FirewallLabels", "KWSecurity"); the default (or the key) when the table lacks it.
    static QString localizedString(const QString& table, const QString& key, const QString& defaultText = {});
    // A property-list resource ("KeepwallDefaults", "services", ...); none when missing.
    static const Value& propertyList(const QString& name);
    // The raw bytes of a property-list resource (for tables handed on as text).
    static QByteArray propertyListData(const QString& name, bool stringTable = false);
    // An image by name; a null icon when there is no such image.
    static QIcon image(const QString& name);
    static bool hasImage(const QString& name);
};

} // namespace kw::app
