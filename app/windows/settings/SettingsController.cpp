#include "SettingsController.h"

#include "SettingsFile.h"
#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "base/Log.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "core/IPFWManager.h"
#include "ui_SettingNamePanel.h"
#include "ui_SettingsController.h"
#include "widgets/LockPattern.h"
#include "widgets/MessageBox.h"
#include "widgets/ViewExtensions.h"
#include "windows/KeepwallController.h"
#include "windows/safety/RuleDiffWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QHeaderView>
#include <QMenu>
#include <QPointer>
#include <QThread>

#include <cstring>

namespace kw::app {

using namespace kw::keys;

namespace {

QPointer<SettingsController> g_shared;

constexpr LockCaptions kLockCaptions { "ClickToAllow", "ClickToDisallow" };

QString fileFilter()
{
    return QObject::tr("Keepwall settings (*.%1)").arg(QLatin1String(settingsfile::kExtension));
}

QString chooseSavePath(QWidget* parent, const QString& suggestedPath)
{
    // The dialog adds the extension before it asks about replacing a file, so the file it
    // confirms is the one written.
    QFileDialog dialog(parent, QObject::tr("Export Setting"), suggestedPath, fileFilter());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QLatin1String(settingsfile::kExtension));
    dialog.selectFile(suggestedPath);
    return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                   : QString();
}

QString chooseOpenPath(QWidget* parent, const QString& folder)
{
    return QFileDialog::getOpenFileName(parent, QObject::tr("Import Setting"), folder, fileFilter());
}

std::string stringOf(const Value* value)
{
    return stringValueOf(value);
}

} // namespace

// --- table ---------------------------------------------------------------------------------

void SettingsTableModel::setSettings(Value::Dictionary settings, std::string currentKey, std::string defaultKey)
{
    beginResetModel();
    m_settings = std::move(settings);
    m_currentKey = std::move(currentKey);
    m_defaultKey = std::move(defaultKey);
    m_keys.clear();
    for (const auto& [key, setting] : m_settings) {
        m_keys.push_back(key);
    }
    endResetModel();
}

std::optional<std::string> SettingsTableModel::keyAtRow(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_keys.size())) {
        return std::nullopt;
    }
    return m_keys[static_cast<std::size_t>(row)];
}

int SettingsTableModel::rowOfKey(const std::string& key) const
{
    for (std::size_t row = 0; row < m_keys.size(); ++row) {
        if (m_keys[row] == key) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

QString SettingsTableModel::typeText(const Value& setting)
{
    switch (integerValueOf(setting.get(kConfigMode))) {
    case 0:
        return QStringLiteral("Quick");
    case 2:
        return QStringLiteral("Expert");
    default:
        return {};
    }
}

int SettingsTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_keys.size());
}

int SettingsTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant SettingsTableModel::data(const QModelIndex& index, int role) const
{
    const auto key = keyAtRow(index.row());
    if (!key || !index.isValid()) {
        return {};
    }
    const Value& setting = m_settings.at(*key);
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == SettingNameColumn) {
            return QString::fromStdString(stringOf(setting.get(kSettingName)));
        }
        return typeText(setting);
    case Qt::ForegroundRole:
        // The active setting is drawn in blue.
        return *key == m_currentKey ? QColor(Qt::blue) : QColor(Qt::black);
    case Qt::FontRole:
        if (*key == m_defaultKey) {
            QFont font;
            font.setBold(true);
            return font;
        }
        return {};
    case Qt::ToolTipRole:
        return QString::fromStdString(*key);
    case Qt::UserRole:
        return QString::fromStdString(*key);
    default:
        return {};
    }
}

QVariant SettingsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return section == SettingNameColumn ? tr("Name") : tr("Type");
    }
    if (role == Qt::UserRole) {
        return section == SettingNameColumn ? QStringLiteral("SETTING_NAME") : QStringLiteral("SETTING_TYPE");
    }
    return {};
}

// --- window --------------------------------------------------------------------------------

