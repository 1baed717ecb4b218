#include "UserDefaults.h"

#include "Resources.h"

#include <QHash>

namespace kw::app {

namespace {

QVariant toVariant(const Value& value);

// The defaults are in force from the first question on, registered or not.
QHash<QString, QVariant>& registered()
{
    static QHash<QString, QVariant> defaults = [] {
        QHash<QString, QVariant> fromResource;
        const Value& resource = Resources::propertyList(QStringLiteral("KeepwallDefaults"));
        if (const auto* dict = resource.dictionary()) {
            for (const auto& [key, value] : *dict) {
                fromResource.insert(QString::fromStdString(key), toVariant(value));
            }
        }
        return fromResource;
    }();
    return defaults;
}

QVariant toVariant(const Value& value)
{
    switch (value.type()) {
    case Value::Type::String:
        return QString::fromStdString(*value.string());
    case Value::Type::Integer:
        return QVariant::fromValue<qlonglong>(*value.integer());
    case Value::Type::Real:
        return *value.real();
    case Value::Type::Boolean:
        return *value.boolean();
    default:
        return {};
    }
}

} // namespace

void UserDefaults::registerDefaults()
{
    registered();
}

QSettings& UserDefaults::settings()
{
    static QSettings s;
    return s;
}

QVariant UserDefaults::value(const QString& key)
{
    const QVariant v = settings().value(key);
    return v.isValid() ? v : registered().value(key);
}

double UserDefaults::doubleValue(const QString& key)
{
    return value(key).toDouble();
}

bool UserDefaults::boolValue(const QString& key)
{
    return value(key).toBool();
}

void UserDefaults::setValue(const QString& key, const QVariant& value)
{
    settings().setValue(key, value);
}

} // namespace kw::app
