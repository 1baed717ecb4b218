#pragma once

#include <QMainWindow>

class QLabel;

namespace kw::app {

// The configuration window's place in the application: shown first at launch and asked before
// quitting. Its editor pages come with the configuration editor; until then it shows the
// current setting and leads to the monitor.
class ConfigurationController : public QMainWindow {
    Q_OBJECT
public:
    static ConfigurationController& sharedInstance();
    static void releaseSharedInstance();

    explicit ConfigurationController(QWidget* parent = nullptr);

    // True when quitting may go on; false defers it (unsaved changes the user keeps editing).
    bool applicationShouldTerminate();
    // Reads the current setting's name from the settings document.
    void reload();

signals:
    void showMonitorRequested();

private:
    QLabel* m_settingLabel;
};

} // namespace kw::app
