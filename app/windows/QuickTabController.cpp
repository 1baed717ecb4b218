#include "QuickTabController.h"

#include "adapters/Resources.h"
#include "config/SettingsKeys.h"
#include "core/FieldChecks.h"
#include "core/IPFWManager.h"
#include "rules/IPFWInterface.h"
#include "rules/ServiceFilter.h"
#include "ui_AdvancedFilterPanel.h"
#include "ui_FilterSheet.h"
#include "ui_InterfaceOptionsSheet.h"
#include "ui_QuickTabController.h"
#include "widgets/MessageBox.h"

#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCompleter>
#include <QHeaderView>
#include <QMimeData>

namespace kw::app {

using namespace kw::keys;

namespace {

const QString kCustomService = QString::fromLatin1(kCustomServiceLabel);

const char* const kColumns[] = { "ruleNo",         "ruleAction",   "ruleServiceName", "ruleSourceHost",
                                 "directionArrow", "ruleDestHost", "ruleOptions" };
const char* const kColumnTitles[] = { "No.", "Action", "Service", "From", "", "To", "Options" };
const char* const kCustomColumns[] = { "ruleNo",         "ruleAction",     "ruleServiceName",
                                       "ruleSourceHost", "directionArrow", "ruleDestHost" };

// The extra-rule check boxes and their keys.
struct Box {
    QCheckBox* Ui::InterfaceOptionsSheet::*box;
    const char* key;
};
constexpr Box kBoxes[] = {
    { &Ui::InterfaceOptionsSheet::allowICMP, kAdvAllowIcmp },
    { &Ui::InterfaceOptionsSheet::allowNTP, kAdvAllowNtp },
    { &Ui::InterfaceOptionsSheet::allowBOOTP, kAdvAllowBootp },
    { &Ui::InterfaceOptionsSheet::allowFTPData, kAdvAllowFtpData },
    { &Ui::InterfaceOptionsSheet::allowBroadcast, kAdvAllowBroadcast },
    { &Ui::InterfaceOptionsSheet::allowDNS, kAdvAllowDns },
    { &Ui::InterfaceOptionsSheet::allowRendezvousMulticast, kAdvAllowRendezvous },
    { &Ui::InterfaceOptionsSheet::denySourceRouted, kDenySourceRoute },
};

QString text(const Value& record, const char* key)
{
    return QString::fromStdString(stringValueOf(record.get(key)));
}

std::int64_t integer(const Value& record, const char* key)
{
    return integerValueOf(record.get(key));
}

void select(QButtonGroup* group, int tag)
{
    if (QAbstractButton* button = group->button(tag)) {
        button->setChecked(true);
    }
}

int tagOf(const QButtonGroup* group)
{
    return std::max(group->checkedId(), 0);
}

QString label(const char* key)
{
    return Resources::localizedString(QStringLiteral("FirewallLabels"), QString::fromLatin1(key));
}

// A port, a range or a comma list of them, as the rule generator writes them.
bool isPortText(const QString& port)
{
    static const QRegularExpression form(QStringLiteral("^\\d{1,5}(-\\d{1,5})?(,\\d{1,5}(-\\d{1,5})?)*$"));
    if (!form.match(port).hasMatch()) {
        return false;
    }
    for (const QString& part : port.split(QRegularExpression(QStringLiteral("[-,]")))) {
        if (part.toInt() > 65535) {
            return false;
        }
    }
    return true;
}

} // namespace

QuickTabController::QuickTabController(IPFWManager& gateway, QWidget* parent)
    : QWidget(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::QuickTabController>())
    , m_sheet(std::make_unique<Ui::FilterSheet>())
    , m_advanced(std::make_unique<Ui::AdvancedFilterPanel>())
    , m_options(std::make_unique<Ui::InterfaceOptionsSheet>())
    , m_editPanel(new QDialog(this))
    , m_advFilterPanel(new QDialog(this))
    , m_interfaceOptionsPanel(new QDialog(this))
    , m_incomingDefaultMatrix(new QButtonGroup(this))
    , m_outgoingDefaultMatrix(new QButtonGroup(this))
    , m_ipAddressType(new QButtonGroup(this))
    , m_dnsTypeMatrix(new QButtonGroup(this))
    , m_dataSource(new ArrayTableDataSource(this))
{
    m_ui->setupUi(this);
    m_sheet->setupUi(m_editPanel);
    m_advanced->setupUi(m_advFilterPanel);
    m_options->setupUi(m_interfaceOptionsPanel);
    m_editPanel->setWindowModality(Qt::WindowModal);
    m_interfaceOptionsPanel->setWindowModality(Qt::WindowModal);
    m_advFilterPanel->setWindowModality(Qt::ApplicationModal);

    m_incomingDefaultMatrix->addButton(m_ui->incomingAllow, 0);
    m_incomingDefaultMatrix->addButton(m_ui->incomingDeny, 1);
    m_outgoingDefaultMatrix->addButton(m_ui->outgoingAllow, 0);
    m_outgoingDefaultMatrix->addButton(m_ui->outgoingDeny, 1);
    m_ipAddressType->addButton(m_options->ipAddressAny, 0);
    m_ipAddressType->addButton(m_options->ipAddressThis, 1);
    m_dnsTypeMatrix->addButton(m_options->dnsAny, 0);
    m_dnsTypeMatrix->addButton(m_options->dnsThis, 1);
    select(m_incomingDefaultMatrix, 1);
    select(m_outgoingDefaultMatrix, 0);
    select(m_ipAddressType, 0);
    select(m_dnsTypeMatrix, 0);
    for (QComboBox* menu : { m_sheet->srcHostMenu, m_sheet->dstHostMenu }) {
        menu->addItem(tr("My Computer"), 0);
        menu->addItem(tr("The Internet"), 1);
        menu->addItem(tr("A Host"), 2);
    }

    QStringList columns;
    QStringList titles;
    for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        columns << QString::fromLatin1(kColumns[i]);
        titles << tr(kColumnTitles[i]);
    }
    m_dataSource->setColumns(columns, titles);
    m_dataSource->setDelegate(this);
    m_dataSource->setRowColours(QColor(Qt::white), QColor(237, 243, 254));
    m_dataSource->setTableView(m_ui->ruleTable);
    m_dataSource->setDragFlavor(QString::fromLatin1(kDragFlavor));
    m_dataSource->setAcceptFlavors({ QString::fromLatin1(kDragFlavor) });
    m_dataSource->setAcceptDrops(true);
    m_ui->ruleTable->verticalHeader()->hide();
    m_ui->ruleTable->verticalHeader()->setDefaultSectionSize(40);
    m_ui->ruleTable->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = { 48, 50, 220, 130, 28, 140, 120 };
    for (int c = 0; c < static_cast<int>(std::size(widths)); ++c) {
        m_ui->ruleTable->setColumnWidth(c, widths[c]);
    }

