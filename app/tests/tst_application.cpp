// The application delegate and the authentication panel: the launch sequence and its
// announcements, the menu's authentication item, the error alert for a notification posted by
// another process, and the panel's right, wrong, cancelled and keychain-first roads.
#include "AppTestSupport.h"

#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "base/Release.h"
#include "core/IPFWManager.h"
#include "widgets/MessageBox.h"
#include "windows/AuthPanelDialog.h"
#include "windows/KeepwallController.h"
#include "windows/MonitorController.h"
#include "windows/NewConfigurationController.h"
#include "windows/assistant/KeepwallAssistant.h"

#include <KWSecurity/KWKeychain.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

#include <functional>
#include <memory>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

// Answers the next authentication panel once it is up.
void answerPanel(std::function<void(AuthPanelDialog*)> answer)
{
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer, tries] {
        auto* dialog = qobject_cast<AuthPanelDialog*>(QApplication::activeModalWidget());
        if (dialog != nullptr || ++*tries > 500) {
            timer->stop();
            timer->deleteLater();
        }
        if (dialog != nullptr) {
            answer(dialog);
        }
    });
    timer->start();
}

void type(AuthPanelDialog* dialog, const QString& password)
{
    dialog->findChild<QLineEdit*>(QStringLiteral("password"))->setText(password);
}