SettingsController& SettingsController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new SettingsController(IPFWManager::sharedInstance());
    }
    return *g_shared;
}

void SettingsController::releaseSharedInstance()
{
    delete g_shared.data();
}

SettingsController::SettingsController(IPFWManager& gateway, QWidget* parent)
    : QMainWindow(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::SettingsController>())
    , m_namePanel(std::make_unique<Ui::SettingNamePanel>())
    , m_settingNamePanel(new QDialog(this))
    , m_model(new SettingsTableModel(this))
    , m_savePathChooser(chooseSavePath)
    , m_openPathChooser(chooseOpenPath)
{
    m_ui->setupUi(this);
    setObjectName(QLatin1String(kFrameName));
    m_namePanel->setupUi(m_settingNamePanel);
    m_settingNamePanel->setWindowModality(Qt::WindowModal);

    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &SettingsController::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &SettingsController::userDeauthenticated);
    connect(&bridge, &NotificationBridge::settingsChanged, this, &SettingsController::loadDefaults);
    windowDidLoad();
}

SettingsController::~SettingsController()
{
    waitForJobs(60000);
}

void SettingsController::windowDidLoad()
{
    setWindowIcon(Resources::image(QStringLiteral("keepwall")));
    m_ui->tableView->setModel(m_model);
    m_ui->tableView->horizontalHeader()->setSectionResizeMode(SettingsTableModel::SettingNameColumn,
                                                              QHeaderView::Stretch);
    m_ui->tableView->horizontalHeader()->setSectionResizeMode(SettingsTableModel::SettingTypeColumn,
                                                              QHeaderView::ResizeToContents);
    connect(m_ui->tableView, &QAbstractItemView::doubleClicked, this, &SettingsController::renameSettings);

    connect(m_ui->makeActiveButton, &QPushButton::clicked, this, &SettingsController::makeActiveSettings);
    connect(m_ui->makeDefaultButton, &QPushButton::clicked, this, &SettingsController::makeDefaultSettings);
    connect(m_ui->duplicateButton, &QPushButton::clicked, this, &SettingsController::duplicateSettings);
    connect(m_ui->renameButton, &QPushButton::clicked, this, &SettingsController::renameSettings);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &SettingsController::deleteSettings);
    connect(m_ui->exportButton, &QPushButton::clicked, this, &SettingsController::exportSettings);
    connect(m_ui->importButton, &QPushButton::clicked, this, &SettingsController::importSettings);
    auto* compareButton = new QPushButton(tr("Compare…"));
    compareButton->setObjectName(QStringLiteral("compareButton"));
    compareButton->setAutoDefault(false);
    m_ui->buttonColumn->insertWidget(m_ui->buttonColumn->indexOf(m_ui->importButton) + 1, compareButton);
    connect(compareButton, &QPushButton::clicked, this, &SettingsController::chooseSettingsToCompare);
    connect(m_ui->lockButton, &QToolButton::clicked, this,
            [this] { KeepwallController::toggleAuthentication(m_gateway); });

    connect(m_namePanel->okButton, &QPushButton::clicked, this, [this] {
        const QString problem = nameSheetProblem(m_namePanel->nameField->text());
        if (!problem.isEmpty()) {
            MessageBox::warningSheet(m_settingNamePanel, tr("Invalid Name"), problem, tr("OK"));
            return;
        }
        m_settingNamePanel->done(kSheetOk);
    });
    connect(m_namePanel->cancelButton, &QPushButton::clicked, m_settingNamePanel,
            [this] { m_settingNamePanel->done(0); });
    connect(m_settingNamePanel, &QDialog::finished, this, &SettingsController::sheetDidEnd);

    if (!restoreWindowFrame(*this, QString::fromLatin1(kFrameName))) {
        resize(520, 380);
    }
    if (m_gateway.isAuthenticated()) {
        userAuthenticated();
    } else {
        userDeauthenticated();
    }
    loadDefaults();
}

