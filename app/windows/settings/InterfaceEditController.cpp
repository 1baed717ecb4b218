#include "InterfaceEditController.h"

#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "core/FieldChecks.h"
#include "core/IPFWManager.h"
#include "models/ArrayTableDataSource.h"
#include "network/KWDynamicStore.h"
#include "ui_InterfaceEditController.h"
#include "ui_InterfaceSheet.h"
#include "widgets/LockPattern.h"
#include "widgets/MessageBox.h"
#include "widgets/ViewExtensions.h"
#include "windows/KeepwallController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QPointer>
#include <QThread>

namespace kw::app {

using namespace kw::keys;

namespace {

QPointer<InterfaceEditController> g_shared;

constexpr LockCaptions kLockCaptions { "ClickToAllow", "ClickToDisallow" };

} // namespace

InterfaceEditController& InterfaceEditController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new InterfaceEditController(IPFWManager::sharedInstance());
    }
    return *g_shared;
}

void InterfaceEditController::releaseSharedInstance()
{
    delete g_shared.data();
}

InterfaceEditController::InterfaceEditController(IPFWManager& gateway, QWidget* parent)
    : QMainWindow(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::InterfaceEditController>())
    , m_sheet(std::make_unique<Ui::InterfaceSheet>())
    , m_editPanel(new QDialog(this))
    , m_dataSource(new ArrayTableDataSource(this))
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("InterfaceEditController"));
    m_sheet->setupUi(m_editPanel);
    m_editPanel->setWindowModality(Qt::WindowModal);

    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &InterfaceEditController::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &InterfaceEditController::userDeauthenticated);
    connect(&bridge, &NotificationBridge::settingsChanged, this, &InterfaceEditController::readInterfaces);
    windowDidLoad();
}

InterfaceEditController::~InterfaceEditController()
{
    waitForJobs(60000);
}

void InterfaceEditController::windowDidLoad()
{
    setWindowIcon(Resources::image(QStringLiteral("keepwall")));
    m_dataSource->setColumns({ QString::fromLatin1(kInterfaceLabel), QString::fromLatin1(kInterfaceName) },
                             { tr("Label"), tr("Interface") });
    m_dataSource->setTableView(m_ui->tableView);
    m_ui->tableView->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_ui->tableView->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    connect(m_ui->tableView, &QAbstractItemView::doubleClicked, this, &InterfaceEditController::editInterface);

    connect(m_ui->addButton, &QPushButton::clicked, this, &InterfaceEditController::addInterface);
    connect(m_ui->editButton, &QPushButton::clicked, this, &InterfaceEditController::editInterface);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &InterfaceEditController::deleteInterface);
    connect(m_ui->lockButton, &QToolButton::clicked, this,
            [this] { KeepwallController::toggleAuthentication(m_gateway); });

    connect(m_sheet->okButton, &QPushButton::clicked, this, [this] {
        const QString problem = sheetProblem();
        if (!problem.isEmpty()) {
            MessageBox::warningSheet(m_editPanel, tr("Invalid Interface"), problem, tr("OK"));
            return;
        }
        m_editPanel->done(kSheetOk);
    });
    connect(m_sheet->cancelButton, &QPushButton::clicked, m_editPanel, [this] { m_editPanel->done(0); });
    connect(m_editPanel, &QDialog::finished, this, &InterfaceEditController::sheetDidEnd);

    buildInterfaceCombo();
    readInterfaces();

    if (!restoreWindowFrame(*this, QString::fromLatin1(kFrameName))) {
        resize(580, 320);
    }
    if (m_gateway.isAuthenticated()) {
        userAuthenticated();
    } else {
        userDeauthenticated();
    }
}

void InterfaceEditController::showWindow()
{
    readInterfaces();
    show();
    raise();
    activateWindow();
}

void InterfaceEditController::buildInterfaceCombo()
{
    QComboBox* combo = m_sheet->interfaceCombo;
    combo->clear();
    for (const KWService& service : KWLocation::currentLocation().services()) {
        // A PPP service's device name is "ppp0" whatever its configured device.
        if (const auto name = service.deviceName()) {
            combo->addItem(QString::fromStdString(*name));
        }
    }
}