void click(AuthPanelDialog* dialog, const char* button)
{
    dialog->findChild<QPushButton*>(QString::fromLatin1(button))->click();
}

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxRoot> m_root;

    AuthPanelController& controller() { return AuthPanelController::sharedInstance(); }
    IPFWManager& gateway() { return IPFWManager::sharedInstance(); }

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_root = std::make_unique<SandboxRoot>();
        gateway().setToolPath(KW_BIN_DIR "/wallctl");
        AuthPanelDialog::install(gateway(), controller());
    }

    void init()
    {
        gateway().deauthenticate();
        MessageBox::clearNextAnswer();
        KWKeychain::defaultKeychain().removeItemForService(IPFWManager::kKeychainService);
    }

    void cleanupTestCase()
    {
        MonitorController::releaseSharedInstance();
        NewConfigurationController::releaseSharedInstance();
        m_root.reset();
    }

    void launchAnnouncesTheStateAndLocksTheWindows()
    {
        KeepwallController delegate(gateway());
        QSignalSpy deauthenticated(&NotificationBridge::sharedInstance(), &NotificationBridge::userDeauthenticated);
        delegate.applicationDidFinishLaunching();
        QCOMPARE(deauthenticated.count(), 1);
        QVERIFY(NewConfigurationController::sharedInstance().isVisible());
        auto& monitor = MonitorController::sharedInstance();
        QVERIFY(!monitor.isVisible()); // loaded, not shown
        QVERIFY(!monitor.isAuthorized());
        QVERIFY(!monitor.findChild<QPushButton*>(QStringLiteral("refreshButton"))->isEnabled());
        QCOMPARE(monitor.findChild<QLabel*>(QStringLiteral("lockLabel"))->text(),
                 Resources::localizedString(QStringLiteral("Authentication"), QStringLiteral("ClickToMonitor")));
        QVERIFY(qgetenv("HOST").size() > 0);
        // The root holds no setting yet: the setup assistant comes up by itself, on the
        // configuration window.
        auto& assistant = KeepwallAssistant::sharedInstance();
        QTRY_VERIFY(assistant.isVisible());
        QCOMPARE(assistant.parentWidget(), &NewConfigurationController::sharedInstance());
        assistant.reject();
        delegate.applicationWillTerminate();
    }

    void hostVariableAlreadySetIsKept()
    {
        qputenv("HOST", "kept-host");
        KeepwallController delegate(gateway());
        delegate.applicationDidFinishLaunching();
        QCOMPARE(qgetenv("HOST"), QByteArray("kept-host"));
        delegate.applicationWillTerminate();
    }

    void menuTitleFollowsAuthentication()
    {
        KeepwallController delegate(gateway());
        auto& window = NewConfigurationController::sharedInstance();
        auto& monitor = MonitorController::sharedInstance(); // loaded at launch
        delegate.installMainMenu(&window);
        QAction* item = delegate.toggleAuthenticationItem(&window);
        QVERIFY(item != nullptr);
        delegate.validateMenuItem(item);
        QCOMPARE(item->text(), QString::fromUtf8("Allow Changes\u2026"));

        answerPanel([](AuthPanelDialog* d) {
            type(d, QString::fromLatin1(SandboxRoot::kPassword));
            click(d, "okButton");
        });
        QSignalSpy authenticated(&NotificationBridge::sharedInstance(), &NotificationBridge::userAuthenticated);
        item->trigger();
        QCOMPARE(authenticated.count(), 1);
        delegate.validateMenuItem(item);
        QCOMPARE(item->text(), QStringLiteral("Disallow Changes"));
        QVERIFY(monitor.isAuthorized());
        QCOMPARE(monitor.findChild<QLabel*>(QStringLiteral("lockLabel"))->text(),
                 Resources::localizedString(QStringLiteral("Authentication"), QStringLiteral("ClickToDemonitor")));

        item->trigger(); // deauthenticates
        delegate.validateMenuItem(item);
        QCOMPARE(item->text(), QString::fromUtf8("Allow Changes\u2026"));
        QVERIFY(!monitor.isAuthorized());
    }

    void errorNotificationFromAnotherProcessShowsTheAlert()
    {
        KeepwallController delegate(gateway());
        delegate.applicationDidFinishLaunching();
        MessageBox::setNextAnswer(QMessageBox::Ok);
        QCOMPARE(QProcess::execute(QStringLiteral(KW_BIN_DIR "/kw-post-notification"),
                                   { QStringLiteral("KWDistributedErrorNotification"),
                                     QStringLiteral("Unable to write to file /etc/firewall.conf") }),
                 0);
        QTRY_COMPARE(MessageBox::shownCount(), 1);
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Error"));
        QCOMPARE(MessageBox::lastShown()->text, QStringLiteral("Unable to write to file /etc/firewall.conf"));
        QCOMPARE(MessageBox::lastShown()->icon, QMessageBox::Critical);
        // Other notifications show nothing.
        QProcess::execute(
            QStringLiteral(KW_BIN_DIR "/kw-post-notification"),
            { QStringLiteral("KWSettingsChangedNotification"), QStringLiteral("com.wallworks.keepwall") });
        QTest::qWait(200);
        QCOMPARE(MessageBox::shownCount(), 1);
        delegate.applicationWillTerminate();
    }

    void panelRightPassword()
    {
        answerPanel([](AuthPanelDialog* d) {
            QVERIFY(!d->findChild<QCheckBox*>(QStringLiteral("keychainOption"))->isChecked());
            QCOMPARE(d->findChild<QLineEdit*>(QStringLiteral("userName"))->text(),
                     QString::fromStdString(loggedInUser()));
            type(d, QString::fromLatin1(SandboxRoot::kPassword));
            click(d, "okButton");
        });
        QVERIFY(gateway().authenticate());
        QVERIFY(gateway().isAuthenticated());
        QVERIFY(!KWKeychain::defaultKeychain().findAuthorizationForService(IPFWManager::kKeychainService));
    }

    void panelWrongPasswordShowsTheSheetAndStaysUp()
    {
        MessageBox::setNextAnswer(QMessageBox::Ok);
        answerPanel([](AuthPanelDialog* d) {
            d->findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QString::fromStdString(loggedInUser()));
            type(d, QStringLiteral("wrong"));
            click(d, "okButton");
            QVERIFY(d->isVisible());
            QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Incorrect username or password"));
            QCOMPARE(MessageBox::lastShown()->text,
                     QStringLiteral("You have entered an incorrect user name or password"));
            QVERIFY(d->findChild<QLineEdit*>(QStringLiteral("password"))->text().isEmpty());
            QCOMPARE(d->findChild<QLineEdit*>(QStringLiteral("userName"))->text(),
                     QString::fromStdString(loggedInUser()));
            // The right one typed next time passes, and is kept when asked to.
            d->findChild<QCheckBox*>(QStringLiteral("keychainOption"))->setChecked(true);
            type(d, QString::fromLatin1(SandboxRoot::kPassword));
            click(d, "okButton");
        });
        QVERIFY(gateway().authenticate());
        QVERIFY(KWKeychain::defaultKeychain().findAuthorizationForService(IPFWManager::kKeychainService));
    }

    void panelCancelRunsNothing()
    {
        answerPanel([](AuthPanelDialog* d) { click(d, "cancelButton"); });
        QSignalSpy authenticated(&NotificationBridge::sharedInstance(), &NotificationBridge::userAuthenticated);
        gateway().applyCurrentSetting();
        QVERIFY(!gateway().isAuthenticated());
        QCOMPARE(authenticated.count(), 0);
    }

    void keychainCredentialsComeFirst()
    {
        QVERIFY(KWKeychain::defaultKeychain().storePassword(SecureBuffer(std::string_view(SandboxRoot::kPassword)),
                                                            loggedInUser(), IPFWManager::kKeychainService, nullptr));
        int asked = 0;
        controller().setPanelRunner([&](AuthPanelController&) {
            ++asked;
            return AuthPanelController::kModalAbort;
        });
        QVERIFY(gateway().authenticate());
        QCOMPARE(asked, 0);

        // Stored credentials that went wrong are dropped and the panel asks once.
        gateway().deauthenticate();
        KWKeychain::defaultKeychain().removeItemForService(IPFWManager::kKeychainService);
        QVERIFY(KWKeychain::defaultKeychain().storePassword(SecureBuffer(std::string_view("stale")), loggedInUser(),
                                                            IPFWManager::kKeychainService, nullptr));
        QVERIFY(!gateway().authenticate());
        QCOMPARE(asked, 1);
        QVERIFY(!KWKeychain::defaultKeychain().findAuthorizationForService(IPFWManager::kKeychainService));
        AuthPanelDialog::install(gateway(), controller());
    }
};

QTEST_MAIN(ApplicationTest)
#include "tst_application.moc"