    loadServiceList();
    m_sheet->actionMenu->setCurrentIndex(0);
    serviceChanged();
    actionMenuChanged();

    connect(m_ui->enableFirewall, &QCheckBox::clicked, this, &QuickTabController::firewallToggled);
    connect(m_incomingDefaultMatrix, &QButtonGroup::idClicked, this, &QuickTabController::defaultMatrixChanged);
    connect(m_outgoingDefaultMatrix, &QButtonGroup::idClicked, this, &QuickTabController::defaultMatrixChanged);
    connect(m_ipAddressType, &QButtonGroup::idClicked, this, &QuickTabController::ipAddressTypeToggled);
    connect(m_dnsTypeMatrix, &QButtonGroup::idClicked, this, &QuickTabController::dnsTypeChanged);
    connect(m_ui->optionsButton, &QPushButton::clicked, this, &QuickTabController::showInterfaceOptions);
    connect(m_ui->addButton, &QPushButton::clicked, this, &QuickTabController::addRule);
    connect(m_ui->editButton, &QPushButton::clicked, this, &QuickTabController::editRule);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &QuickTabController::deleteRule);
    connect(m_ui->ruleTable, &QTableView::doubleClicked, this, &QuickTabController::editRule);
    connect(m_dataSource, &ArrayTableDataSource::valueChanged, this, &QuickTabController::valueChanged);
    connect(m_sheet->servicesMenu, &QComboBox::currentIndexChanged, this, &QuickTabController::serviceChanged);
    connect(m_sheet->actionMenu, &QComboBox::currentIndexChanged, this, &QuickTabController::actionMenuChanged);
    connect(m_sheet->srcHostMenu, &QComboBox::activated, this, &QuickTabController::srcHostChanged);
    connect(m_sheet->dstHostMenu, &QComboBox::activated, this, &QuickTabController::dstHostChanged);
    connect(m_sheet->advancedButton, &QPushButton::clicked, this, &QuickTabController::advancedFilterOptions);
    connect(m_sheet->okButton, &QPushButton::clicked, this, [this] {
        if (const auto problem = sheetProblem()) {
            MessageBox::warningSheet(m_editPanel, tr("This filter cannot be used"), *problem, tr("OK"));
            return;
        }
        m_editPanel->done(kSheetOk);
    });
    connect(m_sheet->cancelButton, &QPushButton::clicked, m_editPanel, [this] { m_editPanel->done(0); });
    connect(m_editPanel, &QDialog::finished, this, &QuickTabController::sheetDidEnd);
    connect(m_advanced->okButton, &QPushButton::clicked, this, [this] {
        for (const QLineEdit* field :
             { m_advanced->sourcePort, m_advanced->advIpOptions, m_advanced->advTCPFlags, m_advanced->advICMPTypes }) {
            if (const auto unsafe = unsafeFieldText(field->text().toStdString())) {
                MessageBox::warningSheet(m_advFilterPanel, tr("This option cannot be used"),
                                         QString::fromStdString(*unsafe), tr("OK"));
                return;
            }
        }
        m_advFilterPanel->done(kSheetOk);
    });
    connect(m_advanced->cancelButton, &QPushButton::clicked, m_advFilterPanel, [this] { m_advFilterPanel->done(0); });
    connect(m_options->okButton, &QPushButton::clicked, this, [this] {
        for (const QLineEdit* field : { m_options->ipAddress, m_options->dnsIPAddress }) {
            if (field->isEnabled() && !field->text().isEmpty()) {
                if (const auto problem = addressProblem(field->text().toStdString(), false)) {
                    MessageBox::warningSheet(m_interfaceOptionsPanel, tr("This address cannot be used"),
                                             QString::fromStdString(*problem), tr("OK"));
                    return;
                }
            }
        }
        m_interfaceOptionsPanel->done(kSheetOk);
    });
    connect(m_interfaceOptionsPanel, &QDialog::finished, this, [this](int code) {
        if (code == kSheetOk) {
            valueChanged();
        }
    });
    for (const Box& box : kBoxes) {
        connect(m_options.get()->*box.box, &QCheckBox::clicked, this, &QuickTabController::valueChanged);
    }
    connect(m_options->ipAddress, &QLineEdit::textEdited, this, &QuickTabController::valueChanged);
    connect(m_options->dnsIPAddress, &QLineEdit::textEdited, this, &QuickTabController::valueChanged);
    defaultMatrixChanged();
    disableControls();
}

