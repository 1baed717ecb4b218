#include "KeepwallController.h"

#include "MonitorController.h"
#include "NewConfigurationController.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "adapters/UserDefaults.h"
#include "base/HostName.h"
#include "core/IPFWManager.h"
#include "widgets/MessageBox.h"
#include "windows/assistant/KeepwallAssistant.h"
#include "windows/log/LogController.h"
#include "windows/resolver/ResolverController.h"
#include "windows/settings/InterfaceEditController.h"
#include "windows/settings/SettingsController.h"
#include "windows/syntax/SyntaxChecker.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <cstdlib>

namespace kw::app {

namespace {

QPointer<KeepwallController> g_shared;

constexpr const char* kToggleItemName = "toggleAuthenticationItem";

} // namespace

KeepwallController::KeepwallController(IPFWManager& gateway, QObject* parent)
    : QObject(parent)
    , m_gateway(gateway)
{
    if (!g_shared) {
        g_shared = this;
    }
    awakeFromNib();
}

KeepwallController::~KeepwallController() = default;

KeepwallController* KeepwallController::sharedInstance()
{
    return g_shared.data();
}

void KeepwallController::awakeFromNib()
{
    UserDefaults::registerDefaults();
    // The port names are read once here and kept for the life of the process.
    serviceNameForPort(0);
}

std::optional<QString> KeepwallController::serviceNameForPort(int port)
{
    const Value& portList = Resources::propertyList(QStringLiteral("services"));
    const Value* name = portList.get(std::to_string(port));
    if (name == nullptr || name->string() == nullptr) {
        return std::nullopt;
    }
    return QString::fromStdString(*name->string());
}

void KeepwallController::applicationDidFinishLaunching()
{
    // HOST names the machine in the log lines; a value already set is kept.
    ::setenv("HOST", shortHostName().c_str(), 0);

    auto& configuration = NewConfigurationController::sharedInstance();
    installMainMenu(&configuration);
    configuration.show();

    // The other windows are made now, unshown, so that each follows the authentication state
    // from the announcement below on.
    auto& monitor = MonitorController::sharedInstance();
    installMainMenu(&monitor);
    installMainMenu(&SettingsController::sharedInstance());
    KeepwallAssistant::sharedInstance();
    auto& log = LogController::sharedInstance();
    installMainMenu(&log);
    monitor.setShowRuleNumberHandler(
        [](int ruleNumber) { LogController::sharedInstance().showRuleNumber(ruleNumber); });
    auto& syntaxChecker = SyntaxChecker::sharedInstance();
    syntaxChecker.setConfigurationController(&configuration);
    installMainMenu(&syntaxChecker);
    installMainMenu(&InterfaceEditController::sharedInstance());

    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::errorNotification, this, &KeepwallController::handleKWErrorNotification,
            Qt::UniqueConnection);
    bridge.observeDistributed(true);

    const bool authenticated = m_gateway.isAuthenticated();
    NotificationCenter::defaultCenter().post(
        { authenticated ? IPFWManager::kUserAuthenticated : IPFWManager::kUserDeauthenticated, Value("IPFWManager"),
          Value() });
}

bool KeepwallController::applicationShouldTerminate()
{
    // With unsaved changes the window asks; after "Save" has stored them it asks to quit again.
    return NewConfigurationController::sharedInstance().applicationShouldTerminate([this] { terminate(); });
}

void KeepwallController::applicationWillTerminate()
{
    m_gateway.deauthenticate();
    NotificationBridge::sharedInstance().observeDistributed(false);
}

void KeepwallController::terminate()
{
    if (m_terminated || !applicationShouldTerminate()) {
        return;
    }
    m_terminated = true;
    applicationWillTerminate();
    QCoreApplication::quit();
}

void KeepwallController::handleKWErrorNotification(const QString& message)
{
    MessageBox::critical(nullptr, QString::fromLatin1(kErrorTitle), message);
}

void KeepwallController::showMonitor()
{
    if (m_gateway.isAuthenticated()) {
        MonitorController::sharedInstance().refreshView();
    }
    auto& monitor = MonitorController::sharedInstance();
    monitor.show();
    monitor.raise();
    monitor.activateWindow();
}

