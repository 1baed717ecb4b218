#pragma once

#include "base/PlistValue.h"

#include <QDialog>
#include <QWidget>

#include <memory>
#include <string>

class QListWidgetItem;

namespace Ui {
class NatConfigController;
class GatewaySheet;
class RedirectSheet;
} // namespace Ui

namespace kw {
class IPFWManager;
}

namespace kw::app {

// The configuration window's "IP Gateway" page: the shared interface, the gateways and their
// port maps in a two-column browser, and starting or stopping IP sharing. It never stores
// anything itself: the window asks it for its dictionary (flushSettings) when it saves.
class NatConfigController : public QWidget {
    Q_OBJECT
public:
    // The confirming button's code of both sheets.
    static constexpr int kSheetOk = -1000;
    static constexpr const char* kDefaultGateway = "Default Gateway";
    enum class SheetMode { Add, Edit };

    explicit NatConfigController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~NatConfigController() override;

    void readSettings(const Value& natConfig, const Value::Array& interfaces);
    Value flushSettings() const;
    std::string generateNatdTextFromQuick() const;

    void userWasAuthenticated();
    void userWasDeauthenticated();

    const Value::Array& gateways() const { return m_gateways; }
    QDialog& gatewaySheet() const { return *m_gatewaySheetDialog; }
    QDialog& redirectSheet() const { return *m_redirectSheetDialog; }

    // The browser's selection: a gateway row (column 0) and a port-map row (column 1).
    void selectGateway(int row);
    void selectPortMap(int row);
    int selectedGateway() const;
    int selectedPortMap() const;

public slots:
    void toggleSharing();
    void updateSharingStatus();
    void gatewayInterfaceChanged();
    void addGateway();
    void editGateway();
    void deleteGateway();
    void addRedirect();
    void editRedirect();
    void deleteRedirect();
    void browserClicked();
    void browserDoubleClicked(QListWidgetItem* item);
    void serviceChanged();
    void valueChanged();

signals:
    // Every user change of the page ("QuickConfigValueChangedNotification").
    void quickConfigValueChanged();
    // Starting or stopping IP sharing has ended (the button shows the new state).
    void sharingToggled();

private:
    void enableControls();
    void disableControls();
    void buildGatewayMenusForInterfaces(const Value::Array& interfaces);
    void loadGatewayColumn();
    void loadPortMapColumn();
    void showRunningState(bool running);
    void gatewaySheetDidEnd(int returnCode);
    void redirectSheetDidEnd(int returnCode);
    QString defaultGatewayInterface() const;
    QString selectedInterfaceName() const;
    void updateDynamicAddressFor(const QString& name, bool changeCheck);
    Value::Dictionary* gatewayAt(int row);

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::NatConfigController> m_ui;
    std::unique_ptr<Ui::GatewaySheet> m_gatewaySheet;
    std::unique_ptr<Ui::RedirectSheet> m_redirectSheet;
    QDialog* m_gatewaySheetDialog;
    QDialog* m_redirectSheetDialog;
    SheetMode m_sheetMode = SheetMode::Add;
    Value::Array m_gateways;
    bool m_authenticated = false;
};

} // namespace kw::app
