#include "NewConfigurationController.h"

#include "KeepwallController.h"
#include "NatConfigController.h"
#include "QuickTabController.h"
#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "adapters/UserDefaults.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "core/IPFWManager.h"
#include "lint/RuleLint.h"
#include "rules/ConfigurationText.h"
#include "ui_NewConfigurationController.h"
#include "widgets/LockPattern.h"
#include "widgets/MessageBox.h"
#include "widgets/ToolbarCustomizer.h"
#include "widgets/ViewExtensions.h"
#include "windows/assistant/KeepwallAssistant.h"
#include "windows/insight/InsightHooks.h"
#include "windows/safety/TrialCountdownDialog.h"
#include "windows/syntax/SyntaxChecker.h"
#include "windows/syntax/SyntaxColorizer.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QFontDatabase>
#include <QMenuBar>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include <algorithm>

namespace kw::app {

using namespace kw::keys;

namespace {

QPointer<NewConfigurationController> g_shared;

constexpr const char* kSettingName = "SETTING_NAME";
constexpr const char* kConfigMode = "CONFIG_MODE";
constexpr const char* kExpertConfigEdit = "EXPERT_CONFIG_EDIT";
constexpr const char* kExpertConfigText = "EXPERT_CONFIG_TEXT";
constexpr const char* kSharingRunningTitle = "IP Sharing Running";

// The page identifiers of tabView by index.
constexpr int kPageIdentifiers[] = { 0, 2, 1 };

QString message(const char* key)
{
    return Resources::localizedString(QStringLiteral("Messages"), QString::fromLatin1(key));
}

QString toolbarText(const QString& key)
{
    return Resources::localizedString(QStringLiteral("Toolbars"), key);
}

} // namespace

NewConfigurationController& NewConfigurationController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new NewConfigurationController(IPFWManager::sharedInstance());
    }
    return *g_shared;
}

void NewConfigurationController::releaseSharedInstance()
{
    delete g_shared.data();
}

NewConfigurationController::NewConfigurationController(IPFWManager& gateway, QWidget* parent)
    : QMainWindow(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::NewConfigurationController>())
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("NewConfigurationController"));
    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &NewConfigurationController::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &NewConfigurationController::userDeauthenticated);
    connect(&bridge, &NotificationBridge::distributedNotification, this,
            [this](const QString& name, const QString& object) {
                if (name == QLatin1String(notifications::kSettingsChanged) &&
                    object == QLatin1String(notifications::kNotificationObject)) {
                    loadCurrentSettings();
                }
            });
    // The setup assistant names the interface it configured; it may post from any thread.
    QPointer<NewConfigurationController> self(this);
    m_interfaceConfigured = std::make_unique<ScopedObserver>(
        NotificationCenter::defaultCenter(), kInterfaceConfigured, [self](const Notification& notification) {
            const QString name = QString::fromStdString(notification.object.stringValue());
            if (self) {
                QMetaObject::invokeMethod(self, [self, name] {
                    if (self) {
                        self->selectInterface(name);
                    }
                });
            }
        });
    windowDidLoad();
}

NewConfigurationController::~NewConfigurationController()
{
    m_interfaceConfigured.reset();
    waitForJobs(60000);
}

void NewConfigurationController::selectInterface(const QString& interfaceName)
{
    for (int page = 0; page < m_ui->quickTabView->count(); ++page) {
        if (m_ui->quickTabView->widget(page)->property("identifier").toString() == interfaceName) {
            m_ui->quickTabView->setCurrentIndex(page);
        }
    }
}

