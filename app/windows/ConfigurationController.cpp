#include "ConfigurationController.h"

#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "config/KeepwallPrefs.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace kw::app {

namespace {
QPointer<ConfigurationController> g_shared;
}

ConfigurationController& ConfigurationController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new ConfigurationController();
    }
    return *g_shared;
}

void ConfigurationController::releaseSharedInstance()
{
    delete g_shared.data();
}

ConfigurationController::ConfigurationController(QWidget* parent)
    : QMainWindow(parent)
    , m_settingLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("ConfigurationController"));
    setWindowTitle(tr("Keepwall"));
    setWindowIcon(Resources::image(QStringLiteral("keepwall")));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* icon = new QLabel(central);
    icon->setPixmap(Resources::image(QStringLiteral("keepwall")).pixmap(96, 96));
    icon->setAlignment(Qt::AlignCenter);
    m_settingLabel->setObjectName(QStringLiteral("settingLabel"));
    m_settingLabel->setAlignment(Qt::AlignCenter);
    auto* monitor = new QPushButton(tr("Show Firewall Monitor"), central);
    monitor->setObjectName(QStringLiteral("showMonitorButton"));
    connect(monitor, &QPushButton::clicked, this, &ConfigurationController::showMonitorRequested);
    layout->addStretch();
    layout->addWidget(icon);
    layout->addWidget(m_settingLabel);
    layout->addWidget(monitor, 0, Qt::AlignCenter);
    layout->addStretch();
    setCentralWidget(central);
    resize(420, 300);
    connect(&NotificationBridge::sharedInstance(), &NotificationBridge::settingsChanged, this,
            &ConfigurationController::reload);
    reload();
}

void ConfigurationController::reload()
{
    KeepwallPrefs prefs;
    const auto current = prefs.currentSettingsKey();
    m_settingLabel->setText(!current ? tr("No firewall setting is stored yet.")
                                     : tr("Current setting: %1").arg(QString::fromStdString(*current)));
}

bool ConfigurationController::applicationShouldTerminate()
{
    return true;
}

} // namespace kw::app