QuickTabController::~QuickTabController() = default;

void QuickTabController::loadServiceList()
{
    m_serviceList.clear();
    if (const Value* list = Resources::propertyList(QStringLiteral("ServiceList")).get("ServiceList");
        list != nullptr && list->array() != nullptr) {
        m_serviceList = *list->array();
    }
    QStringList names;
    for (const Value& entry : m_serviceList) {
        names << text(entry, "ServiceName");
    }
    m_sheet->servicesMenu->clear();
    m_sheet->servicesMenu->addItems(names);
    auto* completer = new QCompleter(names, m_sheet->servicesMenu);
    completer->setCompletionMode(QCompleter::InlineCompletion);
    m_sheet->servicesMenu->setCompleter(completer);
}

const Value* QuickTabController::serviceEntryNamed(const QString& name) const
{
    for (const Value& entry : m_serviceList) {
        if (text(entry, "ServiceName") == name) {
            return &entry;
        }
    }
    return nullptr;
}

const Value* QuickTabController::currentServiceEntry() const
{
    const Value* entry = serviceEntryNamed(m_sheet->servicesMenu->currentText());
    return entry != nullptr ? entry : serviceEntryNamed(kCustomService);
}

void QuickTabController::readSettings(const Value& interface)
{
    m_interface = stringValueOf(interface.get(kInterfaceName));
    m_interfaceLabel = text(interface, kInterfaceLabel);
    m_ui->enableFirewall->setChecked(integer(interface, kEnableFirewall) > 0);
    m_ui->firewallEnabled->setPixmap(
        Resources::image(m_ui->enableFirewall->isChecked() ? QStringLiteral("Enable") : QStringLiteral("Disable"))
            .pixmap(24, 24));
    if (interface.get(kDefaultOutgoingAllow) != nullptr) {
        select(m_outgoingDefaultMatrix, static_cast<int>(integer(interface, kDefaultOutgoingAllow)));
    }
    if (interface.get(kDefaultIncomingAllow) != nullptr) {
        select(m_incomingDefaultMatrix, static_cast<int>(integer(interface, kDefaultIncomingAllow)));
    }
    Value::Array filters;
    if (const Value* list = interface.get(kFilterList); list != nullptr && list->array() != nullptr) {
        for (const Value& filter : *list->array()) {
            filters.push_back(filter.isDictionary() ? filter : Value(Value::Dictionary {}));
        }
    }
    for (const Box& box : kBoxes) {
        const Value* value = interface.get(box.key);
        // Source routing is refused and multicast DNS allowed unless the setting says otherwise.
        const bool absentMeansOn =
            std::string_view(box.key) == kDenySourceRoute || std::string_view(box.key) == kAdvAllowRendezvous;
        (m_options.get()->*box.box)->setChecked(value == nullptr ? absentMeansOn : value->integerValue() > 0);
    }
    select(m_dnsTypeMatrix, static_cast<int>(integer(interface, kAdvDnsType)));
    m_options->dnsIPAddress->setText(text(interface, kAdvDnsAddress));
    select(m_ipAddressType, static_cast<int>(integer(interface, kIpHostAddressType)));
    m_options->ipAddress->setText(text(interface, kIpHostAddress));
    m_dataSource->setObjectArray(std::move(filters));
    defaultMatrixChanged();
    if (m_controlsEnabled) {
        enableControls();
    }
}

