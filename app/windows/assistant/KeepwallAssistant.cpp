#include "KeepwallAssistant.h"

#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "adapters/UserDefaults.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "core/FieldChecks.h"
#include "core/IPFWManager.h"
#include "core/KeyValueSorting.h"
#include "models/ArrayTableDataSource.h"
#include "network/KWDynamicStore.h"
#include "rules/ServiceFilter.h"
#include "ui_KeepwallAssistant.h"
#include "widgets/LockPattern.h"
#include "widgets/MessageBox.h"
#include "windows/KeepwallController.h"
#include "windows/NewConfigurationController.h"

#include <QButtonGroup>
#include <QDeadlineTimer>
#include <QHeaderView>
#include <QThread>

namespace kw::app {

using namespace kw::keys;

namespace {

QPointer<KeepwallAssistant> g_shared;

// Keys of a service row of the table.
constexpr char kRowValue[] = "value";
constexpr char kRowName[] = "name";
constexpr char kRowPort[] = "port";
constexpr char kRowProtocol[] = "protocol";
constexpr char kRowService[] = "service";

// Keys of a service record of the "ServiceList" resource.
constexpr char kServiceName[] = "ServiceName";
constexpr char kServicePort[] = "ServicePort";
constexpr char kServiceProto[] = "ServiceProto";
constexpr char kServiceInfo[] = "ServiceInfo";
constexpr char kServiceActionDefault[] = "ServiceActionDefault";

// The order number every filter of the assistant carries; generation renumbers them.
constexpr std::int64_t kAssistantOrderNumber = 2000;

constexpr const char* kSharingRunningTitle = "IP Sharing Running";
constexpr const char* kSharingRunningText =
    "You cannot alter the firewall rules while IP Sharing is running.\nPlease stop IP Sharing first.";
constexpr const char* kLockedWarning = "Click the lock button below to start setting up your firewall.";

// Dial-up links never face the local network.
bool isDialUp(const QString& name)
{
    return name == QLatin1String("ppp0") || name == QLatin1String("pppoe0");
}

QString textOf(const Value& record, const char* key)
{
    return QString::fromStdString(stringValueOf(record.get(key)));
}

// The service table: the "value" column is a check box, the others show the row's texts.
class ServiceChoiceModel : public ArrayTableDataSource {
public:
    using ArrayTableDataSource::ArrayTableDataSource;

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (index.isValid() && columnIdentifier(index.column()) == QLatin1String(kRowValue)) {
            if (role == Qt::CheckStateRole) {
                return integerValueOf(rows()[static_cast<std::size_t>(index.row())].get(kRowValue)) > 0 ? Qt::Checked
                                                                                                        : Qt::Unchecked;
            }
            if (role == Qt::DisplayRole || role == Qt::EditRole) {
                return {};
            }
        }
        return ArrayTableDataSource::data(index, role);
    }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override
    {
        if (index.isValid() && role == Qt::CheckStateRole &&
            columnIdentifier(index.column()) == QLatin1String(kRowValue)) {
            const bool checked = value.toInt() == Qt::Checked;
            updateRow(index.row(), [checked](Value& row) { row.set(kRowValue, Value::integer(checked ? 1 : 0)); });
            emit dataChanged(index, index, { Qt::CheckStateRole });
            return true;
        }
        return ArrayTableDataSource::setData(index, value, role);
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        Qt::ItemFlags f = ArrayTableDataSource::flags(index);
        if (index.isValid() && columnIdentifier(index.column()) == QLatin1String(kRowValue)) {
            f |= Qt::ItemIsUserCheckable;
        }
        return f;
    }
};

} // namespace

KeepwallAssistant& KeepwallAssistant::sharedInstance()
{
    if (!g_shared) {
        auto& window = NewConfigurationController::sharedInstance();
        g_shared = new KeepwallAssistant(IPFWManager::sharedInstance(), &window, &window);
    }
    return *g_shared;
}

