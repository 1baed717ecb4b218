#pragma once

#include <QString>

#include <initializer_list>

class QAbstractButton;
class QLabel;
class QWidget;

namespace kw::app {

// The lock pattern every window with privileged controls follows: the lock button shows
// "lock" or "unlock", its caption comes from the "Authentication" table, and the window's
// privileged controls are enabled only while the user is authenticated.
struct LockCaptions {
    const char* locked;   // the caption while locked (what clicking does: unlock)
    const char* unlocked; // the caption while unlocked
};

void showLockState(bool authenticated, QAbstractButton* lockButton, QLabel* lockLabel, LockCaptions captions,
                   std::initializer_list<QWidget*> privilegedControls);

} // namespace kw::app
