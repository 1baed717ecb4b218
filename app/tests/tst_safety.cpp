// Safe changes in the application: the count-down of "Apply with undo" reverting and keeping,
// the lockout question before Apply, the monitor's bar when the loaded rules differ from the
// active setting's, and the stored settings window's comparison, on a sandbox with the real tool.
#include "AppTestSupport.h"

#include "base/Release.h"
#include "core/IPFWManager.h"
#include "widgets/MessageBox.h"
#include "windows/MonitorController.h"
#include "windows/NewConfigurationController.h"
#include "windows/safety/LoadedRulesBar.h"
#include "windows/safety/RuleDiffWindow.h"
#include "windows/safety/TrialCountdownDialog.h"
#include "windows/settings/SettingsController.h"
#include "windows/syntax/SyntaxChecker.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

constexpr const char* kActiveRules =
    "add 1000 allow ip from any to any via lo*\nadd 2000 allow tcp from any to any 22 in\n";
constexpr const char* kTriedRules =
    "add 1000 allow ip from any to any via lo*\nadd 4000 deny tcp from any to any 23 in\n";

Value expertSetting(const char* name, const char* text)
{
    Value s;
    s.set("SETTING_NAME", Value(name));
    s.set("CONFIG_MODE", Value("2"));
    s.set("EXPERT_CONFIG_TEXT", Value(text));
    return s;
}

// Two expert settings, one of them current.
Value documentWithCurrent(const char* current)
{
    Value document;
    document.set("STORED_SETTINGS", Value(Value::Dictionary { { "Active", expertSetting("Active", kActiveRules) },
                                                              { "Tried", expertSetting("Tried", kTriedRules) } }));
    document.set("CURRENT_SETTING", Value(current));
    return document;
}

} // namespace

class SafetyTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

    QString listing() const
    {
        QByteArray out;
        m_sandbox->root.runAsRoot(m_sandbox->root.file(QStringLiteral("/sbin/ipfw")), { QStringLiteral("list") }, {},
                                  &out);
        return QString::fromUtf8(out);
    }

    bool trialPending() const
    {
        return QFile::exists(m_sandbox->root.file(QStringLiteral("/var/db/keepwall-trial/pending")));
    }

    // The active setting loaded in the kernel, and the tried one stored as current.
    QString activeLoadedTriedCurrent()
    {
        IPFWManager& gateway = m_sandbox->gateway;
        gateway.fetchPassword();
        if (!gateway.storeConfiguration(documentWithCurrent("Active"))) {
            return {};
        }
        gateway.applyCurrentSetting();
        gateway.storeConfiguration(documentWithCurrent("Tried"));
        return listing();
    }

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_sandbox = std::make_unique<SandboxGateway>();
    }

    void init() { MessageBox::clearNextAnswer(); }

    void cleanupTestCase()
    {
        delete SyntaxChecker::existingInstance();
        m_sandbox.reset();
    }

    void countdownRevertsWhenTheTimeRunsOut()
    {
        const QString before = activeLoadedTriedCurrent();
        QVERIFY(before.contains(QStringLiteral("02000 allow tcp from any to any 22 in")));
        TrialCountdownDialog dialog(m_sandbox->gateway, 2);
        QSignalSpy ended(&dialog, &TrialCountdownDialog::trialEnded);
        dialog.show();
        dialog.start();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.outcome() == TrialCountdownDialog::Outcome::Counting, 20000);
        QVERIFY(dialog.keepButton()->isEnabled());
        QVERIFY(listing().contains(QStringLiteral("04000 deny tcp from any to any 23 in")));
        QVERIFY(dialog.messageLabel()->text().contains(QStringLiteral("second")));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
        QCOMPARE(ended.front().front().toBool(), false);
        QVERIFY(dialog.outcome() == TrialCountdownDialog::Outcome::Reverted);
        QCOMPARE(listing(), before);
        QTRY_VERIFY_WITH_TIMEOUT(!trialPending(), 5000);
    }

    void countdownKeepsTheRulesOnConfirm()
    {
        activeLoadedTriedCurrent();
        TrialCountdownDialog dialog(m_sandbox->gateway, 60);
        QSignalSpy ended(&dialog, &TrialCountdownDialog::trialEnded);
        dialog.show();
        dialog.start();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.outcome() == TrialCountdownDialog::Outcome::Counting, 20000);
        dialog.keepButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
        QCOMPARE(ended.front().front().toBool(), true);
        QVERIFY(dialog.outcome() == TrialCountdownDialog::Outcome::Kept);
        QVERIFY(!trialPending());
        QVERIFY(listing().contains(QStringLiteral("04000 deny tcp from any to any 23 in")));
    }

    void closingTheCountdownReverts()
    {
        const QString before = activeLoadedTriedCurrent();
        TrialCountdownDialog dialog(m_sandbox->gateway, 60);
        QSignalSpy ended(&dialog, &TrialCountdownDialog::trialEnded);
        dialog.show();
        dialog.start();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.outcome() == TrialCountdownDialog::Outcome::Counting, 20000);
        dialog.close();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
        QVERIFY(dialog.outcome() == TrialCountdownDialog::Outcome::Reverted);
        QCOMPARE(listing(), before);
    }

    void applyAsksOnceBeforeALockout()
    {
        IPFWManager& gateway = m_sandbox->gateway;
        gateway.fetchPassword();
        Value document;
        document.set(
            "STORED_SETTINGS",
            Value(Value::Dictionary { { "Closed", expertSetting("Closed", "add 100 deny ip from any to any\n") } }));
        document.set("CURRENT_SETTING", Value("Closed"));
        QVERIFY(gateway.storeConfiguration(document));
        gateway.applyCurrentSetting();
        const QString before = listing();

        NewConfigurationController window(gateway);
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        window.applySettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::shownCount(), 1);
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("This setting may lock you out"));
        QVERIFY(MessageBox::lastShown()->text.contains(QStringLiteral("loopback")));

        // A setting without a lockout is applied without a question.
        MessageBox::clearNextAnswer();
        QVERIFY(gateway.storeConfiguration(documentWithCurrent("Active")));
        NewConfigurationController safe(gateway);
        safe.applySettings();
        QVERIFY(safe.waitForJobs(60000));
        QCOMPARE(MessageBox::shownCount(), 0);
        QVERIFY(listing() != before);
    }

    void syntaxWindowListsLintWarningsUnderTheErrors()
    {
        m_sandbox->gateway.fetchPassword();
        QVERIFY(m_sandbox->gateway.storeConfiguration(documentWithCurrent("Active")));
        NewConfigurationController window(m_sandbox->gateway);
        window.findChild<QPlainTextEdit*>(QStringLiteral("expertText"))
            ->setPlainText(QStringLiteral("add 1000 allow ip from any to any via lo*\n"
                                          "add 2000 deny tcp from 10.0.0.0/8 to any 22\n"
                                          "add 3000 deny tcp from 10.1.0.0/16 to any 22\n"
                                          "add 4000 alow ip from any to any\n"));
        SyntaxChecker& checker = SyntaxChecker::sharedInstance();
        QSignalSpy finished(&checker, &SyntaxChecker::checkFinished);
        window.showSyntaxChecker();
        QVERIFY(finished.wait(20000));
        QListWidget* list = checker.messageView();
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->data(SyntaxChecker::kLineNumberRole).toInt(), 4);
        QCOMPARE(list->item(0)->foreground().color(), QColor(Qt::red));
        QCOMPARE(list->item(1)->data(SyntaxChecker::kLineNumberRole).toInt(), 3);
        QCOMPARE(list->item(1)->text(),
                 QStringLiteral(" rule 03000 never matches: rule 02000 before it matches every packet it would"));
        QCOMPARE(list->item(1)->foreground().color(), QColor(Qt::black));
        QVERIFY(!list->item(1)->icon().isNull());
        checker.close();
    }

    void monitorBarAppearsWhenRulesAreAddedBehindItsBack()
    {
        activeLoadedTriedCurrent();
        IPFWManager& gateway = m_sandbox->gateway;
        QVERIFY(gateway.storeConfiguration(documentWithCurrent("Active")));
        MonitorController monitor(gateway);
        monitor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&monitor));
        monitor.refreshView();
        QVERIFY(monitor.waitForRefresh(20000));
        LoadedRulesBar* bar = monitor.loadedRulesBar();
        QVERIFY(bar != nullptr);
        QVERIFY(!bar->isVisible());

        QCOMPARE(m_sandbox->root.runAsRoot(m_sandbox->root.file(QStringLiteral("/sbin/ipfw")),
                                           { QStringLiteral("-q"), QStringLiteral("add"), QStringLiteral("60000"),
                                             QStringLiteral("deny"), QStringLiteral("udp"), QStringLiteral("from"),
                                             QStringLiteral("any"), QStringLiteral("to"), QStringLiteral("any"),
                                             QStringLiteral("137") }),
                 0);
        monitor.refreshView();
        QVERIFY(monitor.waitForRefresh(20000));
        QVERIFY(bar->isVisible());
        QVERIFY(bar->findChild<QLabel*>(QStringLiteral("loadedRulesMessage"))
                    ->text()
                    .contains(QStringLiteral("The loaded rules are not the active setting's")));
        QVERIFY2(bar->difference().contains(QStringLiteral("\n+60000 deny udp from any to any 137\n")),
                 qPrintable(bar->difference()));
        bar->showButton()->click();
        auto* window = monitor.findChild<RuleDiffWindow*>();
        QVERIFY(window != nullptr);
        QCOMPARE(window->textView()->toPlainText(), bar->difference());
    }

    void settingsWindowComparesTwoStoredSettings()
    {
        m_sandbox->gateway.fetchPassword();
        QVERIFY(m_sandbox->gateway.storeConfiguration(documentWithCurrent("Active")));
        SettingsController window(m_sandbox->gateway);
        RuleDiffWindow* diff = window.compareSettings("Active", "Tried");
        QVERIFY(diff != nullptr);
        QCOMPARE(diff->textView()->toPlainText(), QStringLiteral("--- Active\n+++ Tried\n@@ -1,2 +1,2 @@\n"
                                                                 " 01000 allow ip from any to any via lo*\n"
                                                                 "-02000 allow tcp from any to any 22 in\n"
                                                                 "+04000 deny tcp from any to any 23 in\n"));
        QVERIFY(window.compareSettings("Active", "Missing") == nullptr);
    }
};

QTEST_MAIN(SafetyTest)
#include "tst_safety.moc"