KeepwallAssistant::KeepwallAssistant(IPFWManager& gateway, NewConfigurationController* configurationWindow,
                                     QWidget* parent)
    : QDialog(parent)
    , m_gateway(gateway)
    , m_configurationWindow(configurationWindow)
    , m_ui(std::make_unique<Ui::KeepwallAssistant>())
    , m_ipAddressMatrix(new QButtonGroup(this))
    , m_allowRules(new ServiceChoiceModel(this))
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("KeepwallAssistant"));
    setWindowFlag(Qt::Sheet);
    setWindowModality(Qt::WindowModal);
    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &KeepwallAssistant::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &KeepwallAssistant::userDeauthenticated);
    windowDidLoad();
}

KeepwallAssistant::~KeepwallAssistant()
{
    waitForJobs(60000);
}

void KeepwallAssistant::windowDidLoad()
{
    m_ipAddressMatrix->addButton(m_ui->ipAddressAutomatic, 0);
    m_ipAddressMatrix->addButton(m_ui->ipAddressFixed, 1);
    connect(m_ipAddressMatrix, &QButtonGroup::idClicked, this, &KeepwallAssistant::ipAddressTypeChanged);

    m_allowRules->setColumns({ QString::fromLatin1(kRowValue), QString::fromLatin1(kRowName),
                               QString::fromLatin1(kRowProtocol), QString::fromLatin1(kRowPort) },
                             { tr("Allow"), tr("Service"), tr("Protocol"), tr("Port") });
    m_allowRules->setTableView(m_ui->allowedTable);
    Value::Array rows;
    const Value& serviceList = Resources::propertyList(QStringLiteral("ServiceList"));
    if (const Value* list = serviceList.get("ServiceList"); list != nullptr && list->array() != nullptr) {
        for (const Value& service : *list->array()) {
            if (integerValueOf(service.get(kServiceActionDefault)) != 1) {
                continue;
            }
            Value row;
            row.set(kRowValue, Value::integer(0));
            row.set(kRowName, Value(stringValueOf(service.get(kServiceName))));
            row.set(kRowPort, Value(stringValueOf(service.get(kServicePort))));
            row.set(kRowProtocol, Value(stringValueOf(service.get(kServiceProto))));
            row.set(kRowService, service);
            rows.push_back(std::move(row));
        }
    }
    m_allowRules->setObjectArray(std::move(rows));
    QHeaderView* header = m_ui->allowedTable->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    m_ui->allowedTable->verticalHeader()->hide();
    connect(m_ui->allowedTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &KeepwallAssistant::allowSelectionChanged);

    m_ui->gatewayIPCombo->addItems({ QString::fromLatin1(kDefaultLocalGateway), QStringLiteral("10.0.1.1"),
                                     QStringLiteral("10.0.2.1"), QStringLiteral("172.16.1.1") });

    connect(m_ui->lockButton, &QToolButton::clicked, this,
            [this] { KeepwallController::toggleAuthentication(m_gateway); });
    connect(m_ui->pageOneButton, &QPushButton::clicked, this, &KeepwallAssistant::nextPage);
    connect(m_ui->pageTwoButton, &QPushButton::clicked, this, &KeepwallAssistant::nextPage);
    connect(m_ui->pageThreeButton, &QPushButton::clicked, this, &KeepwallAssistant::nextPage);
    for (QPushButton* back :
         { m_ui->interfaceBackButton, m_ui->servicesBackButton, m_ui->finishBackButton, m_ui->sharingBackButton }) {
        connect(back, &QPushButton::clicked, this, &KeepwallAssistant::previousPage);
    }
    for (QPushButton* cancel : { m_ui->introCancelButton, m_ui->interfaceCancelButton, m_ui->servicesCancelButton,
                                 m_ui->finishCancelButton, m_ui->sharingCancelButton }) {
        connect(cancel, &QPushButton::clicked, this, [this] { setupSheetDidEnd(kSheetCancel); });
    }
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { setupSheetDidEnd(kSheetOk); });
    connect(m_ui->gotoNatSetupButton, &QPushButton::clicked, this, &KeepwallAssistant::gotoNatSetup);
    connect(m_ui->saveAndApplyButton, &QPushButton::clicked, this, &KeepwallAssistant::saveAndApply);
    connect(m_ui->sharingApplyButton, &QPushButton::clicked, this, &KeepwallAssistant::saveAndApply);
    connect(m_ui->saveAndInstallButton, &QPushButton::clicked, this, &KeepwallAssistant::saveAndInstall);
    connect(m_ui->saveAndInstallNatdButton, &QPushButton::clicked, this, &KeepwallAssistant::saveAndInstallNatd);
    connect(m_ui->openNetworkPrefsButton, &QPushButton::clicked, this, &KeepwallAssistant::openNetworkPrefs);

    buildExternalMenuForInterfaces(currentInterfaceList());
    m_ipAddressMatrix->button(0)->setChecked(true);
    ipAddressTypeChanged();
    selectFixedAddressOfCurrentService();
    // A sheet made after the launch's announcement starts from the state as it is.
    if (m_gateway.isAuthenticated()) {
        userAuthenticated();
    } else {
        userDeauthenticated();
    }
}

