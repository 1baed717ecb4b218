#pragma once

#include "base/PlistValue.h"

#include <QAbstractTableModel>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDialog;

namespace Ui {
class SettingsController;
class SettingNamePanel;
} // namespace Ui

namespace kw {
class IPFWManager;
}

namespace kw::app {

class RuleDiffWindow;

// The settings table: one row per stored setting, in the order in which the document lists
// its keys (the order "wallctl list" prints and its indexes count).
class SettingsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { SettingNameColumn, SettingTypeColumn, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void setSettings(Value::Dictionary settings, std::string currentKey, std::string defaultKey);
    const Value::Dictionary& settings() const { return m_settings; }
    const std::vector<std::string>& keys() const { return m_keys; }
    // The key of a row; none outside the table.
    std::optional<std::string> keyAtRow(int row) const;
    int rowOfKey(const std::string& key) const;

    // "Quick" for CONFIG_MODE 0 (or absent), "Expert" for 2, empty otherwise.
    static QString typeText(const Value& setting);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    Value::Dictionary m_settings;
    std::vector<std::string> m_keys;
    std::string m_currentKey;
    std::string m_defaultKey;
};

// The stored settings window: lists every named setting and makes one active or default,
// duplicates, renames, deletes, exports it to a file or imports one. It reads the document
// from the store and never writes it: every change goes to the tool through the gateway, and
// the window reloads the stored state when the tool announces a change and after each store
// (also a refused one, so that the table never shows what was not stored).
class SettingsController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kSheetOk = -1000;
    enum ActionCode { DuplicateAction = 0, RenameAction = 1 };
    static constexpr const char* kFrameName = "SettingsController";

    // Chooses a file: for export the path to write (suggested: home folder and the cleaned
    // name), for import the file to read. An empty answer cancels. Tests put their own here.
    using PathChooser = std::function<QString(QWidget* parent, const QString& suggestedPath)>;

    static SettingsController& sharedInstance();
    static void releaseSharedInstance();

    explicit SettingsController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~SettingsController() override;

    // Shows the window with the stored state.
    void showWindow();

    void loadDefaults();

    void setSavePathChooser(PathChooser chooser) { m_savePathChooser = std::move(chooser); }
    void setOpenPathChooser(PathChooser chooser) { m_openPathChooser = std::move(chooser); }

    SettingsTableModel& model() const { return *m_model; }
    const Value::Dictionary& settings() const { return m_model->settings(); }
    const std::string& currentKey() const { return m_currentKey; }
    const std::string& defaultSettingKey() const { return m_defaultSettingKey; }
    QDialog& settingNamePanel() const { return *m_settingNamePanel; }
    void selectRow(int row);
    int selectedRow() const;

    // Waits until no store of this window runs (tests, quit); false on time-out.
    bool waitForJobs(int milliseconds);

    // Opens a window with the difference between the rules two stored settings load; none when
    // either key names no setting.
    RuleDiffWindow* compareSettings(const std::string& fromKey, const std::string& toKey);

public slots:
    void makeActiveSettings();
    void makeDefaultSettings();
    void duplicateSettings();
    void renameSettings();
    void deleteSettings();
    void exportSettings();
    void importSettings();
    // Offers the other stored settings and compares the selected one with the one chosen.
    void chooseSettingsToCompare();
    void userAuthenticated();
    void userDeauthenticated();

signals:
    // A store of this window has ended and the window shows the stored state again.
    void storeEnded(bool stored);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void windowDidLoad();
    // The selected row's key once the user is authenticated; none (after a beep when refused).
    std::optional<std::string> authenticatedSelection();
    void showNameSheet(const QString& name, ActionCode action);
    void sheetDidEnd(int returnCode);
    void duplicate();
    void rename();
    // Sends the document to the tool; reloads the stored state when the store has ended.
    void store(Value document);
    // Stores the stored settings changed by change (on a fresh read of the store).
    void storeSettings(const std::function<void(Value::Dictionary&)>& change);
    // A new key: the name, "-" and a time stamp, unique among the stored keys.
    static std::string newKey(const std::string& name, const Value::Dictionary& stored);
    QString nameSheetProblem(const QString& name) const;
    void saveFrame();

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::SettingsController> m_ui;
    std::unique_ptr<Ui::SettingNamePanel> m_namePanel;
    QDialog* m_settingNamePanel;
    SettingsTableModel* m_model;
    std::string m_currentKey;
    std::string m_defaultSettingKey;
    // The setting the name sheet was opened for, and what its OK does.
    std::string m_sheetKey;
    ActionCode m_actionCode = DuplicateAction;
    PathChooser m_savePathChooser;
    PathChooser m_openPathChooser;
    int m_jobsRunning = 0;
};

} // namespace kw::app
