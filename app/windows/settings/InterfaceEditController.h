#pragma once

#include "base/PlistValue.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>

class QDialog;

namespace Ui {
class InterfaceEditController;
class InterfaceSheet;
} // namespace Ui

namespace kw {
class IPFWManager;
}

namespace kw::app {

class ArrayTableDataSource;

// The interface editor: the interfaces of the current setting (each one a quick panel of the
// configuration window), added from the machine's network services, relabelled or deleted.
// Every change is stored at once through the tool; the table always shows the stored list,
// read again after each store and whenever the tool announces a change.
class InterfaceEditController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kSheetOk = -1000;
    static constexpr const char* kFrameName = "InterfaceController";
    enum class SheetMode { Add, Edit };

    static InterfaceEditController& sharedInstance();
    static void releaseSharedInstance();

    explicit InterfaceEditController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~InterfaceEditController() override;

    // Shows the window with the stored list.
    void showWindow();

    void readInterfaces();
    void buildInterfaceCombo();
    // The template of a new interface: the last element of "InterfaceDefaults".
    static Value getInterfaceDefaults();

    ArrayTableDataSource& dataSource() const { return *m_dataSource; }
    QDialog& editPanel() const { return *m_editPanel; }
    // The key of the setting shown; none when the document has no current setting.
    const std::optional<std::string>& settingKey() const { return m_settingKey; }
    void selectRow(int row);

    // Waits until no store of this window runs (tests, quit); false on time-out.
    bool waitForJobs(int milliseconds);

public slots:
    void addInterface();
    void editInterface();
    void deleteInterface();
    void userAuthenticated();
    void userDeauthenticated();

signals:
    // A store of this window has ended and the table shows the stored list again.
    void storeEnded(bool stored);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void windowDidLoad();
    void sheetDidEnd(int returnCode);
    // Why the sheet's name and label cannot be stored; empty when they can.
    QString sheetProblem() const;
    // Stores rows as the interface list of the setting shown.
    void writeInterfaceList(Value::Array rows);
    int selectedRow() const;

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::InterfaceEditController> m_ui;
    std::unique_ptr<Ui::InterfaceSheet> m_sheet;
    QDialog* m_editPanel;
    ArrayTableDataSource* m_dataSource;
    std::optional<std::string> m_settingKey;
    SheetMode m_sheetMode = SheetMode::Add;
    // The row the edit sheet was opened for.
    int m_editRow = -1;
    int m_jobsRunning = 0;
};

} // namespace kw::app