bool KeepwallAssistant::shouldRunAtLaunch(bool currentSettingLoaded)
{
    return !UserDefaults::boolValue(QString::fromLatin1(UserDefaults::kAssistantFirstRun)) || !currentSettingLoaded;
}

void KeepwallAssistant::runFromConfigurationWindow(NewConfigurationController& window, KeepwallAssistant& assistant)
{
    const QString firstRunKey = QString::fromLatin1(UserDefaults::kAssistantFirstRun);
    if (UserDefaults::boolValue(firstRunKey) && assistant.m_gateway.natdIsRunning()) {
        MessageBox::ask(&window, QMessageBox::Warning, QString::fromLatin1(kSharingRunningTitle),
                        QString::fromLatin1(kSharingRunningText), { { QMessageBox::Ok, tr("OK") } });
        window.showIPSharingSettings();
        return;
    }
    assistant.setConfigurationWindow(&window);
    assistant.resetAssistant();
    assistant.setCurrentSettingKey(window.settingKey());
    assistant.open();
    UserDefaults::setValue(firstRunKey, true);
}

std::optional<int> KeepwallAssistant::natdInterfaceSelector(const std::string& interfaceName)
{
    static const char* const kSelectors[] = { "en0", "ppp0", "pppoe0", "en1" };
    for (int tag = 0; tag < static_cast<int>(std::size(kSelectors)); ++tag) {
        if (interfaceName == kSelectors[tag]) {
            return tag;
        }
    }
    return std::nullopt;
}

void KeepwallAssistant::setCurrentSettingKey(const std::string& key)
{
    m_currentSettingKey = key.empty() ? std::string(kDefaultKey) : key;
}

const Value::Array& KeepwallAssistant::allowRules() const
{
    return m_allowRules->rows();
}

int KeepwallAssistant::currentPage() const
{
    return m_ui->tabView->currentIndex();
}

Value::Array KeepwallAssistant::currentInterfaceList()
{
    Value templateInterface(Value::Dictionary {});
    if (const Value::Array* defaults = Resources::propertyList(QStringLiteral("InterfaceDefaults")).array();
        defaults != nullptr && !defaults->empty()) {
        templateInterface = defaults->back();
    }
    Value::Array interfaces;
    for (const KWService& service : KWLocation::currentLocation().services()) {
        const auto device = service.deviceName();
        // A service without a device has no interface the rules could name.
        if (!device || device->empty()) {
            continue;
        }
        Value interface = templateInterface;
        interface.set(kInterfaceLabel, Value(service.name().value_or(*device)));
        interface.set(kInterfaceName, Value(*device));
        interfaces.push_back(std::move(interface));
    }
    return interfaces;
}

void KeepwallAssistant::buildExternalMenuForInterfaces(const Value::Array& interfaces)
{
    m_ui->externalMenu->clear();
    m_ui->localNetworkMenu->clear();
    for (const Value& interface : interfaces) {
        const QString label = textOf(interface, kInterfaceLabel);
        const QString name = textOf(interface, kInterfaceName);
        const QString title = QStringLiteral("%1 (%2)").arg(label, name);
        m_ui->externalMenu->addItem(title, name);
        if (!isDialUp(name)) {
            m_ui->localNetworkMenu->addItem(title, name);
        }
    }
    if (const auto service = KWService::currentService()) {
        if (const auto device = service->deviceName()) {
            const int index = m_ui->externalMenu->findData(QString::fromStdString(*device));
            if (index >= 0) {
                m_ui->externalMenu->setCurrentIndex(index);
            }
        }
    }
}