void NewConfigurationController::windowDidLoad()
{
    setWindowIcon(Resources::image(QStringLiteral("keepwall")));
    const QVariant fraction = UserDefaults::value(QString::fromLatin1(UserDefaults::kExpertSplitViewPos));
    m_ui->expertSplitView->setSizes({ 380, 180 });
    if (fraction.isValid()) {
        setSplitFraction(*m_ui->expertSplitView, fraction.toDouble());
    }
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_ui->expertText->setFont(fixed);
    m_ui->natdExpertText->setFont(fixed);
    SyntaxColorizer::sharedInstance().colorizeTextView(m_ui->expertText);
    createToolbar();
    connect(m_ui->tabView, &QTabWidget::currentChanged, this, &NewConfigurationController::validateToolbar);
    connect(m_ui->allowExpertEditing, &QCheckBox::clicked, this, &NewConfigurationController::toggleExpertEditing);
    connect(m_ui->expertText, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_loading && !m_ui->expertText->isReadOnly()) {
            markEdited();
        }
    });
    connect(m_ui->natdExpertText, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_loading && !m_ui->natdExpertText->isReadOnly()) {
            markEdited();
        }
    });
    connect(m_ui->lockButton, &QToolButton::clicked, this,
            [this] { KeepwallController::toggleAuthentication(m_gateway); });
    if (!restoreWindowFrame(*this, QStringLiteral("ConfigurationController"))) {
        resize(880, 660);
    }
    // A window made after the launch's announcement starts from the state as it is.
    if (m_gateway.isAuthenticated()) {
        userAuthenticated();
    } else {
        userDeauthenticated();
    }
    // The assistant runs by itself on the first launch, and whenever there is no setting to show.
    const bool firstRunDone = UserDefaults::boolValue(QString::fromLatin1(UserDefaults::kAssistantFirstRun));
    const bool loaded = firstRunDone && loadCurrentSettings();
    if (KeepwallAssistant::shouldRunAtLaunch(loaded)) {
        QTimer::singleShot(0, this, &NewConfigurationController::runSetupAssistant);
    }
}

KeepwallAssistant& NewConfigurationController::assistant()
{
    if (m_assistant == nullptr) {
        m_assistant =
            g_shared == this ? &KeepwallAssistant::sharedInstance() : new KeepwallAssistant(m_gateway, this, this);
    }
    return *m_assistant;
}

void NewConfigurationController::runSetupAssistant()
{
    KeepwallAssistant::runFromConfigurationWindow(*this, assistant());
}

