#include "AuthPanelDialog.h"

#include "adapters/Resources.h"
#include "core/IPFWManager.h"
#include "ui_AuthPanelDialog.h"
#include "widgets/MessageBox.h"

#include <KWSecurity/AuthPanelController.h>

#include <QApplication>
#include <QThread>

namespace kw::app {

AuthPanelDialog::AuthPanelDialog(AuthPanelController& controller, QWidget* parent)
    : QDialog(parent)
    , m_controller(controller)
    , m_ui(std::make_unique<Ui::AuthPanelDialog>())
{
    m_ui->setupUi(this);
    m_ui->lockImage->setPixmap(Resources::image(QStringLiteral("lock")).pixmap(48, 48));
    connect(m_ui->okButton, &QPushButton::clicked, this, &AuthPanelDialog::okayButtonPressed);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &AuthPanelDialog::cancelButtonPressed);
    setWindowModality(Qt::ApplicationModal);
    loadFields();
}

AuthPanelDialog::~AuthPanelDialog() = default;

void AuthPanelDialog::loadFields()
{
    m_ui->message->setText(QString::fromStdString(m_controller.message()));
    m_ui->userName->setText(QString::fromStdString(m_controller.userName()));
    m_ui->password->clear();
    m_ui->keychainOption->setChecked(m_controller.keychainOption());
    m_ui->password->setFocus();
}

void AuthPanelDialog::okayButtonPressed()
{
    m_controller.setUserName(m_ui->userName->text().toStdString());
    {
        QByteArray typed = m_ui->password->text().toUtf8();
        m_ui->password->clear();
        m_controller.setPassword(SecureBuffer(typed.constData(), static_cast<std::size_t>(typed.size())));
        typed.fill('\0');
    }
    m_controller.setKeychainOption(m_ui->keychainOption->isChecked());
    if (m_controller.okayButtonPressed()) {
        done(AuthPanelController::kModalOk);
        return;
    }
    m_ui->password->clear();
    MessageBox::warningSheet(this, QString::fromLatin1(AuthPanelController::kIncorrectTitle),
                             QString::fromLatin1(AuthPanelController::kIncorrectText),
                             QString::fromLatin1(AuthPanelController::kIncorrectButton));
    m_ui->password->setFocus();
}

void AuthPanelDialog::cancelButtonPressed()
{
    done(AuthPanelController::kModalAbort);
}

void AuthPanelDialog::install(IPFWManager& gateway, AuthPanelController& controller)
{
    controller.setPanelRunner(&AuthPanelDialog::runPanel);
    gateway.setInteractionPolicy([] {
        return QCoreApplication::instance() != nullptr &&
               QThread::currentThread() == QCoreApplication::instance()->thread();
    });
}

int AuthPanelDialog::runPanel(AuthPanelController& controller)
{
    if (QCoreApplication::instance() == nullptr) {
        return AuthPanelController::kModalAbort;
    }
    // The panel belongs to the GUI thread; elsewhere the request counts as cancelled (the
    // gateway's interaction policy keeps workers from asking at all).
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        return AuthPanelController::kModalAbort;
    }
    AuthPanelDialog dialog(controller, QApplication::activeWindow());
    const int code = dialog.exec();
    // A panel closed by its window's close box counts as Cancel.
    return code == AuthPanelController::kModalOk ? code : AuthPanelController::kModalAbort;
}

} // namespace kw::app