void KeepwallAssistant::selectFixedAddressOfCurrentService()
{
    const auto service = KWService::currentService();
    if (!service || !service->hasStaticAddress()) {
        return;
    }
    m_ipAddressMatrix->button(1)->setChecked(true);
    ipAddressTypeChanged();
    if (const auto addresses = service->IPAddresses(); addresses && !addresses->empty()) {
        m_ui->ipAddressField->setText(QString::fromStdString(addresses->front()));
    }
}

void KeepwallAssistant::ipAddressTypeChanged()
{
    m_ui->ipAddressField->setEnabled(m_ipAddressMatrix->checkedId() != 0);
}

void KeepwallAssistant::allowSelectionChanged()
{
    const auto selected = m_ui->allowedTable->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        m_ui->allowLabel->clear();
        return;
    }
    const Value row = m_allowRules->objectAtRow(selected.first().row());
    const Value* service = row.get(kRowService);
    m_ui->allowLabel->setText(QStringLiteral("%1 (%2 port %3)")
                                  .arg(service != nullptr ? textOf(*service, kServiceInfo) : QString(),
                                       textOf(row, kRowProtocol), textOf(row, kRowPort)));
}

void KeepwallAssistant::resetAssistant()
{
    showPage(kIntroPage);
    m_allowRules->setObjectArray([this] {
        Value::Array rows = m_allowRules->rows();
        for (Value& row : rows) {
            if (Value::Dictionary* record = row.dictionary()) {
                record->erase(kRowValue);
            }
        }
        return rows;
    }());
    m_ui->allowedTable->clearSelection();
    m_ui->allowLabel->clear();
    m_ui->ipAddressField->clear();
    m_ui->ipAddressField->setEnabled(false);
    m_ipAddressMatrix->button(0)->setChecked(true);
    // A run that ends without choosing sharing at startup never inherits it from an earlier run.
    m_enableNatdAtStartup = false;
    buildExternalMenuForInterfaces(currentInterfaceList());
    selectFixedAddressOfCurrentService();
}

void KeepwallAssistant::showPage(int page)
{
    m_ui->tabView->setCurrentIndex(page);
}

void KeepwallAssistant::nextPage()
{
    const int page = currentPage();
    if (page == kIntroPage && !m_gateway.isAuthenticated()) {
        return;
    }
    if (page == kInterfacePage) {
        if (const auto problem = fieldProblem()) {
            MessageBox::warningSheet(this, tr("Invalid Address"), *problem, tr("OK"));
            return;
        }
    }
    if (page < kFinishPage) {
        showPage(page + 1);
    }
}

void KeepwallAssistant::previousPage()
{
    const int page = currentPage();
    // The sharing page is reached from the last page; going back returns there.
    showPage(page == kSharingPage ? kFinishPage : std::max(page - 1, 0));
}

std::optional<std::string> KeepwallAssistant::externalInterfaceName() const
{
    const QVariant carried = m_ui->externalMenu->currentData();
    if (carried.isValid() && !carried.toString().isEmpty()) {
        return carried.toString().toStdString();
    }
    // An item without a name: the older fixed menu's tags.
    switch (m_ui->externalMenu->currentIndex()) {
    case 0:
        return std::string("en0");
    case 1:
        return std::string("ppp0");
    case 2:
        return IPFWManager::pppoeName();
    case 3:
        return std::string("en1");
    default:
        return std::nullopt;
    }
}

std::optional<QString> KeepwallAssistant::fieldProblem() const
{
    const QString fixed = m_ui->ipAddressField->text().trimmed();
    if (m_ipAddressMatrix->checkedId() != 0 && !fixed.isEmpty()) {
        if (const auto problem = addressProblem(fixed.toStdString(), false)) {
            return tr("The fixed address: %1").arg(QString::fromStdString(*problem));
        }
    }
    const QString local = m_ui->gatewayIPCombo->currentText().trimmed();
    if (!local.isEmpty()) {
        if (const auto problem = addressProblem(local.toStdString(), false)) {
            return tr("The local network address: %1").arg(QString::fromStdString(*problem));
        }
    }
    return std::nullopt;
}