void NewConfigurationController::createToolbar()
{
    struct Item {
        const char* identifier;
        const char* stem;
        const char* image;
        void (NewConfigurationController::*action)();
        void (KeepwallController::*delegateAction)();
    };
    const Item items[] = {
        { "saveSettings", "Save", "Disk", &NewConfigurationController::saveSettings, nullptr },
        { "runSetupAssistant", "Assistant", "AssistantDoc", &NewConfigurationController::runSetupAssistant, nullptr },
        { "showQuickSettings", "Quick", "globe", &NewConfigurationController::showQuickSettings, nullptr },
        { "showIPSharingSettings", "IPSharing", "globe", &NewConfigurationController::showIPSharingSettings, nullptr },
        { "showExpertSettings", "Expert", "compose", &NewConfigurationController::showExpertSettings, nullptr },
        { "showMonitor", "Monitor", "monitor", nullptr, &KeepwallController::showMonitor },
        { "showStoredSettings", "Settings", "processes", nullptr, &KeepwallController::showStoredSettings },
        { "showLogWindow", "Log", "HistoryPreferences", nullptr, &KeepwallController::showLogWindow },
        { "applySettings", "Activate", "Keepwall", &NewConfigurationController::applySettings, nullptr },
        { "saveToStartupFile", "Install", "install", &NewConfigurationController::saveToStartupFile, nullptr },
        { "removeStartupFile", "Remove", "recycle", &NewConfigurationController::removeStartupFile, nullptr },
        { "revertSettings", "Import", "Internet", &NewConfigurationController::revertSettings, nullptr },
        { "clearAllRules", "Clear", "clean", &NewConfigurationController::clearAllRules, nullptr },
    };
    m_toolbar = new QToolBar(toolbarText(QStringLiteral("ConfigurationToolbar")), this);
    m_toolbar->setObjectName(QString::fromLatin1(kToolbarIdentifier));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->setIconSize(QSize(32, 32));
    for (const Item& item : items) {
        const QString stem = QString::fromLatin1(item.stem);
        auto* action =
            new QAction(Resources::image(QString::fromLatin1(item.image)), toolbarText(stem + "Label"), this);
        action->setObjectName(QString::fromLatin1(item.identifier));
        action->setToolTip(toolbarText(stem + "ToolTip"));
        action->setProperty("paletteLabel", toolbarText(stem + "PaletteLabel"));
        if (item.action != nullptr) {
            connect(action, &QAction::triggered, this, item.action);
        } else {
            connect(action, &QAction::triggered, this, [delegateAction = item.delegateAction] {
                if (KeepwallController* delegate = KeepwallController::sharedInstance()) {
                    (delegate->*delegateAction)();
                }
            });
        }
        m_toolbarItems.insert(QString::fromLatin1(item.identifier), action);
    }
    // Apply with undo: the setting is tried and put back unless the user keeps it in time.
    auto* applyWithUndo = new QAction(Resources::image(QStringLiteral("Keepwall")), tr("Apply with Undo"), this);
    applyWithUndo->setObjectName(QStringLiteral("applySettingsWithUndo"));
    applyWithUndo->setToolTip(tr("Activate the setting, and put the previous rules back unless you keep the new "
                                 "ones within %1 seconds")
                                  .arg(TrialCountdownDialog::kDefaultSeconds));
    applyWithUndo->setProperty("paletteLabel", tr("Apply with Undo"));
    connect(applyWithUndo, &QAction::triggered, this, &NewConfigurationController::applySettingsWithUndo);
    m_toolbarItems.insert(QStringLiteral("applySettingsWithUndo"), applyWithUndo);
    // The default items, with their spaces; the others may be added from the toolbar's menu.
    QList<QPair<QString, QAction*>> allowed;
    for (const Item& item : items) {
        allowed.append(
            { QString::fromLatin1(item.identifier), m_toolbarItems.value(QString::fromLatin1(item.identifier)) });
    }
    allowed.append({ QStringLiteral("applySettingsWithUndo"), applyWithUndo });
    const QString space = QString::fromLatin1(ToolbarCustomizer::kSpace);
    new ToolbarCustomizer(m_toolbar, QString::fromLatin1(kToolbarIdentifier), allowed,
                          { QStringLiteral("saveSettings"), QStringLiteral("runSetupAssistant"), space,
                            QStringLiteral("showQuickSettings"), QStringLiteral("showIPSharingSettings"),
                            QStringLiteral("showExpertSettings"), space, QStringLiteral("showMonitor"),
                            QStringLiteral("showStoredSettings"), QStringLiteral("showLogWindow"),
                            QString::fromLatin1(ToolbarCustomizer::kFlexibleSpace), QStringLiteral("applySettings"),
                            QStringLiteral("applySettingsWithUndo"), QStringLiteral("saveToStartupFile") });
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    QMenu* firewall = menuBar()->addMenu(tr("&Firewall"));
    QAction* save = firewall->addAction(m_toolbarItems.value(QStringLiteral("saveSettings"))->text(), this,
                                        &NewConfigurationController::saveSettings);
    save->setShortcut(QKeySequence::Save);
    save->setObjectName(QStringLiteral("menuSaveSettings"));
    QAction* assistantItem =
        firewall->addAction(tr("Setup Assistant…"), this, &NewConfigurationController::runSetupAssistant);
    assistantItem->setObjectName(QStringLiteral("menuRunSetupAssistant"));
    assistantItem->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+A")));
    firewall->addSeparator();
    for (const char* id :
         { "applySettings", "saveToStartupFile", "removeStartupFile", "revertSettings", "clearAllRules" }) {
        firewall->addAction(m_toolbarItems.value(QString::fromLatin1(id)));
        m_authorizedMenuItems << m_toolbarItems.value(QString::fromLatin1(id));
    }
    firewall->insertAction(m_toolbarItems.value(QStringLiteral("saveToStartupFile")), applyWithUndo);
    m_authorizedMenuItems << applyWithUndo;
    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    QAction* addItem = edit->addAction(tr("Add Filter…"), this, [this] {
        const int page = m_ui->quickTabView->currentIndex();
        if (page >= 0 && page < static_cast<int>(m_tabViewControllers.size())) {
            m_ui->tabView->setCurrentIndex(kQuickPage);
            m_tabViewControllers[static_cast<std::size_t>(page)]->addRule();
        }
    });
    addItem->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    addItem->setObjectName(QStringLiteral("menuAddFilter"));
    QAction* copyItem = edit->addAction(tr("Copy Filters"), this, &NewConfigurationController::copy);
    copyItem->setShortcut(QKeySequence::Copy);
    QAction* pasteItem = edit->addAction(tr("Paste Filters"), this, &NewConfigurationController::paste);
    pasteItem->setShortcut(QKeySequence::Paste);
    m_authorizedMenuItems << addItem << copyItem << pasteItem;
    QMenu* view = menuBar()->addMenu(tr("&View"));
    const std::pair<const char*, const char*> pages[] = { { "showQuickSettings", "Ctrl+1" },
                                                          { "showExpertSettings", "Ctrl+2" },
                                                          { "showIPSharingSettings", "Ctrl+3" } };
    for (const auto& [id, keys] : pages) {
        QAction* item = m_toolbarItems.value(QString::fromLatin1(id));
        item->setShortcut(QKeySequence(QString::fromLatin1(keys)));
        view->addAction(item);
    }
    view->addSeparator();
    QAction* checkSyntax = view->addAction(tr("Check Syntax…"), this, &NewConfigurationController::showSyntaxChecker);
    checkSyntax->setShortcut(QKeySequence(QStringLiteral("Ctrl+K")));
    checkSyntax->setObjectName(QStringLiteral("menuShowSyntaxChecker"));
    QAction* testPacket =
        view->addAction(tr("Test a Packet…"), this, [this] { openPacketTesterFromConfiguration(*this); });
    testPacket->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+T")));
    testPacket->setObjectName(QStringLiteral("menuTestPacket"));
    connect(firewall, &QMenu::aboutToShow, this, [this, save] { save->setEnabled(isEdited() && m_isAuthorized); });
    validateToolbar();
}

