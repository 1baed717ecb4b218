#include "LockPattern.h"

#include "adapters/Resources.h"

#include <QAbstractButton>
#include <QLabel>

namespace kw::app {

void showLockState(bool authenticated, QAbstractButton* lockButton, QLabel* lockLabel, LockCaptions captions,
                   std::initializer_list<QWidget*> privilegedControls)
{
    lockButton->setIcon(Resources::image(authenticated ? QStringLiteral("unlock") : QStringLiteral("lock")));
    lockLabel->setText(Resources::localizedString(
        QStringLiteral("Authentication"), QString::fromLatin1(authenticated ? captions.unlocked : captions.locked)));
    for (QWidget* control : privilegedControls) {
        control->setEnabled(authenticated);
    }
}

} // namespace kw::app