void InterfaceEditController::readInterfaces()
{
    KeepwallPrefs prefs;
    m_settingKey = prefs.currentSettingsKey();
    const Value* setting = m_settingKey ? prefs.settingForKey(*m_settingKey) : nullptr;
    if (setting == nullptr) {
        m_settingKey.reset(); // nothing to edit: a list stored here would make a setting of its own
    }
    const Value* list = setting != nullptr ? setting->get(kInterfaceList) : nullptr;
    const int selected = selectedRow();
    m_dataSource->setObjectArray(list != nullptr && list->isArray() ? *list->array() : Value::Array {});
    m_dataSource->reloadData();
    selectRow(selected);
    const std::string name = setting != nullptr ? stringValueOf(setting->get(kSettingName)) : std::string();
    setWindowTitle(QStringLiteral("Interfaces for '%1'").arg(QString::fromStdString(name)));
}

Value InterfaceEditController::getInterfaceDefaults()
{
    const Value& defaults = Resources::propertyList(QStringLiteral("InterfaceDefaults"));
    const Value::Array* entries = defaults.array();
    return entries != nullptr && !entries->empty() ? entries->back() : Value(Value::Dictionary {});
}

void InterfaceEditController::selectRow(int row)
{
    if (row < 0 || row >= m_dataSource->count()) {
        m_ui->tableView->clearSelection();
        return;
    }
    m_ui->tableView->selectRow(row);
}

int InterfaceEditController::selectedRow() const
{
    const QItemSelectionModel* selection = m_ui->tableView->selectionModel();
    const QModelIndexList rows = selection != nullptr ? selection->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool InterfaceEditController::waitForJobs(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (m_jobsRunning > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return m_jobsRunning == 0;
}

void InterfaceEditController::addInterface()
{
    if (!m_settingKey || m_jobsRunning > 0) {
        QApplication::beep();
        return;
    }
    // The fields keep what they showed last.
    m_sheetMode = SheetMode::Add;
    m_editRow = -1;
    m_editPanel->setWindowTitle(tr("Add Interface"));
    m_editPanel->open();
}

void InterfaceEditController::editInterface()
{
    const int row = selectedRow();
    if (row < 0) {
        return;
    }
    if (!m_settingKey || m_jobsRunning > 0 || !m_gateway.authenticate() || !m_gateway.isAuthenticated()) {
        QApplication::beep();
        return;
    }
    const Value record = m_dataSource->objectAtRow(row);
    m_sheet->labelField->setText(QString::fromStdString(stringValueOf(record.get(kInterfaceLabel))));
    m_sheet->interfaceCombo->setEditText(QString::fromStdString(stringValueOf(record.get(kInterfaceName))));
    m_sheetMode = SheetMode::Edit;
    m_editRow = row;
    m_editPanel->setWindowTitle(tr("Edit Interface"));
    m_editPanel->open();
}

QString InterfaceEditController::sheetProblem() const
{
    const std::string name = m_sheet->interfaceCombo->currentText().trimmed().toStdString();
    const std::string label = m_sheet->labelField->text().trimmed().toStdString();
    // The name is written after "via" in every rule of the interface's block.
    if (name.empty()) {
        return tr("An interface needs a name, such as en0.");
    }
    if (auto unsafe = unsafeFieldText(name)) {
        return QString::fromStdString(*unsafe);
    }
    if (name.find(' ') != std::string::npos) {
        return tr("An interface name cannot hold blanks.");
    }
    for (const char c : label) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return tr("A label cannot hold line breaks or other control characters.");
        }
    }
    // The configuration window finds each interface's page by its name.
    const Value::Array& rows = m_dataSource->rows();
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (static_cast<int>(row) != m_editRow && stringValueOf(rows[row].get(kInterfaceName)) == name) {
            return tr("The setting already has the interface %1.").arg(QString::fromStdString(name));
        }
    }
    return {};
}