void NewConfigurationController::validateToolbar()
{
    const int page = kPageIdentifiers[std::clamp(m_ui->tabView->currentIndex(), 0, 2)];
    m_toolbarItems.value(QStringLiteral("saveSettings"))->setEnabled(isEdited() && m_isAuthorized);
    m_toolbarItems.value(QStringLiteral("showQuickSettings"))->setEnabled(page != 0);
    m_toolbarItems.value(QStringLiteral("showIPSharingSettings"))->setEnabled(page != 1);
    m_toolbarItems.value(QStringLiteral("showExpertSettings"))->setEnabled(page != 2);
    for (QAction* item : m_authorizedMenuItems) {
        item->setEnabled(m_isAuthorized);
    }
}

int NewConfigurationController::selectedPage() const
{
    return kPageIdentifiers[std::clamp(m_ui->tabView->currentIndex(), 0, 2)];
}

QString NewConfigurationController::expertText() const
{
    return m_ui->expertText->toPlainText();
}

QString NewConfigurationController::natdExpertText() const
{
    return m_ui->natdExpertText->toPlainText();
}

bool NewConfigurationController::loadCurrentSettings()
{
    KeepwallPrefs prefs;
    const auto key = prefs.currentSettingsKey();
    if (!key) {
        return false;
    }
    loadSetting(*key, prefs);
    return true;
}

void NewConfigurationController::setPageTitle(const char* format)
{
    setWindowTitle(QString::fromLatin1(format).arg(m_settingName) + QStringLiteral("[*]"));
}

void NewConfigurationController::loadSettingsForKey(const std::string& key)
{
    loadSetting(key, KeepwallPrefs());
}

void NewConfigurationController::loadSetting(const std::string& key, const KeepwallPrefs& prefs)
{
    const Value* found = prefs.settingForKey(key);
    const Value setting = found != nullptr ? *found : Value(Value::Dictionary {});
    m_loading = true;
    m_settingName = QString::fromStdString(stringValueOf(setting.get(kSettingName)));
    m_settingKey = key;
    buildTabViewsForSettings(setting);
    if (const Value* mode = setting.get(kConfigMode)) {
        const std::int64_t id = mode->integerValue();
        for (int index = 0; index < 3; ++index) {
            if (kPageIdentifiers[index] == id) {
                m_ui->tabView->setCurrentIndex(index);
            }
        }
        if (id == 0) {
            setPageTitle("Quick Configuration: %1");
        } else if (id == 2) {
            setPageTitle("Expert Configuration: %1");
        }
    }
    m_ui->expertText->setPlainText(QString::fromStdString(stringValueOf(setting.get(kExpertConfigText))));
    m_ui->natdExpertText->setPlainText(QString::fromStdString(stringValueOf(setting.get(kNatdExpertText))));
    m_ui->allowExpertEditing->setChecked(integerValueOf(setting.get(kExpertConfigEdit)) > 0);
    const Value::Array* interfaces =
        setting.get(kInterfaceList) != nullptr ? setting.get(kInterfaceList)->array() : nullptr;
    for (std::size_t i = 0; i < m_tabViewControllers.size(); ++i) {
        const QString identifier = m_ui->quickTabView->widget(static_cast<int>(i))->property("identifier").toString();
        if (interfaces != nullptr) {
            for (const Value& interface : *interfaces) {
                if (QString::fromStdString(stringValueOf(interface.get(kInterfaceName))) == identifier) {
                    m_tabViewControllers[i]->readSettings(interface);
                    break;
                }
            }
        }
    }
    static const Value kNone;
    m_natController->readSettings(setting.get(kNatConfig) != nullptr ? *setting.get(kNatConfig) : kNone,
                                  interfaces != nullptr ? *interfaces : Value::Array {});
    m_loading = false;
    setWindowModified(false);
    validateToolbar();
}

