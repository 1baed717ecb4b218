#include "NotificationBridge.h"

#include "config/SettingsKeys.h"
#include "core/IPFWManager.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

#include <chrono>

namespace kw::app {

NotificationBridge& NotificationBridge::sharedInstance()
{
    static NotificationBridge* shared = new NotificationBridge(QCoreApplication::instance());
    return *shared;
}

NotificationBridge::NotificationBridge(QObject* parent)
    : QObject(parent)
{
    auto& center = NotificationCenter::defaultCenter();
    // Posts may come from a worker thread: the signal is emitted on this object's thread.
    QPointer<NotificationBridge> self(this);
    m_authenticated =
        std::make_unique<ScopedObserver>(center, IPFWManager::kUserAuthenticated, [self](const Notification&) {
            if (self) {
                QMetaObject::invokeMethod(self, &NotificationBridge::userAuthenticated, Qt::AutoConnection);
            }
        });
    m_deauthenticated =
        std::make_unique<ScopedObserver>(center, IPFWManager::kUserDeauthenticated, [self](const Notification&) {
            if (self) {
                QMetaObject::invokeMethod(self, &NotificationBridge::userDeauthenticated, Qt::AutoConnection);
            }
        });
}

NotificationBridge::~NotificationBridge()
{
    m_authenticated.reset();
    m_deauthenticated.reset();
    observeDistributed(false);
}

void NotificationBridge::observeDistributed(bool on)
{
    if (!on) {
        delete m_notifier;
        m_notifier = nullptr;
        m_observer.reset();
        return;
    }
    if (m_observer) {
        return;
    }
    auto observer = std::make_unique<DistributedObserver>();
    if (!observer->isValid()) {
        return;
    }
    m_observer = std::move(observer);
    m_notifier = new QSocketNotifier(m_observer->fileDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &NotificationBridge::readDistributed);
}

void NotificationBridge::readDistributed()
{
    while (m_observer) {
        auto notification = m_observer->receive(std::chrono::milliseconds(0));
        if (!notification) {
            break;
        }
        deliver(QString::fromStdString(notification->name), QString::fromStdString(notification->object));
    }
}

void NotificationBridge::deliver(const QString& name, const QString& object)
{
    emit distributedNotification(name, object);
    if (name == QLatin1String(notifications::kDistributedError)) {
        emit errorNotification(object);
    } else if (name == QLatin1String(notifications::kSettingsChanged)) {
        emit settingsChanged();
    } else if (name == QLatin1String(notifications::kLogItemsChanged)) {
        emit logItemsChanged();
    }
}

} // namespace kw::app
