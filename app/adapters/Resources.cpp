#include "Resources.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <map>
#include <memory>

namespace kw::app {

namespace {

QByteArray readResource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// Parsed resources are kept for the life of the process; workers may read them too.
QMutex& cacheMutex()
{
    static QMutex mutex;
    return mutex;
}

const Value& cached(const QString& path)
{
    static std::map<QString, std::unique_ptr<Value>> cache;
    QMutexLocker lock(&cacheMutex());
    auto it = cache.find(path);
    if (it == cache.end()) {
        const QByteArray bytes = readResource(path);
        auto value = std::make_unique<Value>();
        if (!bytes.isEmpty()) {
            if (auto parsed =
                    valueFromXml(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
                *value = std::move(*parsed);
            }
        }
        it = cache.emplace(path, std::move(value)).first;
    }
    return *it->second;
}

QString tablePath(const QString& table)
{
    return QStringLiteral(":/strings/%1.plist").arg(table);
}

} // namespace

QString Resources::localizedString(const QString& table, const QString& key, const QString& defaultText)
{
    const Value& strings = cached(tablePath(table));
    if (const Value* text = strings.get(key.toStdString()); text != nullptr && text->string() != nullptr) {
        return QString::fromStdString(*text->string());
    }
    return defaultText.isNull() ? key : defaultText;
}

const Value& Resources::propertyList(const QString& name)
{
    return cached(QStringLiteral(":/plists/%1.plist").arg(name));
}

QByteArray Resources::propertyListData(const QString& name, bool stringTable)
{
    return readResource(stringTable ? tablePath(name) : QStringLiteral(":/plists/%1.plist").arg(name));
}

QIcon Resources::image(const QString& name)
{
    static QHash<QString, QIcon> icons;
    auto it = icons.find(name);
    if (it == icons.end()) {
        const QString path = QStringLiteral(":/images/%1.svg").arg(name);
        it = icons.insert(name, QFile::exists(path) ? QIcon(path) : QIcon());
    }
    return *it;
}

bool Resources::hasImage(const QString& name)
{
    return QFile::exists(QStringLiteral(":/images/%1.svg").arg(name));
}

} // namespace kw::app