void NewConfigurationController::buildTabViewsForSettings(const Value& setting)
{
    for (QuickTabController* panel : m_tabViewControllers) {
        panel->deleteLater();
    }
    m_tabViewControllers.clear();
    while (m_ui->quickTabView->count() > 0) {
        m_ui->quickTabView->removeTab(0);
    }
    int firstEnabled = -1;
    if (const Value* list = setting.get(kInterfaceList); list != nullptr && list->array() != nullptr) {
        for (const Value& interface : *list->array()) {
            auto* panel = new QuickTabController(m_gateway);
            panel->setProperty("identifier", QString::fromStdString(stringValueOf(interface.get(kInterfaceName))));
            const int index = m_ui->quickTabView->addTab(
                panel, QString::fromStdString(stringValueOf(interface.get(kInterfaceLabel))));
            connect(panel, &QuickTabController::quickConfigValueChanged, this, &NewConfigurationController::markEdited);
            if (m_isAuthorized) {
                panel->enableControls();
            }
            m_tabViewControllers.push_back(panel);
            if (firstEnabled < 0 && integerValueOf(interface.get(kEnableFirewall)) > 0) {
                firstEnabled = index;
            }
        }
    }
    if (m_natController != nullptr) {
        m_natController->deleteLater();
    }
    m_natController = new NatConfigController(m_gateway);
    m_ui->sharingPage->layout()->addWidget(m_natController);
    connect(m_natController, &NatConfigController::quickConfigValueChanged, this,
            &NewConfigurationController::markEdited);
    if (m_isAuthorized) {
        m_natController->userWasAuthenticated();
    } else {
        m_natController->userWasDeauthenticated();
    }
    if (firstEnabled >= 0) {
        m_ui->quickTabView->setCurrentIndex(firstEnabled);
    }
}

Value NewConfigurationController::settingFromPages() const
{
    Value setting(Value::Dictionary {});
    setting.set(kConfigMode, Value(selectedPage() == 2 ? "2" : "0"));
    setting.set(kSettingName, Value(m_settingName.toStdString()));
    setting.set(kExpertConfigEdit, Value::integer(m_ui->allowExpertEditing->isChecked() ? 1 : 0));
    setting.set(kExpertConfigText, Value(m_ui->expertText->toPlainText().toStdString()));
    setting.set(kNatdExpertText, Value(m_ui->natdExpertText->toPlainText().toStdString()));
    Value::Array interfaces;
    for (const QuickTabController* panel : m_tabViewControllers) {
        interfaces.push_back(panel->firewallOptions());
    }
    setting.set(kInterfaceList, Value(std::move(interfaces)));
    if (m_natController != nullptr) {
        setting.set(kNatConfig, m_natController->flushSettings());
    }
    return setting;
}

Value NewConfigurationController::documentToStore() const
{
    // The stored settings with this one replaced whole, made current by the same store.
    KeepwallPrefs prefs;
    Value::Dictionary stored = prefs.storedSettings();
    stored[m_settingKey] = settingFromPages();
    Value document(Value::Dictionary {});
    document.set(kStoredSettings, Value(std::move(stored)));
    document.set(kCurrentSetting, Value(m_settingKey));
    return document;
}

void NewConfigurationController::runJob(std::function<void(IPFWManager&)> work, std::function<void(bool failed)> after)
{
    m_jobs.run(std::move(work), std::move(after));
}

bool NewConfigurationController::waitForJobs(int milliseconds)
{
    return m_jobs.wait(milliseconds);
}

void NewConfigurationController::flushSettings(std::function<void(bool stored)> done)
{
    // The document is made here, on the GUI thread; the job only hands it to the tool.
    Value document = documentToStore();
    if (!m_gateway.authenticate()) {
        // Nothing was stored: the window keeps its edits and its edited mark.
        logLine("ERROR: Configuration not stored");
        if (done) {
            done(false);
        }
        return;
    }
    auto storedFlag = std::make_shared<bool>(false);
    runJob([document = std::move(document),
            storedFlag](IPFWManager& gateway) { *storedFlag = gateway.storeConfiguration(document); },
           [this, storedFlag, done = std::move(done)](bool failed) {
               const bool ok = *storedFlag && !failed;
               logLine(ok ? "Configuration stored" : "ERROR: Configuration not stored");
               if (ok) {
                   setWindowModified(false);
                   validateToolbar();
               }
               if (done) {
                   done(ok);
               }
           });
}