Value QuickTabController::flushSettings() const
{
    Value interface(Value::Dictionary {});
    interface.set(kEnableFirewall, Value::integer(m_ui->enableFirewall->isChecked() ? 1 : 0));
    interface.set(kFilterList, Value(m_dataSource->rows()));
    interface.set(kInterfaceName, Value(m_interface));
    interface.set(kInterfaceLabel, Value(m_interfaceLabel.toStdString()));
    interface.set(kDefaultOutgoingAllow, Value::integer(tagOf(m_outgoingDefaultMatrix)));
    interface.set(kDefaultIncomingAllow, Value::integer(tagOf(m_incomingDefaultMatrix)));
    for (const Box& box : kBoxes) {
        interface.set(box.key, Value::integer((m_options.get()->*box.box)->isChecked() ? 1 : 0));
    }
    interface.set(kAdvDnsType, Value::integer(tagOf(m_dnsTypeMatrix)));
    interface.set(kAdvDnsAddress, Value(m_options->dnsIPAddress->text().toStdString()));
    interface.set(kIpHostAddressType, Value::integer(tagOf(m_ipAddressType)));
    interface.set(kIpHostAddress, Value(m_options->ipAddress->text().toStdString()));
    return interface;
}

bool QuickTabController::isFirewallEnabled() const
{
    return m_ui->enableFirewall->isChecked();
}

std::string QuickTabController::interfaceName() const
{
    return m_interface == "pppoe0" ? IPFWManager::pppoeName() : m_interface;
}

void QuickTabController::applyDependentEnabling()
{
    const bool on = m_ui->enableFirewall->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*> {
             m_options->ipAddressAny, m_options->ipAddressThis, m_ui->optionsButton, m_ui->addButton, m_ui->editButton,
             m_ui->deleteButton, m_ui->incomingAllow, m_ui->incomingDeny, m_ui->outgoingAllow, m_ui->outgoingDeny }) {
        w->setEnabled(on);
    }
    m_options->ipAddress->setEnabled(on && tagOf(m_ipAddressType) != 0);
}

void QuickTabController::enableControls()
{
    m_controlsEnabled = true;
    m_ui->enableFirewall->setEnabled(true);
    m_dataSource->setAcceptDrops(true);
    applyDependentEnabling();
}

void QuickTabController::disableControls()
{
    m_controlsEnabled = false;
    for (QWidget* w : std::initializer_list<QWidget*> {
             m_ui->enableFirewall, m_options->ipAddressAny, m_options->ipAddressThis, m_options->ipAddress,
             m_ui->optionsButton, m_ui->addButton, m_ui->editButton, m_ui->deleteButton, m_ui->incomingAllow,
             m_ui->incomingDeny, m_ui->outgoingAllow, m_ui->outgoingDeny }) {
        w->setEnabled(false);
    }
    m_dataSource->setAcceptDrops(false);
}

void QuickTabController::firewallToggled()
{
    m_ui->firewallEnabled->setPixmap(
        Resources::image(m_ui->enableFirewall->isChecked() ? QStringLiteral("Enable") : QStringLiteral("Disable"))
            .pixmap(24, 24));
    applyDependentEnabling();
    valueChanged();
}

void QuickTabController::ipAddressTypeToggled()
{
    m_options->ipAddress->setEnabled(m_ui->enableFirewall->isChecked() && tagOf(m_ipAddressType) != 0);
    valueChanged();
}

void QuickTabController::dnsTypeChanged()
{
    m_options->dnsIPAddress->setEnabled(tagOf(m_dnsTypeMatrix) != 0);
}

void QuickTabController::defaultMatrixChanged()
{
    m_ui->incomingDefaultLabel->setText(
        label(tagOf(m_incomingDefaultMatrix) == 0 ? "AllowIncomingDefault" : "DenyIncomingDefault"));
    m_ui->outgoingDefaultLabel->setText(
        label(tagOf(m_outgoingDefaultMatrix) == 0 ? "AllowOutgoingDefault" : "DenyOutgoingDefault"));
    valueChanged();
}

void QuickTabController::showInterfaceOptions()
{
    m_options->dnsIPAddress->setEnabled(tagOf(m_dnsTypeMatrix) != 0);
    m_options->ipAddress->setEnabled(tagOf(m_ipAddressType) != 0);
    m_interfaceOptionsPanel->open();
}

void QuickTabController::valueChanged()
{
    emit quickConfigValueChanged();
}