void KeepwallAssistant::addAllowRules(const Value::Array& rows, Value& interface) const
{
    const QString fixed = m_ui->ipAddressField->text().trimmed();
    const std::string destination =
        m_ipAddressMatrix->checkedId() == 1 && !fixed.isEmpty() ? fixed.toStdString() : std::string("any");
    Value::Array filters;
    if (const Value* list = interface.get(kFilterList); list != nullptr && list->array() != nullptr) {
        filters = *list->array();
    }
    for (const Value& row : rows) {
        if (integerValueOf(row.get(kRowValue)) <= 0) {
            continue;
        }
        Value filter(Value::Dictionary {});
        filter.set(ServiceFilterAction, Value("allow"));
        filter.set(ServiceFilterSrcHost, Value("any"));
        filter.set(ServiceFilterSrcHostType, Value::integer(kHostInternet));
        filter.set(ServiceFilterDstHost, Value(destination));
        filter.set(ServiceFilterDstHostType, Value::integer(kHostMyComputer));
        filter.set(ServiceFilterLabel, Value(stringValueOf(row.get(kRowName))));
        filter.set(ServiceFilterPort, Value(stringValueOf(row.get(kRowPort))));
        filter.set(ServiceFilterProtocol, Value(stringValueOf(row.get(kRowProtocol))));
        filter.set(ServiceFilterIPOptions, Value(""));
        filter.set(ServiceFilterOrderNumber, Value::integer(kAssistantOrderNumber));
        filter.set(ServiceFilterShouldLog, Value::integer(0));
        filters.push_back(std::move(filter));
    }
    interface.set(kFilterList, Value(std::move(filters)));
}

Value KeepwallAssistant::settingToStore(const KeepwallPrefs& prefs) const
{
    Value::Array interfaces = currentInterfaceList();
    const Value* stored = prefs.settingForKey(m_currentSettingKey);

    Value setting(Value::Dictionary {});
    setting.set(kConfigMode, Value::integer(0));
    const std::string storedName = stored != nullptr ? stringValueOf(stored->get(kSettingName)) : std::string();
    setting.set(kSettingName, Value(storedName.empty() ? std::string(kDefaultKey) : storedName));
    if (const Value* scset = stored != nullptr ? stored->get(kAssociatedScset) : nullptr) {
        setting.set(kAssociatedScset, *scset);
    }
    setting.set(kExpertConfigEdit, Value::integer(0));
    setting.set(kExpertConfigText, Value(""));
    setting.set(kNatdExpertText, Value(""));

    const auto external = externalInterfaceName();
    const int addressType = std::max(m_ipAddressMatrix->checkedId(), 0);
    if (external) {
        if (const Value* entry = KeyValueSorting::objectWithValue(interfaces, Value(*external), kInterfaceName)) {
            Value configured = *entry;
            addAllowRules(m_allowRules->rows(), configured);
            configured.set(kEnableFirewall, Value::integer(1));
            configured.set(kIpHostAddressType, Value::integer(addressType));
            configured.set(kIpHostAddress, Value(m_ui->ipAddressField->text().trimmed().toStdString()));
            KeyValueSorting::updateObject(interfaces, std::move(configured), Value(*external), kInterfaceName);
        }
    }
    setting.set(kInterfaceList, Value(std::move(interfaces)));

    Value nat = Resources::propertyList(QStringLiteral("NatDefaults"));
    if (!nat.isDictionary()) {
        nat = Value(Value::Dictionary {});
    }
    Value::Array templateGateways;
    if (const Value* list = nat.get(kGateways); list != nullptr && list->array() != nullptr) {
        templateGateways = *list->array();
    }
    // Each gateway starts from the template's, so its other values (allowing the local network)
    // come along.
    Value outside = templateGateways.size() > 0 ? templateGateways[0] : Value(Value::Dictionary {});
    outside.set(kPortmapList, Value(Value::Array {}));
    outside.set(kNatGatewayIp, Value(kDefaultGatewayText));
    if (external) {
        outside.set(kNatInterface, Value(*external));
    } else if (Value::Dictionary* record = outside.dictionary()) {
        record->erase(kNatInterface);
    }
    outside.set(kNatGatewayExternal, Value::integer(1));

    Value inside = templateGateways.size() > 1 ? templateGateways[1] : Value(Value::Dictionary {});
    const QString localAddress = m_ui->gatewayIPCombo->currentText().trimmed();
    inside.set(kNatGatewayIp,
               Value(localAddress.isEmpty() ? std::string(kDefaultLocalGateway) : localAddress.toStdString()));
    std::optional<std::string> localName;
    if (const QVariant carried = m_ui->localNetworkMenu->currentData();
        carried.isValid() && !carried.toString().isEmpty()) {
        localName = carried.toString().toStdString();
    } else if (m_ui->localNetworkMenu->currentIndex() == 0) {
        localName = "en0";
    } else if (m_ui->localNetworkMenu->currentIndex() == 1) {
        localName = "en1";
    }
    if (localName) {
        inside.set(kNatInterface, Value(*localName));
    } else if (Value::Dictionary* record = inside.dictionary()) {
        record->erase(kNatInterface);
    }
    inside.set(kNatGatewayExternal, Value::integer(0));
    nat.set(kGateways, Value(Value::Array { std::move(outside), std::move(inside) }));

    // The shared interface goes where every reader takes a name from: NATD_INTERFACENAME, which
    // wins over the older NATD_INTERFACE. That selector is a number, so it gets the number of the
    // same interface when the interface has one, and is left out otherwise (a template's 0
    // would name en0 to a reader that knows only the number).
    Value::Dictionary& natRecord = *nat.dictionary();
    natRecord.erase(kNatdInterfaceName);
    natRecord.erase(kNatdInterface);
    if (external) {
        nat.set(kNatdInterfaceName, Value(*external));
        if (const auto selector = natdInterfaceSelector(*external)) {
            nat.set(kNatdInterface, Value::integer(*selector));
        }
    }
    nat.set(kNatDynAddress, Value::integer(addressType == 0 ? 1 : 0));
    nat.set(kNatdStartup, Value::integer(m_enableNatdAtStartup ? 1 : 0));
    setting.set(kNatConfig, std::move(nat));
    return setting;
}