void NewConfigurationController::saveSettings()
{
    const bool fromUser = sender() != nullptr;
    flushSettings([this, fromUser](bool stored) {
        if (!stored || !fromUser || selectedPage() == 2) {
            return;
        }
        const auto answer = MessageBox::ask(
            this, QMessageBox::Information, message("ChooseApplyToActivate"), message("MustClickApply"),
            { { QMessageBox::Yes, message("ActivateNow") }, { QMessageBox::No, message("ActivateLater") } });
        if (answer == QMessageBox::Yes && confirmLockoutWarnings()) {
            storeAndApply(false, true);
        }
    });
}

void NewConfigurationController::storeAndApply(bool store, bool apply)
{
    if (!m_gateway.authenticate()) {
        return;
    }
    if (m_progPanel == nullptr) {
        m_progPanel = new QProgressDialog(tr("Activating the firewall rules…"), QString(), 0, 0, this);
        m_progPanel->setWindowModality(Qt::WindowModal);
        m_progPanel->setMinimumDuration(0);
        m_progPanel->setCancelButton(nullptr);
        m_progPanel->setAutoReset(false);
        m_progPanel->setAutoClose(false);
    }
    m_progPanel->show();
    std::optional<Value> document;
    if (store) {
        document = documentToStore();
    }
    auto stored = std::make_shared<bool>(false);
    runJob(
        [document, stored, apply](IPFWManager& gateway) {
            if (document) {
                *stored = gateway.storeConfiguration(*document);
            }
            if (apply) {
                gateway.applyCurrentSetting();
            }
        },
        [this, stored, store](bool failed) {
            m_progPanel->hide();
            if (store && *stored && !failed) {
                setWindowModified(false);
                validateToolbar();
            }
        });
}

void NewConfigurationController::applySettings()
{
    if (!confirmLockoutWarnings()) {
        return;
    }
    // From the toolbar or menu the edited setting is stored first; after "Activate Now" it
    // already was.
    storeAndApply(sender() != nullptr && qobject_cast<QAction*>(sender()) != nullptr, true);
}

void NewConfigurationController::saveToStartupFile()
{
    if (selectedPage() == 0) {
        generateExpertTextFromQuick();
        generateNatdTextFromQuick();
    }
    if (m_gateway.authenticate()) {
        runJob([](IPFWManager& gateway) { gateway.installStartupItem(); }, {});
    }
}

void NewConfigurationController::removeStartupFile()
{
    if (m_gateway.authenticate()) {
        runJob([](IPFWManager& gateway) { gateway.uninstallStartupItem(); }, {});
    }
}

void NewConfigurationController::showIPSharingRunning(const QString& text)
{
    MessageBox::ask(this, QMessageBox::Warning, QString::fromLatin1(kSharingRunningTitle), text,
                    { { QMessageBox::Ok, tr("OK") } });
    m_ui->tabView->setCurrentIndex(kSharingPage);
}

void NewConfigurationController::clearAllRules()
{
    if (m_gateway.natdIsRunning()) {
        showIPSharingRunning(QStringLiteral("You cannot  clear the firewall rules while IP Sharing is running.\n"
                                            "Please stop IP Sharing first."));
        return;
    }
    if (m_gateway.authenticate()) {
        runJob([](IPFWManager& gateway) { gateway.runIPFWTask({ "-q", "flush" }, false); }, {});
    }
}

void NewConfigurationController::revertSettings()
{
    if (!m_gateway.authenticate()) {
        return;
    }
    auto listing = std::make_shared<std::optional<std::string>>();
    runJob([listing](IPFWManager& gateway) { *listing = gateway.runIPFWTask({ "list" }, true); },
           [this, listing](bool) {
               if (!*listing) {
                   return;
               }
               QString text;
               for (const QString& line : QString::fromStdString(**listing).split(QLatin1Char('\n'))) {
                   if (line.startsWith(QLatin1Char('#'))) {
                       break;
                   }
                   if (line.size() <= 3) {
                       continue;
                   }
                   text += QStringLiteral("add ") + line + QLatin1Char('\n');
               }
               // Importing is not an edit of the user's: the edited mark stays as it was.
               showTextKeepingMark(m_ui->expertText, text);
           });
}

void NewConfigurationController::generateExpertTextFromQuick()
{
    showTextKeepingMark(m_ui->expertText, QString::fromStdString(expertTextFromQuick()));
}

