#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QAction;
class QMainWindow;
class QMenu;

namespace kw {
class IPFWManager;
}

namespace kw::app {

class NewConfigurationController;
class MonitorController;

// The application delegate: registers the defaults and the port names, brings the windows up
// in their order, announces the authentication state, shows the tool's errors, serves the
// main menu and asks the configuration window before quitting.
class KeepwallController : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kErrorTitle = "Error";
    static constexpr const char* kAllowChanges = "Allow Changes\u2026";
    static constexpr const char* kDisallowChanges = "Disallow Changes";

    explicit KeepwallController(IPFWManager& gateway, QObject* parent = nullptr);
    ~KeepwallController() override;

    static KeepwallController* sharedInstance();

    // Registers the defaults and loads the port names.
    void awakeFromNib();
    // The launch sequence.
    void applicationDidFinishLaunching();
    // Asks the configuration window; true when the application may quit now.
    bool applicationShouldTerminate();
    void applicationWillTerminate();

    // The service name of a port from the "services" resource; none when it has none.
    static std::optional<QString> serviceNameForPort(int port);
    // Authenticates when not authenticated, else deauthenticates (may show the panel).
    static void toggleAuthentication(IPFWManager& gateway);

    // The main menu of a window: the application's commands and the window list.
    void installMainMenu(QMainWindow* window);
    // Sets the authentication item's title from the current state.
    void validateMenuItem(QAction* item);
    QAction* toggleAuthenticationItem(QMainWindow* window) const;

    // The window to quit from was closed, or Quit was chosen.
    void terminate();
    bool hasTerminated() const { return m_terminated; }

public slots:
    void handleKWErrorNotification(const QString& message);
    void showMonitor();
    void showConfiguration();
    void showLogWindow();
    void showStoredSettings();
    void showInterfaces();
    void showResolverWindow();
    void toggleAuthentication();

private:
    IPFWManager& m_gateway;
    bool m_terminated = false;
};

} // namespace kw::app
