#pragma once

#include "base/DistributedNotificationCenter.h"
#include "base/NotificationCenter.h"

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace kw::app {

// Turns the core's notifications into Qt signals on the GUI thread: the in-process
// authentication notifications (posted by the gateway on whatever thread it runs) and the
// distributed ones of the system root (a socket notifier on the observer's descriptor).
class NotificationBridge : public QObject {
    Q_OBJECT
public:
    static NotificationBridge& sharedInstance();

    explicit NotificationBridge(QObject* parent = nullptr);
    ~NotificationBridge() override;

    // Starts or stops listening to the system root's distributed notifications.
    void observeDistributed(bool on);
    bool observingDistributed() const { return m_observer != nullptr; }

signals:
    void userAuthenticated();
    void userDeauthenticated();
    void distributedNotification(const QString& name, const QString& object);
    void errorNotification(const QString& message);
    void settingsChanged();
    void logItemsChanged();

private:
    void readDistributed();
    void deliver(const QString& name, const QString& object);

    std::unique_ptr<ScopedObserver> m_authenticated;
    std::unique_ptr<ScopedObserver> m_deauthenticated;
    std::unique_ptr<DistributedObserver> m_observer;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace kw::app