std::string NewConfigurationController::expertTextFromQuick()
{
    const auto comment = [](std::string& text, const char* title) {
        text += "\n#################################################\n# ";
        text += title;
        text += "\n#################################################\n";
    };
    std::string text;
    comment(text, "Allow Loopback");
    text += "add 1000 allow ip from any to any via lo*\n";
    if (KWRunningOnJaguar) {
        comment(text, "Check Dynamic Rules Table");
        text += "add 1003 check-state\n";
    }
    comment(text, "Allow packets from existing connections");
    if (!KWRunningOnJaguar) {
        text += "add 1004 allow tcp from any to any established\n";
    }
    text += "add 1005 allow all from any to any frag\n";
    comment(text, "Allow Essential ICMP Traffic");
    text += "add 1005 allow icmp from any to any icmptype 0,3,4,11,12,13,14\n";
    std::int64_t n = 2000;
    for (QuickTabController* panel : m_tabViewControllers) {
        if (!panel->isFirewallEnabled()) {
            continue;
        }
        // The panel reads its own controls; the dictionary only names the interface.
        Value named;
        named.set(kInterfaceName, Value(panel->property("identifier").toString().toStdString()));
        panel->appendFirewallRules(named, text, n);
        n += 1000;
    }
    return text;
}

void NewConfigurationController::generateNatdTextFromQuick()
{
    // Before any setting is loaded (an empty store) there is no IP sharing page to read.
    if (m_natController == nullptr) {
        return;
    }
    showTextKeepingMark(m_ui->natdExpertText, QString::fromStdString(m_natController->generateNatdTextFromQuick()));
}

void NewConfigurationController::showTextKeepingMark(QPlainTextEdit* view, const QString& text)
{
    const bool edited = isEdited();
    m_loading = true;
    view->setPlainText(text);
    m_loading = false;
    setWindowModified(edited);
}

void NewConfigurationController::showQuickSettings()
{
    m_ui->tabView->setCurrentIndex(kQuickPage);
    setPageTitle("Quick Configuration: %1");
}

void NewConfigurationController::showIPSharingSettings()
{
    m_ui->tabView->setCurrentIndex(kSharingPage);
    setPageTitle("IP Sharing Configuration: %1");
}

void NewConfigurationController::showExpertSettings()
{
    if (!m_ui->allowExpertEditing->isChecked()) {
        generateExpertTextFromQuick();
        generateNatdTextFromQuick();
    } else {
        const auto answer = MessageBox::ask(
            this, QMessageBox::Question, tr("Regenerate Configuration Text?"),
            QStringLiteral("Select Overwrite to regenerate expert configuration from the settings in the Quick panel.\n"
                           "Select Keep Current to make no changes."),
            { { QMessageBox::Yes, QStringLiteral("Overwrite") }, { QMessageBox::No, QStringLiteral("Keep Current") } });
        if (answer == QMessageBox::Yes) {
            generateExpertTextFromQuick();
            generateNatdTextFromQuick();
        }
    }
    m_ui->tabView->setCurrentIndex(kExpertPage);
    setPageTitle("Expert Configuration: %1");
    SyntaxColorizer::sharedInstance().colorizeTextView(m_ui->expertText);
}

void NewConfigurationController::toggleExpertEditing()
{
    const bool on = m_ui->allowExpertEditing->isChecked();
    m_ui->expertText->setReadOnly(!on);
    m_ui->natdExpertText->setReadOnly(!on);
    markEdited();
    if (SyntaxChecker* checker = SyntaxChecker::existingInstance()) {
        checker->allowExpertEditing(on);
    }
}

void NewConfigurationController::allowExpertEditing(bool allowed)
{
    m_ui->allowExpertEditing->setChecked(allowed);
    toggleExpertEditing();
}

void NewConfigurationController::showSyntaxChecker()
{
    SyntaxChecker& checker = SyntaxChecker::sharedInstance();
    checker.setConfigurationController(this);
    checker.allowExpertEditing(m_ui->allowExpertEditing->isChecked());
    checker.setTextStorage(m_ui->expertText->document());
    checker.show();
    checker.raise();
    checker.activateWindow();
    checker.checkSyntax();
}

void NewConfigurationController::copy()
{
    const int page = m_ui->quickTabView->currentIndex();
    if (page >= 0 && page < static_cast<int>(m_tabViewControllers.size())) {
        m_tabViewControllers[static_cast<std::size_t>(page)]->handleCopyAction();
    }
}