Value KeepwallAssistant::documentToStore(const KeepwallPrefs& prefs) const
{
    Value::Dictionary stored = prefs.storedSettings();
    stored[m_currentSettingKey] = settingToStore(prefs);
    Value document(Value::Dictionary {});
    document.set(kStoredSettings, Value(std::move(stored)));
    document.set(kCurrentSetting, Value(m_currentSettingKey));
    document.set(kEnableLogging, Value::integer(1));
    if (prefs.valueForPath(kDefaultConfiguration) == nullptr) {
        document.set(kDefaultConfiguration, Value(m_currentSettingKey));
    }
    return document;
}

void KeepwallAssistant::runJob(std::function<void(IPFWManager&)> work, std::function<void(bool failed)> after)
{
    m_jobs.run(std::move(work), std::move(after));
}

bool KeepwallAssistant::waitForJobs(int milliseconds)
{
    return m_jobs.wait(milliseconds);
}

void KeepwallAssistant::saveSettingsToCurrent(std::function<void(bool stored)> then)
{
    if (m_writing) {
        return;
    }
    if (const auto problem = fieldProblem()) {
        // Text that is no address never reaches the rule file or the natd configuration.
        MessageBox::warningSheet(this, tr("Invalid Address"), *problem, tr("OK"));
        return;
    }
    m_writing = true;
    // The document is made here, on the GUI thread; the job only hands it to the tool.
    KeepwallPrefs prefs;
    Value document = documentToStore(prefs);
    const std::string key = m_currentSettingKey;
    const std::string interfaceName = externalInterfaceName().value_or(std::string());
    if (!m_gateway.authenticate()) {
        logLine("ERROR: Configuration not stored");
        enableLoggingAndNotify(key, interfaceName, false, std::move(then));
        return;
    }
    auto stored = std::make_shared<bool>(false);
    runJob([document = std::move(document),
            stored](IPFWManager& gateway) { *stored = gateway.storeConfiguration(document); },
           [this, stored, key, interfaceName, then = std::move(then)](bool failed) mutable {
               const bool ok = *stored && !failed;
               logLine(ok ? "Configuration stored" : "ERROR: Configuration not stored");
               enableLoggingAndNotify(key, interfaceName, ok, std::move(then));
           });
}

