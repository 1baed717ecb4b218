#include "NatConfigController.h"

#include "adapters/GatewayJob.h"
#include "adapters/Resources.h"
#include "config/SettingsKeys.h"
#include "core/FieldChecks.h"
#include "core/IPFWManager.h"
#include "rules/ConfigurationText.h"
#include "ui_GatewaySheet.h"
#include "ui_NatConfigController.h"
#include "ui_RedirectSheet.h"
#include "widgets/MessageBox.h"
#include "widgets/TwoLineItemDelegate.h"

#include <QApplication>
#include <QListWidget>

namespace kw::app {

using namespace kw::keys;

namespace {

// The fixed services of the port-map sheet: title, public port (tag 5: typed by the user).
struct RedirectService {
    const char* title;
    int port;
};
constexpr RedirectService kRedirectServices[] = {
    { "Web (HTTP)", 80 },   { "Mail (SMTP)", 25 },         { "Mail (POP3)", 110 },
    { "Mail (IMAP)", 143 }, { "File Transfer (FTP)", 21 }, { "Other Service", 0 },
};
constexpr int kCustomServiceTag = 5;

std::int64_t integerOf(const Value::Dictionary& d, const char* key)
{
    const auto it = d.find(key);
    return it == d.end() ? 0 : it->second.integerValue();
}

QString textOf(const Value::Dictionary& d, const char* key)
{
    const auto it = d.find(key);
    return it == d.end() ? QString() : QString::fromStdString(it->second.stringValue());
}

bool isPpp(const QString& name)
{
    return name == QLatin1String("ppp0") || name == QLatin1String("pppoe0");
}

Value newGateway(const char* address, bool external)
{
    Value gateway;
    gateway.set(kNatGatewayIp, Value(address));
    gateway.set(kNatInterface, Value("en0"));
    gateway.set(kNatGatewayExternal, Value::integer(external ? 1 : 0));
    if (external) {
        gateway.set(kPortmapList, Value(Value::Array {}));
    } else {
        gateway.set(kNatAllowLocal, Value::integer(1));
    }
    return gateway;
}

} // namespace

NatConfigController::NatConfigController(IPFWManager& gateway, QWidget* parent)
    : QWidget(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::NatConfigController>())
    , m_gatewaySheet(std::make_unique<Ui::GatewaySheet>())
    , m_redirectSheet(std::make_unique<Ui::RedirectSheet>())
    , m_gatewaySheetDialog(new QDialog(this))
    , m_redirectSheetDialog(new QDialog(this))
{
    m_ui->setupUi(this);
    m_gatewaySheet->setupUi(m_gatewaySheetDialog);
    m_redirectSheet->setupUi(m_redirectSheetDialog);
    for (QDialog* sheet : { m_gatewaySheetDialog, m_redirectSheetDialog }) {
        sheet->setWindowModality(Qt::WindowModal);
    }
    for (int tag = 0; tag <= kCustomServiceTag; ++tag) {
        m_redirectSheet->redirectedServiceMenu->addItem(QString::fromLatin1(kRedirectServices[tag].title), tag);
    }
    for (QListWidget* column : { m_ui->gatewayColumn, m_ui->portMapColumn }) {
        column->setItemDelegate(new TwoLineItemDelegate(column));
    }
    m_ui->networkBrowser->setSizes({ 320, 320 });

    connect(m_ui->gatewayInterface, &QComboBox::activated, this, &NatConfigController::gatewayInterfaceChanged);
    connect(m_ui->dynamicAddress, &QCheckBox::clicked, this, &NatConfigController::valueChanged);
    connect(m_ui->enableGateway, &QCheckBox::clicked, this, &NatConfigController::valueChanged);
    connect(m_ui->addGatewayButton, &QPushButton::clicked, this, &NatConfigController::addGateway);
    connect(m_ui->editGatewayButton, &QPushButton::clicked, this, &NatConfigController::editGateway);
    connect(m_ui->deleteGatewayButton, &QPushButton::clicked, this, &NatConfigController::deleteGateway);
    connect(m_ui->addRedirectButton, &QPushButton::clicked, this, &NatConfigController::addRedirect);
    connect(m_ui->editRedirectButton, &QPushButton::clicked, this, &NatConfigController::editRedirect);
    connect(m_ui->deleteRedirectButton, &QPushButton::clicked, this, &NatConfigController::deleteRedirect);
    connect(m_ui->startStopButton, &QPushButton::clicked, this, &NatConfigController::toggleSharing);
    connect(m_ui->gatewayColumn, &QListWidget::currentRowChanged, this, [this] { loadPortMapColumn(); });
    connect(m_ui->gatewayColumn, &QListWidget::itemClicked, this, &NatConfigController::browserClicked);
    connect(m_ui->gatewayColumn, &QListWidget::itemDoubleClicked, this, &NatConfigController::browserDoubleClicked);
    connect(m_ui->portMapColumn, &QListWidget::itemDoubleClicked, this, &NatConfigController::browserDoubleClicked);
    connect(m_redirectSheet->redirectedServiceMenu, &QComboBox::currentIndexChanged, this,
            &NatConfigController::serviceChanged);

    connect(m_gatewaySheet->okButton, &QPushButton::clicked, this, [this] {
        // An address the packet filter and natd would refuse is refused here, in the sheet.
        const std::string address = m_gatewaySheet->gatewayIPField->text().trimmed().toStdString();
        if (const auto problem = addressProblem(address, true)) {
            MessageBox::warningSheet(m_gatewaySheetDialog, tr("Invalid Gateway Address"),
                                     QString::fromStdString(*problem), tr("OK"));
            return;
        }
        m_gatewaySheetDialog->done(kSheetOk);
    });
    connect(m_gatewaySheet->cancelButton, &QPushButton::clicked, m_gatewaySheetDialog,
            [this] { m_gatewaySheetDialog->done(0); });
    connect(m_gatewaySheetDialog, &QDialog::finished, this, &NatConfigController::gatewaySheetDidEnd);
    connect(m_redirectSheet->okButton, &QPushButton::clicked, this, [this] {
        const std::string address = m_redirectSheet->redirectIPField->text().trimmed().toStdString();
        bool portsOk = false;
        const int hostPort = m_redirectSheet->redirectPort->text().trimmed().toInt(&portsOk);
        bool publicOk = false;
        const int publicPort = m_redirectSheet->portField->text().trimmed().toInt(&publicOk);
        const QString proto = m_redirectSheet->protoCombo->currentText().trimmed();
        QString problem;
        if (const auto bad = addressProblem(address, false)) {
            problem = QString::fromStdString(*bad);
        } else if (!portsOk || hostPort < 1 || hostPort > 65535 || !publicOk || publicPort < 1 || publicPort > 65535) {
            problem = tr("Ports are numbers from 1 to 65535.");
        } else if (proto != QLatin1String("tcp") && proto != QLatin1String("udp")) {
            problem = tr("The protocol is tcp or udp.");
        }
        if (!problem.isEmpty()) {
            MessageBox::warningSheet(m_redirectSheetDialog, tr("Invalid Port Map"), problem, tr("OK"));
            return;
        }
        m_redirectSheetDialog->done(kSheetOk);
    });
    connect(m_redirectSheet->cancelButton, &QPushButton::clicked, m_redirectSheetDialog,
            [this] { m_redirectSheetDialog->done(0); });
    connect(m_redirectSheetDialog, &QDialog::finished, this, &NatConfigController::redirectSheetDidEnd);

    // Window load: the browser, then the running state of natd.
    loadGatewayColumn();
    showRunningState(m_gateway.natdIsRunning());
    m_ui->startStopButton->setEnabled(false);
}

NatConfigController::~NatConfigController() = default;

Value::Dictionary* NatConfigController::gatewayAt(int row)
{
    if (row < 0 || row >= static_cast<int>(m_gateways.size())) {
        return nullptr;
    }
    return m_gateways[static_cast<std::size_t>(row)].dictionary();
}

void NatConfigController::selectGateway(int row)
{
    m_ui->gatewayColumn->setCurrentRow(row);
}

void NatConfigController::selectPortMap(int row)
{
    m_ui->portMapColumn->setCurrentRow(row);
}

int NatConfigController::selectedGateway() const
{
    return m_ui->gatewayColumn->currentRow();
}

int NatConfigController::selectedPortMap() const
{
    return m_ui->portMapColumn->currentRow();
}

QString NatConfigController::selectedInterfaceName() const
{
    return m_ui->gatewayInterface->currentData().toString();
}

void NatConfigController::updateDynamicAddressFor(const QString& name, bool changeCheck)
{
    if (isPpp(name)) {
        if (changeCheck) {
            m_ui->dynamicAddress->setChecked(true);
        }
        m_ui->dynamicAddress->setEnabled(false);
    } else {
        m_ui->dynamicAddress->setEnabled(true);
    }
}

void NatConfigController::enableControls()
{
    for (QWidget* w : std::initializer_list<QWidget*> {
             m_ui->gatewayInterface, m_ui->addGatewayButton, m_ui->editGatewayButton, m_ui->deleteGatewayButton,
             m_ui->addRedirectButton, m_ui->editRedirectButton, m_ui->deleteRedirectButton, m_ui->enableGateway }) {
        w->setEnabled(true);
    }
    if (m_ui->gatewayInterface->count() > 0) {
        updateDynamicAddressFor(selectedInterfaceName(), false);
    }
}

void NatConfigController::disableControls()
{
    for (QWidget* w : std::initializer_list<QWidget*> {
             m_ui->dynamicAddress, m_ui->gatewayInterface, m_ui->addGatewayButton, m_ui->editGatewayButton,
             m_ui->deleteGatewayButton, m_ui->addRedirectButton, m_ui->editRedirectButton, m_ui->deleteRedirectButton,
             m_ui->enableGateway }) {
        w->setEnabled(false);
    }
}

void NatConfigController::userWasAuthenticated()
{
    m_authenticated = true;
    m_ui->startStopButton->setEnabled(true);
    if (m_gateway.natdIsRunning()) {
        disableControls();
    } else {
        enableControls();
    }
}

void NatConfigController::userWasDeauthenticated()
{
    m_authenticated = false;
    m_ui->startStopButton->setEnabled(false);
    disableControls();
}

void NatConfigController::readSettings(const Value& natConfig, const Value::Array& interfaces)
{
    static const Value::Dictionary kEmpty;
    const Value::Dictionary& n = natConfig.dictionary() != nullptr ? *natConfig.dictionary() : kEmpty;
    QString name = textOf(n, kNatdInterfaceName);
    if (n.find(kNatdInterfaceName) == n.end()) {
        switch (integerOf(n, kNatdInterface)) {
        case 0:
            name = QStringLiteral("en0");
            m_ui->dynamicAddress->setEnabled(true);
            break;
        case 1:
            name = QStringLiteral("ppp0");
            m_ui->dynamicAddress->setEnabled(false);
            break;
        case 2:
            name = QStringLiteral("pppoe0");
            m_ui->dynamicAddress->setEnabled(false);
            break;
        case 3:
            name = QStringLiteral("en1");
            m_ui->dynamicAddress->setEnabled(true);
            break;
        default:
            break;
        }
    }
    m_ui->gatewayInterface->clear();
    for (const Value& interface : interfaces) {
        m_ui->gatewayInterface->addItem(QString::fromStdString(stringValueOf(interface.get(kInterfaceLabel))),
                                        QString::fromStdString(stringValueOf(interface.get(kInterfaceName))));
    }
    const int index = m_ui->gatewayInterface->findData(name);
    if (index >= 0) {
        m_ui->gatewayInterface->setCurrentIndex(index);
    } else if (m_ui->gatewayInterface->count() > 0) {
        m_ui->gatewayInterface->setCurrentIndex(0);
    }
    m_ui->dynamicAddress->setChecked(integerOf(n, kNatDynAddress) != 0);
    m_ui->enableGateway->setChecked(integerOf(n, kNatdStartup) != 0);
    buildGatewayMenusForInterfaces(interfaces);

    m_gateways.clear();
    const auto found = n.find(kGateways);
    if (found != n.end() && found->second.array() != nullptr) {
        m_gateways = *found->second.array();
    }
    if (m_gateways.empty()) {
        m_gateways = { newGateway(kDefaultGateway, true), newGateway("192.168.1.1", false) };
    }
    loadGatewayColumn();
}

void NatConfigController::buildGatewayMenusForInterfaces(const Value::Array& interfaces)
{
    QComboBox* menu = m_gatewaySheet->gatewayInterfaceMenu;
    menu->clear();
    for (const Value& interface : interfaces) {
        const QString name = QString::fromStdString(stringValueOf(interface.get(kInterfaceName)));
        if (!isPpp(name)) {
            menu->addItem(QString::fromStdString(stringValueOf(interface.get(kInterfaceLabel))), name);
        }
    }
}

Value NatConfigController::flushSettings() const
{
    Value n;
    n.set(kGateways, Value(m_gateways));
    const QString name = selectedInterfaceName();
    if (!name.isEmpty()) {
        n.set(kNatdInterfaceName, Value(name.toStdString()));
    } else {
        n.set(kNatdInterface, Value::integer(m_ui->gatewayInterface->currentIndex()));
    }
    n.set(kNatDynAddress, Value::integer(m_ui->dynamicAddress->isChecked() ? 1 : 0));
    n.set(kNatdStartup, Value::integer(m_ui->enableGateway->isChecked() ? 1 : 0));
    return n;
}

std::string NatConfigController::generateNatdTextFromQuick() const
{
    // The page's values through the one natd text writer, with the PPP-over-Ethernet name of
    // this system.
    Value n = flushSettings();
    if (selectedInterfaceName() == QLatin1String("pppoe0")) {
        n.set(kNatdInterfaceName, Value(IPFWManager::pppoeName()));
    }
    Value setting;
    setting.set(kNatConfig, std::move(n));
    return generateNatdTextFromSetting(setting);
}

QString NatConfigController::defaultGatewayInterface() const
{
    const QString name = selectedInterfaceName();
    if (name == QLatin1String("pppoe0")) {
        return QString::fromStdString(IPFWManager::pppoeName());
    }
    return name.isEmpty() ? QStringLiteral("en0") : name;
}

void NatConfigController::loadGatewayColumn()
{
    const int selected = m_ui->gatewayColumn->currentRow();
    m_ui->gatewayColumn->clear();
    for (const Value& gateway : m_gateways) {
        const Value::Dictionary& g = gateway.dictionary() != nullptr ? *gateway.dictionary() : Value::Dictionary {};
        const bool external = integerOf(g, kNatGatewayExternal) != 0;
        QString interface = textOf(g, kNatInterface);
        if (textOf(g, kNatGatewayIp) == QLatin1String(kDefaultGateway) && g.find(kNatInterface) == g.end()) {
            interface = defaultGatewayInterface();
        }
        auto* item = new QListWidgetItem(
            Resources::image(external ? QStringLiteral("globe") : QStringLiteral("computer")),
            QStringLiteral("%1\n%2 on Interface %3")
                .arg(textOf(g, kNatGatewayIp), external ? QStringLiteral("Incoming") : QStringLiteral("Outgoing"),
                     interface));
        m_ui->gatewayColumn->addItem(item);
    }
    if (selected >= 0 && selected < m_ui->gatewayColumn->count()) {
        m_ui->gatewayColumn->setCurrentRow(selected);
    }
    loadPortMapColumn();
}

void NatConfigController::loadPortMapColumn()
{
    const int selected = m_ui->portMapColumn->currentRow();
    m_ui->portMapColumn->clear();
    const Value::Dictionary* gateway = gatewayAt(selectedGateway());
    if (gateway == nullptr || integerOf(*gateway, kNatGatewayExternal) == 0) {
        return;
    }
    const auto list = gateway->find(kPortmapList);
    if (list == gateway->end() || list->second.array() == nullptr) {
        return;
    }
    for (const Value& map : *list->second.array()) {
        const Value::Dictionary& m = map.dictionary() != nullptr ? *map.dictionary() : Value::Dictionary {};
        m_ui->portMapColumn->addItem(
            new QListWidgetItem(Resources::image(QStringLiteral("Internet")),
                                QStringLiteral("%1\nRedirected to %2 port %3")
                                    .arg(textOf(m, kPortmapLabel), textOf(m, kPortmapIp), textOf(m, kPortmapPort))));
    }
    if (selected >= 0 && selected < m_ui->portMapColumn->count()) {
        m_ui->portMapColumn->setCurrentRow(selected);
    }
}

void NatConfigController::valueChanged()
{
    emit quickConfigValueChanged();
}

void NatConfigController::gatewayInterfaceChanged()
{
    loadGatewayColumn();
    updateDynamicAddressFor(selectedInterfaceName(), true);
    m_ui->enableGateway->setEnabled(true);
    valueChanged();
}

void NatConfigController::addGateway()
{
    m_sheetMode = SheetMode::Add;
    m_gatewaySheetDialog->open();
}

void NatConfigController::editGateway()
{
    const Value::Dictionary* gateway = gatewayAt(selectedGateway());
    if (gateway == nullptr) {
        return;
    }
    if (textOf(*gateway, kNatGatewayIp) == QLatin1String(kDefaultGateway)) {
        QApplication::beep();
        return;
    }
    QComboBox* menu = m_gatewaySheet->gatewayInterfaceMenu;
    const int index = menu->findData(textOf(*gateway, kNatInterface));
    menu->setCurrentIndex(index >= 0 ? index : (menu->count() > 0 ? 0 : -1));
    m_gatewaySheet->gatewayIPField->setText(textOf(*gateway, kNatGatewayIp));
    m_gatewaySheet->gatewayIsExternal->setChecked(integerOf(*gateway, kNatGatewayExternal) != 0);
    m_gatewaySheet->gatewayAllowLocal->setChecked(integerOf(*gateway, kNatAllowLocal) != 0);
    m_sheetMode = SheetMode::Edit;
    m_gatewaySheetDialog->open();
}

void NatConfigController::deleteGateway()
{
    const int row = selectedGateway();
    const Value::Dictionary* gateway = gatewayAt(row);
    if (gateway == nullptr) {
        return;
    }
    if (textOf(*gateway, kNatGatewayIp) == QLatin1String(kDefaultGateway)) {
        QApplication::beep();
        return;
    }
    m_gateways.erase(m_gateways.begin() + row);
    loadGatewayColumn();
    valueChanged();
}

void NatConfigController::gatewaySheetDidEnd(int returnCode)
{
    m_gatewaySheetDialog->hide();
    if (returnCode != kSheetOk) {
        return;
    }
    Value added;
    Value::Dictionary* record = nullptr;
    if (m_sheetMode == SheetMode::Add) {
        added = Value(Value::Dictionary {});
        record = added.dictionary();
    } else {
        record = gatewayAt(selectedGateway());
        if (record == nullptr) {
            return;
        }
    }
    const QString name = m_gatewaySheet->gatewayInterfaceMenu->currentData().toString();
    (*record)[kNatInterface] = Value(name.isEmpty() ? std::string("en0") : name.toStdString());
    if (m_sheetMode == SheetMode::Add) {
        (*record)[kPortmapList] = Value(Value::Array {});
    }
    (*record)[kNatGatewayIp] = Value(m_gatewaySheet->gatewayIPField->text().trimmed().toStdString());
    (*record)[kNatGatewayExternal] = Value::integer(m_gatewaySheet->gatewayIsExternal->isChecked() ? 1 : 0);
    (*record)[kNatAllowLocal] = Value::integer(m_gatewaySheet->gatewayAllowLocal->isChecked() ? 1 : 0);
    if (m_sheetMode == SheetMode::Add) {
        m_gateways.push_back(std::move(added));
    }
    loadGatewayColumn();
    valueChanged();
}

void NatConfigController::serviceChanged()
{
    m_redirectSheet->protoCombo->setEnabled(false);
    m_redirectSheet->portField->setEnabled(false);
    const int tag = m_redirectSheet->redirectedServiceMenu->currentData().toInt();
    if (tag >= 0 && tag < kCustomServiceTag) {
        m_redirectSheet->protoCombo->setCurrentText(QStringLiteral("tcp"));
        m_redirectSheet->portField->setText(QString::number(kRedirectServices[tag].port));
    } else if (tag == kCustomServiceTag) {
        m_redirectSheet->protoCombo->setEnabled(true);
        m_redirectSheet->portField->setEnabled(true);
    }
}

void NatConfigController::addRedirect()
{
    const Value::Dictionary* gateway = gatewayAt(selectedGateway());
    if (gateway == nullptr) {
        return;
    }
    if (integerOf(*gateway, kNatGatewayExternal) == 0) {
        QApplication::beep();
        return;
    }
    serviceChanged();
    m_sheetMode = SheetMode::Add;
    m_redirectSheetDialog->open();
}

void NatConfigController::editRedirect()
{
    const Value::Dictionary* gateway = gatewayAt(selectedGateway());
    const int row = selectedPortMap();
    if (gateway == nullptr || row < 0) {
        return;
    }
    const auto list = gateway->find(kPortmapList);
    if (list == gateway->end() || list->second.array() == nullptr ||
        row >= static_cast<int>(list->second.array()->size())) {
        return;
    }
    const Value& map = (*list->second.array())[static_cast<std::size_t>(row)];
    const Value::Dictionary& m = map.dictionary() != nullptr ? *map.dictionary() : Value::Dictionary {};
    m_redirectSheet->protoCombo->setCurrentText(textOf(m, kPortmapProtocol));
    m_redirectSheet->redirectIPField->setText(textOf(m, kPortmapIp));
    m_redirectSheet->redirectPort->setText(textOf(m, kPortmapPort));
    const int service = m_redirectSheet->redirectedServiceMenu->findText(textOf(m, kPortmapLabel));
    if (service >= 0) {
        m_redirectSheet->redirectedServiceMenu->setCurrentIndex(service);
    }
    m_redirectSheet->portField->setText(textOf(m, kPortmapInPort));
    serviceChanged();
    m_sheetMode = SheetMode::Edit;
    m_redirectSheetDialog->open();
}

void NatConfigController::deleteRedirect()
{
    Value::Dictionary* gateway = gatewayAt(selectedGateway());
    const int row = selectedPortMap();
    if (gateway == nullptr || row < 0) {
        return;
    }
    auto list = gateway->find(kPortmapList);
    if (list == gateway->end() || list->second.array() == nullptr ||
        row >= static_cast<int>(list->second.array()->size())) {
        return;
    }
    list->second.array()->erase(list->second.array()->begin() + row);
    loadPortMapColumn();
    valueChanged();
}

void NatConfigController::redirectSheetDidEnd(int returnCode)
{
    m_redirectSheetDialog->hide();
    if (returnCode != kSheetOk) {
        return;
    }
    Value::Dictionary* gateway = gatewayAt(selectedGateway());
    if (gateway == nullptr) {
        return;
    }
    Value::Array maps;
    if (const auto list = gateway->find(kPortmapList); list != gateway->end() && list->second.array() != nullptr) {
        maps = *list->second.array();
    }
    Value added(Value::Dictionary {});
    Value* record = &added;
    if (m_sheetMode == SheetMode::Edit) {
        const int row = selectedPortMap();
        if (row < 0 || row >= static_cast<int>(maps.size())) {
            return;
        }
        record = &maps[static_cast<std::size_t>(row)];
    }
    record->set(kPortmapProtocol, Value(m_redirectSheet->protoCombo->currentText().trimmed().toStdString()));
    record->set(kPortmapIp, Value(m_redirectSheet->redirectIPField->text().trimmed().toStdString()));
    record->set(kPortmapPort, Value::integer(leadingInteger(m_redirectSheet->redirectPort->text().toStdString())));
    record->set(kPortmapLabel, Value(m_redirectSheet->redirectedServiceMenu->currentText().toStdString()));
    record->set(kPortmapInPort, Value::integer(leadingInteger(m_redirectSheet->portField->text().toStdString())));
    if (m_sheetMode == SheetMode::Add) {
        maps.push_back(std::move(added));
    }
    (*gateway)[kPortmapList] = Value(std::move(maps));
    loadPortMapColumn();
    valueChanged();
}

void NatConfigController::browserClicked()
{
    m_ui->portMapColumn->viewport()->update();
}

void NatConfigController::browserDoubleClicked(QListWidgetItem* item)
{
    if (!m_ui->startStopButton->isEnabled() || m_gateway.natdIsRunning() || item == nullptr) {
        return;
    }
    if (item->listWidget() == m_ui->gatewayColumn) {
        editGateway();
    } else {
        editRedirect();
    }
}

void NatConfigController::showRunningState(bool running)
{
    if (running) {
        m_ui->startStopButton->setIcon(Resources::image(QStringLiteral("Stop")));
        m_ui->startStopButton->setText(tr("Stop IP Sharing"));
        disableControls();
    } else {
        m_ui->startStopButton->setIcon(Resources::image(QStringLiteral("globe")));
        m_ui->startStopButton->setText(tr("Start IP Sharing"));
        enableControls();
    }
}

void NatConfigController::updateSharingStatus()
{
    showRunningState(m_gateway.natdIsRunning());
}

void NatConfigController::toggleSharing()
{
    const bool running = m_gateway.natdIsRunning();
    if (!m_gateway.authenticate()) {
        return;
    }
    m_ui->startStopButton->setEnabled(false);
    auto* job = GatewayJob::start(
        m_gateway,
        [running](IPFWManager& gateway) {
            if (running) {
                gateway.stopNatdServer();
            } else {
                gateway.startNatdServer();
            }
        },
        this);
    connect(job, &GatewayJob::done, this, [this] {
        m_ui->startStopButton->setEnabled(m_authenticated || m_gateway.isAuthenticated());
        updateSharingStatus();
        emit sharingToggled();
    });
}

} // namespace kw::app