void NewConfigurationController::paste()
{
    const int page = m_ui->quickTabView->currentIndex();
    if (page >= 0 && page < static_cast<int>(m_tabViewControllers.size())) {
        m_tabViewControllers[static_cast<std::size_t>(page)]->handlePasteAction();
    }
}

void NewConfigurationController::markEdited()
{
    if (m_loading) {
        return;
    }
    setWindowModified(true);
    validateToolbar();
}

void NewConfigurationController::setOwnControlsEnabled(bool enabled)
{
    m_ui->allowExpertEditing->setEnabled(enabled);
    const bool editable = enabled && m_ui->allowExpertEditing->isChecked();
    m_ui->expertText->setReadOnly(!editable);
    m_ui->natdExpertText->setReadOnly(!editable);
}

void NewConfigurationController::userAuthenticated()
{
    showLockState(true, m_ui->lockButton, m_ui->lockLabel, { "ClickToAllow", "ClickToDisallow" }, {});
    for (QuickTabController* panel : m_tabViewControllers) {
        panel->enableControls();
    }
    if (m_natController != nullptr) {
        m_natController->userWasAuthenticated();
    }
    m_isAuthorized = true;
    setOwnControlsEnabled(true);
    validateToolbar();
}

void NewConfigurationController::userDeauthenticated()
{
    showLockState(false, m_ui->lockButton, m_ui->lockLabel, { "ClickToAllow", "ClickToDisallow" }, {});
    for (QuickTabController* panel : m_tabViewControllers) {
        panel->disableControls();
    }
    if (m_natController != nullptr) {
        m_natController->userWasDeauthenticated();
    }
    m_isAuthorized = false;
    setOwnControlsEnabled(false);
    validateToolbar();
}

bool NewConfigurationController::applicationShouldTerminate(std::function<void()> continueTermination)
{
    if (!isEdited()) {
        return true;
    }
    const auto answer = MessageBox::ask(this, QMessageBox::Warning, tr("Save changes"),
                                        tr("Save changes to '%1' setting?").arg(m_settingName),
                                        { { QMessageBox::Save, tr("Save") },
                                          { QMessageBox::Discard, tr("Discard") },
                                          { QMessageBox::Cancel, tr("Cancel") } });
    if (answer == QMessageBox::Save) {
        flushSettings([continueTermination](bool stored) {
            if (stored && continueTermination) {
                continueTermination();
            }
        });
        return false;
    }
    if (answer == QMessageBox::Discard) {
        loadSettingsForKey(m_settingKey);
        return true;
    }
    return false;
}

void NewConfigurationController::closeEvent(QCloseEvent* event)
{
    UserDefaults::setValue(QString::fromLatin1(UserDefaults::kExpertSplitViewPos),
                           splitFraction(*m_ui->expertSplitView));
    saveWindowFrame(*this, QStringLiteral("ConfigurationController"));
    QMainWindow::closeEvent(event);
}

bool NewConfigurationController::confirmLockoutWarnings()
{
    const std::vector<LintWarning> warnings =
        lintRuleText(ipfwTextForSetting(settingFromPages()), lintOptionsForThisProcess());
    if (std::none_of(warnings.begin(), warnings.end(), [](const LintWarning& w) { return w.lockout; })) {
        return true;
    }
    QStringList lines;
    for (const LintWarning& w : warnings) {
        lines << tr("Line %1: %2").arg(w.line).arg(QString::fromStdString(w.message));
    }
    // Cancel comes first, so that Return does not load rules that cut the user off.
    const auto answer = MessageBox::ask(
        this, QMessageBox::Warning, tr("This setting may lock you out"),
        tr("Loading it would refuse a connection this machine needs:\n\n%1").arg(lines.join(QLatin1Char('\n'))),
        { { QMessageBox::Cancel, tr("Cancel") }, { QMessageBox::Apply, tr("Apply Anyway") } });
    return answer == QMessageBox::Apply;
}

void NewConfigurationController::applySettingsWithUndo()
{
    if (!m_gateway.authenticate() || !confirmLockoutWarnings()) {
        return;
    }
    // The trial loads the stored setting: the edited one is stored first.
    flushSettings([this](bool stored) {
        if (!stored) {
            return;
        }
        auto* dialog = new TrialCountdownDialog(m_gateway, TrialCountdownDialog::kDefaultSeconds, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        dialog->start();
    });
}

} // namespace kw::app