void InterfaceEditController::sheetDidEnd(int returnCode)
{
    m_editPanel->hide();
    if (returnCode != kSheetOk) {
        return;
    }
    const Value name(m_sheet->interfaceCombo->currentText().trimmed().toStdString());
    const Value label(m_sheet->labelField->text().trimmed().toStdString());
    Value::Array rows = m_dataSource->rows();
    if (m_sheetMode == SheetMode::Edit) {
        if (m_editRow < 0 || m_editRow >= static_cast<int>(rows.size())) {
            return; // the row went away while the sheet was open
        }
        // Every other field of the interface (filters, policies) stays as it is.
        Value& record = rows[static_cast<std::size_t>(m_editRow)];
        record.set(kInterfaceName, name);
        record.set(kInterfaceLabel, label);
    } else {
        Value record = getInterfaceDefaults();
        record.set(kInterfaceName, name);
        record.set(kInterfaceLabel, label);
        rows.push_back(std::move(record));
    }
    writeInterfaceList(std::move(rows));
}

void InterfaceEditController::deleteInterface()
{
    const int row = selectedRow();
    if (row < 0 || !m_settingKey || m_jobsRunning > 0) {
        return;
    }
    const auto answer = MessageBox::ask(this, QMessageBox::Warning, QStringLiteral("Confirm Delete"),
                                        QStringLiteral("Are you sure you want to delete the interface?\n"
                                                       "(This cannot be undone)"),
                                        { { QMessageBox::Ok, tr("OK") }, { QMessageBox::Cancel, tr("Cancel") } });
    if (answer != QMessageBox::Ok) {
        return;
    }
    Value::Array rows = m_dataSource->rows();
    if (row >= static_cast<int>(rows.size())) {
        return;
    }
    rows.erase(rows.begin() + row);
    writeInterfaceList(std::move(rows));
}

void InterfaceEditController::writeInterfaceList(Value::Array rows)
{
    KeepwallPrefs prefs;
    Value::Dictionary stored = prefs.storedSettings();
    // The rows belong to the setting they were read from: when another setting became current
    // meanwhile, they are not written into it.
    const auto current = prefs.currentSettingsKey();
    const auto it = m_settingKey ? stored.find(*m_settingKey) : stored.end();
    if (!m_settingKey || current != m_settingKey || it == stored.end()) {
        QApplication::beep();
        readInterfaces();
        return;
    }
    if (!m_gateway.authenticate() || !m_gateway.isAuthenticated()) {
        QApplication::beep();
        readInterfaces();
        return;
    }
    it->second.set(kInterfaceList, Value(std::move(rows)));
    Value document(Value::Dictionary {});
    document.set(kStoredSettings, Value(std::move(stored)));

    ++m_jobsRunning;
    auto storedFlag = std::make_shared<bool>(false);
    auto failed = std::make_shared<bool>(false);
    auto* job = GatewayJob::start(
        m_gateway,
        [document = std::move(document), storedFlag](IPFWManager& gateway) {
            *storedFlag = gateway.storeConfiguration(document);
        },
        this);
    connect(job, &GatewayJob::failed, this, [failed](const QString&) { *failed = true; });
    connect(job, &GatewayJob::done, this, [this, storedFlag, failed] {
        --m_jobsRunning;
        readInterfaces();
        emit storeEnded(*storedFlag && !*failed);
    });
}

void InterfaceEditController::userAuthenticated()
{
    showLockState(true, m_ui->lockButton, m_ui->lockLabel, kLockCaptions, { m_ui->buttonMatrix });
}

void InterfaceEditController::userDeauthenticated()
{
    showLockState(false, m_ui->lockButton, m_ui->lockLabel, kLockCaptions, { m_ui->buttonMatrix });
}

void InterfaceEditController::closeEvent(QCloseEvent* event)
{
    saveWindowFrame(*this, QString::fromLatin1(kFrameName));
    QMainWindow::closeEvent(event);
}

} // namespace kw::app
