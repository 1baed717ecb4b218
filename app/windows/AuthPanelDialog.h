#pragma once

#include <QDialog>

#include <memory>

namespace kw {
class AuthPanelController;
class IPFWManager;
} // namespace kw

namespace Ui {
class AuthPanelDialog;
}

namespace kw::app {

// The authentication panel: the window of the security library's AuthPanelController. The
// controller decides; the dialog only carries the typed name and password to it (the password
// leaves the field for a wiped buffer at once) and ends with the controller's modal codes.
class AuthPanelDialog : public QDialog {
    Q_OBJECT
public:
    explicit AuthPanelDialog(AuthPanelController& controller, QWidget* parent = nullptr);
    ~AuthPanelDialog() override;

    // The panel runner the controller calls when it needs to ask: shows the panel modally and
    // answers kModalOk once the controller accepted the credentials, kModalAbort for Cancel.
    // From a thread other than the GUI thread it answers kModalAbort without showing anything.
    static int runPanel(AuthPanelController& controller);

    // Makes this panel the controller's prompt, and lets only the GUI thread show it: a
    // gateway call on a worker thread then answers "not authenticated" instead of asking.
    static void install(IPFWManager& gateway, AuthPanelController& controller);

    // Copies the controller's fields into the panel (prompt, name, cleared password, option).
    void loadFields();

public slots:
    void okayButtonPressed();
    void cancelButtonPressed();

private:
    AuthPanelController& m_controller;
    std::unique_ptr<Ui::AuthPanelDialog> m_ui;
};

} // namespace kw::app
