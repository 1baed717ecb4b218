#pragma once

#include "base/PlistValue.h"
#include "models/ArrayTableDataSource.h"

#include <QWidget>

#include <memory>
#include <string>

class QButtonGroup;
class QDialog;

namespace Ui {
class QuickTabController;
class FilterSheet;
class AdvancedFilterPanel;
class InterfaceOptionsSheet;
} // namespace Ui

namespace kw {
class IPFWManager;
}

namespace kw::app {

// The quick panel of one interface: whether its firewall is on, this computer's address, the
// extra rules, the two default policies and the table of the user's service filters with the
// add/edit sheet, the advanced options, drag reordering, copy and paste. Every user change is
// announced with quickConfigValueChanged().
// A new filter's fields taken from elsewhere (a log entry), for the user to review in the add
// sheet. Empty texts leave the sheet's defaults; notes says what could not be filled in.
struct FilterPrefill {
    bool allow = true;
    QString protocol; // tcp, udp, icmp
    QString port;     // the service's port: the sheet picks the service of the list that has it
    QString remoteHost;
    bool incoming = true; // the remote host is the source (else the destination)
    bool log = true;
    QString icmpTypes;
    QString notes;
};

class QuickTabController : public QWidget, public ArrayDataSourceDelegate {
    Q_OBJECT
public:
    static constexpr const char* kDragFlavor = "IPFWRulePasteboardType";
    static constexpr const char* kCopyFlavor = "ServiceFilterPasteboardType";
    static constexpr int kSheetOk = -1000;
    enum class SheetContext { Add, Edit };

    explicit QuickTabController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~QuickTabController() override;

    void readSettings(const Value& interface);
    Value flushSettings() const;
    Value firewallOptions() const { return flushSettings(); }
    // Whether the interface's firewall box is checked.
    bool isFirewallEnabled() const;
    // The interface's name, with the PPP-over-Ethernet name of this system.
    std::string interfaceName() const;
    const QString& interfaceLabel() const { return m_interfaceLabel; }

    void enableControls();
    void disableControls();

    // The interface's block of rules in the panel's form, from the controls as they are now;
    // the panel's own filters take the rule numbers and My Computer addresses they got.
    void appendFirewallRules(const Value& interface, std::string& text, std::int64_t startingAt);

    // Copies the selected filters (their dictionaries and their rule texts); pastes filters.
    void handleCopyAction();
    void handlePasteAction();

    ArrayTableDataSource& dataSource() { return *m_dataSource; }
    QDialog& editPanel() const { return *m_editPanel; }
    QDialog& advFilterPanel() const { return *m_advFilterPanel; }
    QDialog& interfaceOptionsPanel() const { return *m_interfaceOptionsPanel; }
    const Value& panelAttributes() const { return m_panelAttributes; }
    void selectRow(int row);
    // Opens the add sheet filled in from the prefill; false when the panel takes no new filters
    // (locked, or its firewall off).
    bool addRuleWithPrefill(const FilterPrefill& prefill);

    // ArrayDataSourceDelegate
    bool useCustomValueForColumnName(ArrayTableDataSource& source, const QString& column) override;
    QVariant customValueForColumnName(ArrayTableDataSource& source, const QString& column, int row) override;

public slots:
    void firewallToggled();
    void ipAddressTypeToggled();
    void defaultMatrixChanged();
    void dnsTypeChanged();
    void showInterfaceOptions();
    void addRule();
    void editRule();
    void deleteRule();
    void serviceChanged();
    void actionMenuChanged();
    void srcHostChanged();
    void dstHostChanged();
    void advancedFilterOptions();
    void valueChanged();

signals:
    void quickConfigValueChanged();

private:
    void loadServiceList();
    const Value* serviceEntryNamed(const QString& name) const;
    const Value* currentServiceEntry() const;
    void setPortAndProtocolEditable(bool editable);
    void setAdvancedLabelText();
    void hostChanged(bool source);
    void applyDependentEnabling();
    std::optional<QString> sheetProblem() const;
    void sheetDidEnd(int returnCode);
    int selectedRow() const;
    QString hostForMyComputer() const;

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::QuickTabController> m_ui;
    std::unique_ptr<Ui::FilterSheet> m_sheet;
    std::unique_ptr<Ui::AdvancedFilterPanel> m_advanced;
    std::unique_ptr<Ui::InterfaceOptionsSheet> m_options;
    QDialog* m_editPanel;
    QDialog* m_advFilterPanel;
    QDialog* m_interfaceOptionsPanel;
    QButtonGroup* m_incomingDefaultMatrix;
    QButtonGroup* m_outgoingDefaultMatrix;
    QButtonGroup* m_ipAddressType;
    QButtonGroup* m_dnsTypeMatrix;
    ArrayTableDataSource* m_dataSource;
    Value::Array m_serviceList;
    Value m_panelAttributes;
    SheetContext m_context = SheetContext::Add;
    std::string m_interface;
    QString m_interfaceLabel;
    bool m_controlsEnabled = false;
};

} // namespace kw::app