void KeepwallController::showConfiguration()
{
    auto& window = NewConfigurationController::sharedInstance();
    window.show();
    window.raise();
    window.activateWindow();
}

void KeepwallController::showLogWindow()
{
    LogController::sharedInstance().showWindow();
}

void KeepwallController::showStoredSettings()
{
    SettingsController::sharedInstance().showWindow();
}

void KeepwallController::showInterfaces()
{
    InterfaceEditController::sharedInstance().showWindow();
}
void KeepwallController::showResolverWindow()
{
    auto& window = ResolverController::sharedInstance();
    window.show();
    window.raise();
    window.activateWindow();
}

void KeepwallController::toggleAuthentication(IPFWManager& gateway)
{
    if (gateway.isAuthenticated()) {
        gateway.deauthenticate();
    } else {
        gateway.authenticate();
    }
}

void KeepwallController::toggleAuthentication()
{
    toggleAuthentication(m_gateway);
}

void KeepwallController::validateMenuItem(QAction* item)
{
    if (item != nullptr && item->objectName() == QLatin1String(kToggleItemName)) {
        item->setText(QString::fromUtf8(m_gateway.isAuthenticated() ? kDisallowChanges : kAllowChanges));
        item->setEnabled(true);
    }
}

QAction* KeepwallController::toggleAuthenticationItem(QMainWindow* window) const
{
    return window->findChild<QAction*>(QString::fromLatin1(kToggleItemName));
}

void KeepwallController::installMainMenu(QMainWindow* window)
{
    if (QAction* existing = toggleAuthenticationItem(window)) {
        // A menu made by an earlier delegate serves this one.
        connect(existing, &QAction::triggered, this, qOverload<>(&KeepwallController::toggleAuthentication),
                Qt::UniqueConnection);
        return;
    }
    QMenuBar* bar = window->menuBar();
    QMenu* app = new QMenu(tr("&Keepwall"), bar);
    bar->insertMenu(bar->actions().value(0), app);
    QAction* toggle =
        app->addAction(QString::fromUtf8(kAllowChanges), this, qOverload<>(&KeepwallController::toggleAuthentication));
    toggle->setObjectName(QString::fromLatin1(kToggleItemName));
    toggle->setShortcut(QKeySequence(QStringLiteral("Ctrl+L")));
    toggle->setParent(window);
    app->addSeparator();
    QAction* quit = app->addAction(tr("&Quit Keepwall"), this, &KeepwallController::terminate);
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(app, &QMenu::aboutToShow, this, [this, toggle] { validateMenuItem(toggle); });

    QMenu* windows = new QMenu(tr("&Window"), bar);
    bar->addMenu(windows);
    windows->addAction(tr("Configuration"), this, &KeepwallController::showConfiguration);
    windows->addAction(tr("Firewall Monitor"), QKeySequence(QStringLiteral("Ctrl+M")), this,
                       &KeepwallController::showMonitor);
    const struct {
        QString title;
        const char* keys;
        const char* name;
        void (KeepwallController::*slot)();
    } items[] = {
        { tr("Firewall Log"), "Ctrl+Shift+G", "menuShowLogWindow", &KeepwallController::showLogWindow },
        { tr("Stored Settings"), "Ctrl+Shift+S", "menuShowStoredSettings", &KeepwallController::showStoredSettings },
        { tr("Interfaces"), "Ctrl+Shift+I", "menuShowInterfaces", &KeepwallController::showInterfaces },
    };
    for (const auto& item : items) {
        QAction* action = windows->addAction(item.title, QKeySequence(QString::fromLatin1(item.keys)), this, item.slot);
        action->setObjectName(QString::fromLatin1(item.name));
    }
    QAction* lookup = windows->addAction(tr("Name Lookup"), QKeySequence(QStringLiteral("Ctrl+Shift+L")), this,
                                         &KeepwallController::showResolverWindow);
    lookup->setObjectName(QStringLiteral("menuShowResolverWindow"));
    validateMenuItem(toggle);
}

} // namespace kw::app