void SettingsController::showWindow()
{
    loadDefaults();
    show();
    raise();
    activateWindow();
}

void SettingsController::loadDefaults()
{
    KeepwallPrefs prefs;
    m_currentKey = prefs.currentSettingsKey().value_or(std::string());
    m_defaultSettingKey = stringOf(prefs.valueForKey(kDefaultConfiguration));
    // The selection follows its setting through the reload.
    const auto selected = m_model->keyAtRow(selectedRow());
    m_model->setSettings(prefs.storedSettings(), m_currentKey, m_defaultSettingKey);
    if (selected) {
        selectRow(m_model->rowOfKey(*selected));
    }
}

void SettingsController::selectRow(int row)
{
    if (row < 0 || row >= m_model->rowCount()) {
        m_ui->tableView->clearSelection();
        m_ui->tableView->setCurrentIndex({});
        return;
    }
    m_ui->tableView->selectRow(row);
}

int SettingsController::selectedRow() const
{
    const QModelIndexList rows = m_ui->tableView->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool SettingsController::waitForJobs(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (m_jobsRunning > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return m_jobsRunning == 0;
}

std::optional<std::string> SettingsController::authenticatedSelection()
{
    const auto key = m_model->keyAtRow(selectedRow());
    if (m_jobsRunning > 0 || !m_gateway.authenticate() || !m_gateway.isAuthenticated()) {
        QApplication::beep();
        return std::nullopt;
    }
    return key;
}

void SettingsController::store(Value document)
{
    ++m_jobsRunning;
    auto stored = std::make_shared<bool>(false);
    auto* job = GatewayJob::start(
        m_gateway,
        [document = std::move(document), stored](IPFWManager& gateway) {
            *stored = gateway.storeConfiguration(document);
        },
        this);
    auto failed = std::make_shared<bool>(false);
    connect(job, &GatewayJob::failed, this, [failed](const QString&) { *failed = true; });
    connect(job, &GatewayJob::done, this, [this, stored, failed] {
        --m_jobsRunning;
        // The stored state, whatever the tool did with the change: a refused store leaves
        // nothing half-shown.
        loadDefaults();
        emit storeEnded(*stored && !*failed);
    });
}

void SettingsController::storeSettings(const std::function<void(Value::Dictionary&)>& change)
{
    // Built on the store as it is now, so a change stored meanwhile by another window is kept.
    KeepwallPrefs prefs;
    Value::Dictionary stored = prefs.storedSettings();
    change(stored);
    Value document(Value::Dictionary {});
    document.set(kStoredSettings, Value(std::move(stored)));
    store(std::move(document));
}

std::string SettingsController::newKey(const std::string& name, const Value::Dictionary& stored)
{
    const std::string base =
        name + "-" + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss")).toStdString();
    std::string key = base;
    for (int n = 2; stored.contains(key); ++n) {
        key = base + "-" + std::to_string(n);
    }
    return key;
}

void SettingsController::makeActiveSettings()
{
    if (const auto key = authenticatedSelection()) {
        Value document(Value::Dictionary {});
        document.set(kCurrentSetting, Value(*key));
        store(std::move(document));
    }
}

void SettingsController::makeDefaultSettings()
{
    if (const auto key = authenticatedSelection()) {
        Value document(Value::Dictionary {});
        document.set(kDefaultConfiguration, Value(*key));
        store(std::move(document));
    }
}

void SettingsController::deleteSettings()
{
    const auto key = authenticatedSelection();
    if (!key) {
        return;
    }
    const QString name = QString::fromStdString(stringOf(m_model->settings().at(*key).get(kSettingName)));
    // Without its setting the active key would activate an empty rule set.
    if (*key == m_currentKey) {
        MessageBox::warningSheet(this, tr("Cannot Delete"),
                                 tr("The setting '%1' is the active setting and cannot be deleted.\n"
                                    "Make another setting active first.")
                                     .arg(name),
                                 tr("OK"));
        return;
    }
    const auto answer =
        MessageBox::ask(this, QMessageBox::Warning, tr("Confirm Delete"),
                        tr("Are you sure you want to delete the setting '%1'?\n(This cannot be undone)").arg(name),
                        { { QMessageBox::Ok, tr("OK") }, { QMessageBox::Cancel, tr("Cancel") } });
    if (answer != QMessageBox::Ok) {
        return;
    }
    storeSettings([&](Value::Dictionary& stored) { stored.erase(*key); });
}

void SettingsController::duplicateSettings()
{
    if (const auto key = authenticatedSelection()) {
        const std::string name = stringOf(m_model->settings().at(*key).get(kSettingName));
        m_sheetKey = *key;
        showNameSheet(QStringLiteral("CopyOf %1").arg(QString::fromStdString(name)), DuplicateAction);
    }
}

void SettingsController::renameSettings()
{
    if (const auto key = authenticatedSelection()) {
        m_sheetKey = *key;
        showNameSheet(QString::fromStdString(stringOf(m_model->settings().at(*key).get(kSettingName))), RenameAction);
    }
}

void SettingsController::showNameSheet(const QString& name, ActionCode action)
{
    m_actionCode = action;
    m_namePanel->nameField->setText(name);
    m_namePanel->nameField->selectAll();
    m_namePanel->nameField->setFocus();
    m_settingNamePanel->setWindowTitle(action == DuplicateAction ? tr("Duplicate Setting") : tr("Rename Setting"));
    m_settingNamePanel->open();
}

QString SettingsController::nameSheetProblem(const QString& name) const
{
    if (name.trimmed().isEmpty()) {
        return tr("A setting needs a name.");
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control) {
            return tr("A setting's name cannot hold line breaks or other control characters.");
        }
    }
    return {};
}

void SettingsController::sheetDidEnd(int returnCode)
{
    m_settingNamePanel->hide();
    if (returnCode != kSheetOk) {
        return;
    }
    switch (m_actionCode) {
    case DuplicateAction:
        duplicate();
        break;
    case RenameAction:
        rename();
        break;
    default:
        logf("Unknown action code:%d", static_cast<int>(m_actionCode));
        break;
    }
}

void SettingsController::duplicate()
{
    const std::string name = m_namePanel->nameField->text().trimmed().toStdString();
    const std::string source = m_sheetKey;
    if (source.empty() || !nameSheetProblem(QString::fromStdString(name)).isEmpty()) {
        return;
    }
    storeSettings([&](Value::Dictionary& stored) {
        const auto it = stored.find(source);
        if (it == stored.end()) {
            return; // deleted meanwhile: nothing to copy
        }
        Value copy = it->second;
        copy.set(kSettingName, Value(name));
        stored[newKey(name, stored)] = std::move(copy);
    });
}

void SettingsController::rename()
{
    const std::string name = m_namePanel->nameField->text().trimmed().toStdString();
    const std::string key = m_sheetKey;
    if (key.empty() || !nameSheetProblem(QString::fromStdString(name)).isEmpty()) {
        return;
    }
    storeSettings([&](Value::Dictionary& stored) {
        if (const auto it = stored.find(key); it != stored.end()) {
            it->second.set(kSettingName, Value(name));
        }
    });
}

void SettingsController::exportSettings()
{
    const auto key = m_model->keyAtRow(selectedRow());
    if (!key) {
        return;
    }
    const Value setting = m_model->settings().at(*key);
    const QString cleaned = QString::fromStdString(settingsfile::cleanedFileName(stringOf(setting.get(kSettingName))));
    const QString suggested =
        QDir::home().filePath(QStringLiteral("%1.%2").arg(cleaned, QLatin1String(settingsfile::kExtension)));
    QString path = m_savePathChooser(this, suggested);
    if (path.isEmpty()) {
        return;
    }
    const QString suffix = QStringLiteral(".") + QLatin1String(settingsfile::kExtension);
    if (!path.endsWith(suffix)) {
        // The file written is not the one the dialog confirmed: ask again before replacing it.
        path += suffix;
        if (QFileInfo::exists(path)) {
            const auto answer =
                MessageBox::ask(this, QMessageBox::Warning, tr("Replace File"),
                                tr("\"%1\" already exists. Do you want to replace it?").arg(path),
                                { { QMessageBox::Cancel, tr("Cancel") }, { QMessageBox::Ok, tr("Replace") } });
            if (answer != QMessageBox::Ok) {
                return;
            }
        }
    }
    if (!settingsfile::writeSettingFile(path.toStdString(), setting)) {
        const int error = errno;
        MessageBox::warningSheet(this, tr("Export Failed"),
                                 tr("The setting could not be written to \"%1\": %2")
                                     .arg(path, QString::fromLocal8Bit(std::strerror(error))),
                                 tr("OK"));
    }
}

void SettingsController::importSettings()
{
    if (m_jobsRunning > 0 || !m_gateway.authenticate() || !m_gateway.isAuthenticated()) {
        QApplication::beep();
        return;
    }
    const QString path = m_openPathChooser(this, QDir::homePath());
    if (path.isEmpty()) {
        return;
    }
    std::string problem;
    const std::optional<Value> setting = settingsfile::readSettingFile(path.toStdString(), problem);
    if (!setting) {
        MessageBox::warningSheet(this, tr("Import Refused"),
                                 tr("The file \"%1\" was not imported: %2.")
                                     .arg(path, QString::fromStdString(escapedControlCharacters(problem))),
                                 tr("OK"));
        return;
    }
    storeSettings(
        [&](Value::Dictionary& stored) { stored[newKey(stringOf(setting->get(kSettingName)), stored)] = *setting; });
}

void SettingsController::userAuthenticated()
{
    showLockState(true, m_ui->lockButton, m_ui->lockLabel, kLockCaptions, {});
}

void SettingsController::userDeauthenticated()
{
    showLockState(false, m_ui->lockButton, m_ui->lockLabel, kLockCaptions, {});
}

void SettingsController::saveFrame()
{
    saveWindowFrame(*this, QString::fromLatin1(kFrameName));
}

void SettingsController::closeEvent(QCloseEvent* event)
{
    saveFrame();
    QMainWindow::closeEvent(event);
}

void SettingsController::chooseSettingsToCompare()
{
    const auto selected = m_model->keyAtRow(selectedRow());
    if (!selected) {
        QApplication::beep();
        return;
    }
    QMenu others(this);
    for (const std::string& key : m_model->keys()) {
        if (key == *selected) {
            continue;
        }
        const Value& setting = m_model->settings().at(key);
        QAction* item = others.addAction(QString::fromStdString(stringValueOf(setting.get(kSettingName))));
        connect(item, &QAction::triggered, this, [this, from = *selected, to = key] { compareSettings(from, to); });
    }
    if (others.isEmpty()) {
        QApplication::beep();
        return;
    }
    auto* button = findChild<QPushButton*>(QStringLiteral("compareButton"));
    others.exec(button != nullptr ? button->mapToGlobal(QPoint(0, button->height())) : QCursor::pos());
}

RuleDiffWindow* SettingsController::compareSettings(const std::string& fromKey, const std::string& toKey)
{
    const auto& settings = m_model->settings();
    const auto from = settings.find(fromKey);
    const auto to = settings.find(toKey);
    if (from == settings.end() || to == settings.end()) {
        return nullptr;
    }
    const std::string fromName = stringValueOf(from->second.get(kSettingName));
    const std::string toName = stringValueOf(to->second.get(kSettingName));
    const std::string difference = RuleDiffWindow::settingsDifference(from->second, fromName, to->second, toName);
    return RuleDiffWindow::showDifference(
        tr("Rules of “%1” and “%2”").arg(QString::fromStdString(fromName), QString::fromStdString(toName)),
        QString::fromStdString(difference), this);
}

} // namespace kw::app