int QuickTabController::selectedRow() const
{
    const QModelIndexList rows = m_ui->ruleTable->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void QuickTabController::selectRow(int row)
{
    m_ui->ruleTable->selectRow(row);
}

void QuickTabController::setPortAndProtocolEditable(bool editable)
{
    m_sheet->portField->setEnabled(editable);
    m_sheet->protocolCombo->setEnabled(editable);
    m_sheet->servicesMenu->setEditable(true); // typed names complete; a fixed service is chosen, not typed
    m_sheet->servicesMenu->lineEdit()->setReadOnly(!editable);
}

void QuickTabController::addRule()
{
    // Only an unlocked panel whose firewall is on takes new filters.
    if (!m_ui->addButton->isEnabled()) {
        return;
    }
    m_panelAttributes = Value(Value::Dictionary {});
    m_sheet->actionMenu->setCurrentIndex(0);
    m_sheet->servicesMenu->setCurrentIndex(0);
    m_sheet->advancedLabel->clear();
    serviceChanged();
    actionMenuChanged();
    m_context = SheetContext::Add;
    m_editPanel->open();
}

bool QuickTabController::addRuleWithPrefill(const FilterPrefill& prefill)
{
    addRule();
    if (m_context != SheetContext::Add || !m_editPanel->isVisible()) {
        return false;
    }
    int service = -1;
    for (const Value& entry : m_serviceList) {
        if (!prefill.port.isEmpty() && text(entry, "ServicePort") == prefill.port &&
            text(entry, "ServiceProto").compare(prefill.protocol, Qt::CaseInsensitive) == 0) {
            service = m_sheet->servicesMenu->findText(text(entry, "ServiceName"), Qt::MatchExactly);
            break;
        }
    }
    m_sheet->servicesMenu->setCurrentIndex(service >= 0 ? service : m_sheet->servicesMenu->findText(kCustomService));
    serviceChanged();
    if (service < 0) {
        m_sheet->portField->setText(prefill.port);
        if (!prefill.protocol.isEmpty()) {
            m_sheet->protocolCombo->setEditText(prefill.protocol);
        }
    }
    m_sheet->actionMenu->setCurrentIndex(prefill.allow ? 0 : 1);
    actionMenuChanged();
    QComboBox* remoteMenu = prefill.incoming ? m_sheet->srcHostMenu : m_sheet->dstHostMenu;
    QComboBox* remoteCombo = prefill.incoming ? m_sheet->srcHostCombo : m_sheet->dstHostCombo;
    QComboBox* localMenu = prefill.incoming ? m_sheet->dstHostMenu : m_sheet->srcHostMenu;
    localMenu->setCurrentIndex(localMenu->findData(static_cast<int>(kHostMyComputer)));
    remoteMenu->setCurrentIndex(
        remoteMenu->findData(static_cast<int>(prefill.remoteHost.isEmpty() ? kHostInternet : kHostTyped)));
    hostChanged(true);
    hostChanged(false);
    if (!prefill.remoteHost.isEmpty()) {
        remoteCombo->setEditText(prefill.remoteHost);
    }
    m_advanced->logPackets->setChecked(prefill.log);
    m_panelAttributes.set(ServiceFilterShouldLog, Value::integer(prefill.log ? 1 : 0));
    m_advanced->advICMPTypes->setText(prefill.icmpTypes);
    m_panelAttributes.set(ServiceFilterICMPTypes, Value(prefill.icmpTypes.toStdString()));
    setAdvancedLabelText();
    if (!prefill.notes.isEmpty()) {
        m_sheet->infoLabel->setText(prefill.notes);
    }
    return true;
}

void QuickTabController::editRule()
{
    const int row = selectedRow();
    if (row < 0 || !m_ui->enableFirewall->isEnabled() || !m_ui->enableFirewall->isChecked()) {
        return;
    }
    // The sheet edits a copy: Cancel leaves the filter as it was.
    m_panelAttributes = m_dataSource->objectAtRow(row);
    const Value& a = m_panelAttributes;
    const QString name = text(a, ServiceFilterLabel);
    const int index = m_sheet->servicesMenu->findText(name, Qt::MatchExactly);
    const bool custom = index < 0 || name == kCustomService;
    {
        const QSignalBlocker block(m_sheet->servicesMenu);
        if (custom) {
            m_sheet->servicesMenu->setCurrentIndex(m_sheet->servicesMenu->findText(kCustomService));
            if (a.get(ServiceFilterCustomLabel) != nullptr) {
                m_sheet->servicesMenu->setEditText(text(a, ServiceFilterCustomLabel));
            }
        } else {
            m_sheet->servicesMenu->setCurrentIndex(index);
        }
    }
    setPortAndProtocolEditable(custom);
    m_sheet->portField->setText(text(a, ServiceFilterPort));
    m_sheet->srcHostCombo->setEditText(text(a, ServiceFilterSrcHost));
    m_sheet->dstHostCombo->setEditText(text(a, ServiceFilterDstHost));
    m_sheet->protocolCombo->setEditText(text(a, ServiceFilterProtocol));
    m_advanced->advIpOptions->setText(text(a, ServiceFilterIPOptions));
    m_advanced->advTCPFlags->setText(text(a, ServiceFilterTCPFlags));
    m_advanced->advICMPTypes->setText(text(a, ServiceFilterICMPTypes));
    m_advanced->logPackets->setChecked(integer(a, ServiceFilterShouldLog) > 0);
    m_sheet->infoLabel->clear();
    {
        const QSignalBlocker block(m_sheet->actionMenu);
        const bool allow = text(a, ServiceFilterAction) == QLatin1String("allow");
        m_sheet->actionMenu->setCurrentIndex(allow ? 0 : 1);
        m_sheet->actionLabel->setText(label(allow ? "AllowAction" : "DenyAction"));
    }
    m_sheet->srcHostMenu->setCurrentIndex(
        m_sheet->srcHostMenu->findData(static_cast<int>(integer(a, ServiceFilterSrcHostType))));
    m_sheet->dstHostMenu->setCurrentIndex(
        m_sheet->dstHostMenu->findData(static_cast<int>(integer(a, ServiceFilterDstHostType))));
    m_sheet->srcHostCombo->setEnabled(integer(a, ServiceFilterSrcHostType) == kHostTyped);
    m_sheet->dstHostCombo->setEnabled(integer(a, ServiceFilterDstHostType) == kHostTyped);
    setAdvancedLabelText();
    serviceChanged();
    m_context = SheetContext::Edit;
    m_editPanel->open();
}

void QuickTabController::deleteRule()
{
    const QModelIndexList rows = m_ui->ruleTable->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    std::vector<Value> doomed;
    for (const QModelIndex& index : rows) {
        doomed.push_back(m_dataSource->objectAtRow(index.row()));
    }
    for (const Value& filter : doomed) {
        m_dataSource->removeObject(filter);
    }
    m_dataSource->reloadData();
    valueChanged();
}

void QuickTabController::serviceChanged()
{
    const Value* entry = currentServiceEntry();
    const bool custom =
        entry == nullptr || text(*entry, "ServiceName") == kCustomService || integer(*entry, "ServicePort") == 0;
    if (custom) {
        setPortAndProtocolEditable(true);
    } else {
        setPortAndProtocolEditable(false);
        m_sheet->portField->setText(text(*entry, "ServicePort"));
        m_sheet->protocolCombo->setEditText(text(*entry, "ServiceProto"));
        m_sheet->infoLabel->setText(text(*entry, "ServiceInfo"));
    }
    setAdvancedLabelText();
}

void QuickTabController::actionMenuChanged()
{
    const bool allow = m_sheet->actionMenu->currentIndex() == 0;
    m_sheet->actionLabel->setText(label(allow ? "AllowAction" : "DenyAction"));
    m_advanced->logPackets->setChecked(!allow);
    m_panelAttributes.set(ServiceFilterShouldLog, Value::integer(allow ? 0 : 1));
    setAdvancedLabelText();
}

QString QuickTabController::hostForMyComputer() const
{
    return tagOf(m_ipAddressType) == 0 ? QStringLiteral("any") : m_options->ipAddress->text();
}

void QuickTabController::hostChanged(bool source)
{
    QComboBox* menu = source ? m_sheet->srcHostMenu : m_sheet->dstHostMenu;
    QComboBox* combo = source ? m_sheet->srcHostCombo : m_sheet->dstHostCombo;
    switch (menu->currentData().toInt()) {
    case kHostMyComputer:
        combo->setEditText(hostForMyComputer());
        combo->setEnabled(false);
        break;
    case kHostInternet:
        combo->setEditText(QStringLiteral("any"));
        combo->setEnabled(false);
        break;
    default:
        combo->setEditText(QStringLiteral("any"));
        combo->setEnabled(true);
        break;
    }
}

void QuickTabController::srcHostChanged()
{
    hostChanged(true);
}

void QuickTabController::dstHostChanged()
{
    hostChanged(false);
}

void QuickTabController::advancedFilterOptions()
{
    m_advanced->sourcePort->setText(text(m_panelAttributes, ServiceFilterSourcePort));
    m_advanced->advIpOptions->setText(text(m_panelAttributes, ServiceFilterIPOptions));
    m_advanced->advTCPFlags->setText(text(m_panelAttributes, ServiceFilterTCPFlags));
    m_advanced->advICMPTypes->setText(text(m_panelAttributes, ServiceFilterICMPTypes));
    m_advanced->logPackets->setChecked(integer(m_panelAttributes, ServiceFilterShouldLog) > 0);
    if (m_advFilterPanel->exec() == kSheetOk) {
        m_panelAttributes.set(ServiceFilterSourcePort, Value(m_advanced->sourcePort->text().toStdString()));
        m_panelAttributes.set(ServiceFilterIPOptions, Value(m_advanced->advIpOptions->text().toStdString()));
        m_panelAttributes.set(ServiceFilterTCPFlags, Value(m_advanced->advTCPFlags->text().toStdString()));
        m_panelAttributes.set(ServiceFilterICMPTypes, Value(m_advanced->advICMPTypes->text().toStdString()));
        m_panelAttributes.set(ServiceFilterShouldLog, Value::integer(m_advanced->logPackets->isChecked() ? 1 : 0));
    }
    setAdvancedLabelText();
}

void QuickTabController::setAdvancedLabelText()
{
    QString label;
    const QString sourcePort = text(m_panelAttributes, ServiceFilterSourcePort);
    if (!sourcePort.isEmpty()) {
        label += QStringLiteral("Src Port:%1 ").arg(sourcePort);
    }
    if (integer(m_panelAttributes, ServiceFilterShouldLog) > 0) {
        label += QStringLiteral("Log");
    }
    const std::pair<const char*, const char*> options[] = { { ServiceFilterIPOptions, "ipopt %1" },
                                                            { ServiceFilterTCPFlags, "tcpflags %1" },
                                                            { ServiceFilterICMPTypes, "icmptype %1" } };
    for (const auto& [key, format] : options) {
        const QString value = text(m_panelAttributes, key);
        if (!value.isEmpty()) {
            if (!label.isEmpty()) {
                label += QStringLiteral(", ");
            }
            label += QString::fromLatin1(format).arg(value);
        }
    }
    m_sheet->advancedLabel->setText(label);
}

std::optional<QString> QuickTabController::sheetProblem() const
{
    const QString port = m_sheet->portField->text().trimmed();
    const QString protocol = m_sheet->protocolCombo->currentText().trimmed();
    for (const QString& field : { m_sheet->servicesMenu->currentText(), port, protocol,
                                  m_sheet->srcHostCombo->currentText(), m_sheet->dstHostCombo->currentText() }) {
        if (const auto unsafe = unsafeFieldText(field.toStdString())) {
            return QString::fromStdString(*unsafe);
        }
    }
    if (protocol.isEmpty() || protocol.contains(QLatin1Char(' '))) {
        return tr("Choose a protocol, such as tcp or udp.");
    }
    const bool portsApply = protocol == QLatin1String("tcp") || protocol == QLatin1String("udp");
    if (portsApply && !port.isEmpty() && !isPortText(port)) {
        return tr("The port must be a number from 1 to 65535, a range such as 6000-6010, or a list of them "
                  "separated by commas.");
    }
    for (QComboBox* combo : { m_sheet->srcHostCombo, m_sheet->dstHostCombo }) {
        const QString host = combo->currentText().trimmed();
        if (combo->isEnabled() && !host.isEmpty() && host != QLatin1String("any")) {
            if (const auto problem = addressProblem(host.toStdString(), true)) {
                return QString::fromStdString(*problem);
            }
        }
    }
    return std::nullopt;
}

void QuickTabController::sheetDidEnd(int returnCode)
{
    m_editPanel->hide();
    if (returnCode != kSheetOk) {
        return;
    }
    Value& a = m_panelAttributes;
    a.set(ServiceFilterPort, Value(m_sheet->portField->text().trimmed().toStdString()));
    a.set(ServiceFilterSrcHost, Value(m_sheet->srcHostCombo->currentText().trimmed().toStdString()));
    a.set(ServiceFilterDstHost, Value(m_sheet->dstHostCombo->currentText().trimmed().toStdString()));
    a.set(ServiceFilterProtocol, Value(m_sheet->protocolCombo->currentText().trimmed().toStdString()));
    a.set(ServiceFilterIPOptions, Value(m_advanced->advIpOptions->text().toStdString()));
    a.set(ServiceFilterTCPFlags, Value(m_advanced->advTCPFlags->text().toStdString()));
    a.set(ServiceFilterICMPTypes, Value(m_advanced->advICMPTypes->text().toStdString()));
    a.set(ServiceFilterShouldLog, Value::integer(m_advanced->logPackets->isChecked() ? 1 : 0));
    const QString typed = m_sheet->servicesMenu->currentText();
    const Value* entry = serviceEntryNamed(typed);
    if (entry != nullptr && typed != kCustomService) {
        a.set(ServiceFilterLabel, Value(stringValueOf(entry->get("ServiceName"))));
    } else {
        a.set(ServiceFilterLabel, Value(kCustomServiceLabel));
        a.set(ServiceFilterCustomLabel, Value(typed.toStdString()));
    }
    a.set(ServiceFilterAction, Value(m_sheet->actionMenu->currentIndex() == 0 ? "allow" : "deny"));
    a.set(ServiceFilterSrcHostType, Value::integer(m_sheet->srcHostMenu->currentData().toInt()));
    a.set(ServiceFilterDstHostType, Value::integer(m_sheet->dstHostMenu->currentData().toInt()));
    const int row = selectedRow();
    if (m_context == SheetContext::Add) {
        a.set(ServiceFilterOrderNumber, Value::integer(m_dataSource->count() * 10 + 1000));
        if (row >= 0) {
            m_dataSource->insertObject(a, row);
        } else {
            m_dataSource->addObject(a);
        }
    } else {
        if (row < 0) {
            return;
        }
        a.set(ServiceFilterOrderNumber, Value::integer(row * 10 + 1000));
        m_dataSource->replaceRow(row, a);
    }
    m_dataSource->reloadData();
    valueChanged();
}

bool QuickTabController::useCustomValueForColumnName(ArrayTableDataSource&, const QString& column)
{
    for (const char* custom : kCustomColumns) {
        if (column == QLatin1String(custom)) {
            return true;
        }
    }
    return false;
}

QVariant QuickTabController::customValueForColumnName(ArrayTableDataSource& source, const QString& column, int row)
{
    const Value filter = source.objectAtRow(row);
    if (column == QLatin1String("ruleNo")) {
        return row * 10 + 1000;
    }
    if (column == QLatin1String("ruleAction")) {
        return Resources::image(text(filter, ServiceFilterAction) == QLatin1String("allow") ? QStringLiteral("allow")
                                                                                            : QStringLiteral("deny"));
    }
    if (column == QLatin1String("directionArrow")) {
        return Resources::image(QStringLiteral("arrow"));
    }
    if (column == QLatin1String("ruleServiceName")) {
        QString name = filter.get(ServiceFilterLabel) == nullptr ? QStringLiteral("Custom Filter")
                                                                 : text(filter, ServiceFilterLabel);
        if (name == kCustomService && filter.get(ServiceFilterCustomLabel) != nullptr) {
            name = text(filter, ServiceFilterCustomLabel);
        }
        const QString port = text(filter, ServiceFilterPort);
        const QString protocol = text(filter, ServiceFilterProtocol);
        const bool ports = !port.isEmpty() && (protocol == QLatin1String("tcp") || protocol == QLatin1String("udp"));
        return name + QStringLiteral("\n") +
               (ports ? QStringLiteral("Port: %1").arg(port) : QStringLiteral("Port: All Ports")) +
               QStringLiteral("  Protocol: %1 ").arg(protocol);
    }
    const bool sourceEnd = column == QLatin1String("ruleSourceHost");
    const std::int64_t type = integer(filter, sourceEnd ? ServiceFilterSrcHostType : ServiceFilterDstHostType);
    const QString host = type == kHostMyComputer ? QStringLiteral("My Computer")
                         : type == kHostInternet
                             ? QStringLiteral("The Internet")
                             : text(filter, sourceEnd ? ServiceFilterSrcHost : ServiceFilterDstHost);
    const QString port = text(filter, sourceEnd ? ServiceFilterSourcePort : ServiceFilterPort);
    return host + (sourceEnd ? QStringLiteral("\nSrc Port: %1") : QStringLiteral("\nDst Port: %1"))
                      .arg(port.isEmpty() ? QStringLiteral("Any") : port);
}

void QuickTabController::appendFirewallRules(const Value& interface, std::string& text, std::int64_t startingAt)
{
    m_interface = stringValueOf(interface.get(kInterfaceName));
    std::vector<IPFWInterface::NumberedFilter> numbered;
    IPFWInterface::appendPanelFirewallRules(flushSettings(), interfaceName(), text, startingAt, &numbered);
    for (std::size_t row = 0; row < numbered.size() && static_cast<int>(row) < m_dataSource->count(); ++row) {
        IPFWInterface::NumberedFilter& got = numbered[row];
        m_dataSource->updateRow(static_cast<int>(row), [&got](Value& filter) {
            filter.set(ServiceFilterOrderNumber, Value::integer(got.ruleNumber));
            if (got.srcHost) {
                filter.set(ServiceFilterSrcHost, Value(std::move(*got.srcHost)));
            }
            if (got.dstHost) {
                filter.set(ServiceFilterDstHost, Value(std::move(*got.dstHost)));
            }
        });
    }
    emit m_dataSource->dataChanged(m_dataSource->index(0, 0),
                                   m_dataSource->index(m_dataSource->count() - 1, m_dataSource->columnCount() - 1));
}

void QuickTabController::handleCopyAction()
{
    const QModelIndexList rows = m_ui->ruleTable->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return;
    }
    Value::Array copied;
    std::string rules;
    const std::string name = interfaceName();
    std::int64_t number = 2000;
    for (const QModelIndex& index : rows) {
        Value attributes = m_dataSource->objectAtRow(index.row());
        ServiceFilter filter(attributes);
        filter.setRuleNumber(number++);
        m_dataSource->replaceRow(index.row(), filter.serviceAttributes());
        copied.push_back(filter.serviceAttributes());
        rules += filter.ruleTextWithInterface(name);
        rules += '\n';
    }
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(kCopyFlavor), QByteArray::fromStdString(valueToXml(Value(std::move(copied)))));
    mime->setText(QString::fromStdString(rules));
    QApplication::clipboard()->setMimeData(mime);
}

void QuickTabController::handlePasteAction()
{
    const QMimeData* mime = QApplication::clipboard()->mimeData();
    if (mime == nullptr || !mime->hasFormat(QString::fromLatin1(kCopyFlavor))) {
        return;
    }
    const QByteArray xml = mime->data(QString::fromLatin1(kCopyFlavor));
    const auto list = valueFromXml(std::string_view(xml.constData(), static_cast<std::size_t>(xml.size())));
    if (!list || list->array() == nullptr) {
        return;
    }
    for (const Value& filter : *list->array()) {
        if (filter.isDictionary()) {
            m_dataSource->addObject(filter);
        }
    }
    m_dataSource->reloadData();
    valueChanged();
}

} // namespace kw::app