void KeepwallAssistant::enableLoggingAndNotify(const std::string& key, const std::string& interfaceName, bool stored,
                                               std::function<void(bool)> then)
{
    auto notify = [this, key, interfaceName, stored, then = std::move(then)](bool) {
        // The window shows what was stored before it is asked to activate or install it; the
        // tool's own change notice may still be on its way.
        if (stored && m_configurationWindow) {
            m_configurationWindow->loadCurrentSettings();
        }
        NotificationCenter& center = NotificationCenter::defaultCenter();
        center.post({ notifications::kSettingsChanged, Value(key), Value() });
        center.post({ kInterfaceConfigured, Value(interfaceName), Value() });
        m_writing = false;
        if (then) {
            then(stored);
        }
        emit settingWritten(stored);
    };
    // After a refused store this asks for authentication once more, as switching logging on
    // does by itself.
    if (!m_gateway.authenticate()) {
        notify(true);
        return;
    }
    runJob([](IPFWManager& gateway) { gateway.enableFWLogging(); }, std::move(notify));
}

void KeepwallAssistant::finishWith(std::function<void()> followUp)
{
    saveSettingsToCurrent([this, followUp = std::move(followUp)](bool stored) {
        // A refused store keeps the sheet open: activating or installing now would load the
        // setting that was stored before, not the one the person just made.
        if (!stored) {
            return;
        }
        done(kSheetCancel);
        if (followUp) {
            followUp();
        }
    });
}

void KeepwallAssistant::saveAndApply()
{
    finishWith([this] {
        if (m_configurationWindow) {
            m_configurationWindow->applySettings();
        }
    });
}

void KeepwallAssistant::saveAndInstall()
{
    finishWith([this] {
        if (m_configurationWindow) {
            m_configurationWindow->saveToStartupFile();
        }
    });
}

void KeepwallAssistant::saveAndInstallNatd()
{
    m_enableNatdAtStartup = true;
    saveAndInstall();
}

void KeepwallAssistant::gotoNatSetup()
{
    saveSettingsToCurrent();
    if (!fieldProblem()) {
        showPage(kSharingPage);
    }
}

void KeepwallAssistant::setupSheetDidEnd(int returnCode)
{
    done(returnCode);
    if (returnCode == kSheetOk) {
        saveSettingsToCurrent();
    }
}

void KeepwallAssistant::openNetworkPrefs()
{
    // The network configuration as the system holds it: each service of the current location
    // with its device and how it gets its address.
    QStringList lines;
    for (const KWService& service : KWLocation::currentLocation().services()) {
        QString line = QStringLiteral("%1 (%2): ")
                           .arg(QString::fromStdString(service.name().value_or("?")),
                                QString::fromStdString(service.deviceName().value_or("-")));
        if (service.hasStaticAddress()) {
            QStringList addresses;
            for (const std::string& address : service.IPAddresses().value_or(std::vector<std::string> {})) {
                addresses << QString::fromStdString(address);
            }
            line += tr("fixed address %1").arg(addresses.join(QStringLiteral(", ")));
        } else {
            line += tr("address assigned automatically (%1)")
                        .arg(QString::fromStdString(service.configMethod().value_or("-")));
        }
        lines << line;
    }
    if (lines.isEmpty()) {
        lines << tr("The current network location has no services.");
    }
    MessageBox::ask(this, QMessageBox::Information, tr("Network Settings"), lines.join(QLatin1Char('\n')),
                    { { QMessageBox::Ok, tr("OK") } });
    // The person may have changed the configuration meanwhile.
    const QVariant chosen = m_ui->externalMenu->currentData();
    buildExternalMenuForInterfaces(currentInterfaceList());
    if (const int index = m_ui->externalMenu->findData(chosen); index >= 0) {
        m_ui->externalMenu->setCurrentIndex(index);
    }
}

void KeepwallAssistant::userAuthenticated()
{
    showLockState(true, m_ui->lockButton, m_ui->lockLabel, { "ClickToEnable", "ClickToDisable" },
                  { m_ui->pageOneButton });
    m_ui->lockedWarningLabel->clear();
}

void KeepwallAssistant::userDeauthenticated()
{
    showLockState(false, m_ui->lockButton, m_ui->lockLabel, { "ClickToEnable", "ClickToDisable" },
                  { m_ui->pageOneButton });
    m_ui->lockedWarningLabel->setText(QString::fromLatin1(kLockedWarning));
}

} // namespace kw::app
