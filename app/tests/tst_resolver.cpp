// The network tools window on a sandbox root whose name lookup and whois commands are
// stand-ins: output shown as it arrives, Cancel, refused query texts, a missing command.
#include "AppTestSupport.h"

#include "windows/resolver/ResolverController.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace kw::app;
using namespace kw::apptest;

namespace {

void writeProgram(const QString& path, const QByteArray& script)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(script);
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// Answers from the root's hosts file the way the lookup command words its answers.
const QByteArray kLookupStandIn =
    "#!/bin/sh\n"
    "root=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
    "if [ -z \"$1\" ]; then echo \"Usage: nslookup host\" >&2; exit 1; fi\n"
    "address=$(awk -v n=\"$1\" '$2 == n { print $1; exit }' \"$root/etc/hosts\")\n"
    "if [ -z \"$address\" ]; then echo \"** server can't find $1: NXDOMAIN\"; exit 1; fi\n"
    "echo \"Name:\t$1\"\n"
    "echo \"Address: $address\"\n";

// Shows its arguments one per line, then keeps the connection open for a while.
const QByteArray kWhoisStandIn = "#!/bin/sh\n"
                                 "for a in \"$@\"; do echo \"argument [$a]\"; done\n"
                                 "echo \"partial answer\"\n"
                                 "sleep 20\n"
                                 "echo \"never shown\"\n";

} // namespace

class ResolverTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxRoot> m_root;
    ResolverController* m_window = nullptr;

private slots:
    void initTestCase()
    {
        m_root = std::make_unique<SandboxRoot>();
        QFile hosts(m_root->file(QStringLiteral("/etc/hosts")));
        QVERIFY(hosts.open(QIODevice::WriteOnly | QIODevice::Truncate));
        hosts.write("127.0.0.1\tlocalhost\n192.0.2.7\tgateway.sandbox\n");
        hosts.close();
        writeProgram(m_root->file(QString::fromLatin1(ResolverController::kLookupProgram)), kLookupStandIn);
        writeProgram(m_root->file(QString::fromLatin1(ResolverController::kWhoisProgram)), kWhoisStandIn);
        m_window = &ResolverController::sharedInstance();
    }

    void cleanupTestCase()
    {
        delete m_window;
        m_root.reset();
    }

    void refusesQueriesThatAreNotOneWord_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("refused");
        QTest::newRow("name") << "gateway.sandbox" << false;
        QTest::newRow("address") << "192.0.2.7" << false;
        QTest::newRow("empty: the command answers") << "" << false;
        QTest::newRow("option") << "-h" << true;
        QTest::newRow("option-like") << "-type=any" << true;
        QTest::newRow("blank") << "a b" << true;
        QTest::newRow("tab") << "a\tb" << true;
        QTest::newRow("line feed") << "a\nb" << true;
        QTest::newRow("control") << QStringLiteral("a\u0001b") << true;
    }

    void refusesQueriesThatAreNotOneWord()
    {
        QFETCH(QString, query);
        QFETCH(bool, refused);
        QCOMPARE(ResolverController::queryProblem(query).has_value(), refused);
    }

    void lookupShowsTheAnswerAndReturnsToIdle()
    {
        QSignalSpy ended(m_window, &ResolverController::lookupTaskDidTerminate);
        m_window->hostNameField()->setText(QStringLiteral("gateway.sandbox"));
        m_window->lookupButton()->click();
        QVERIFY(m_window->lookupIsRunning());
        QCOMPARE(m_window->lookupButton()->text(), QStringLiteral("Cancel"));
        QVERIFY(ended.wait(10000));
        QVERIFY(!m_window->lookupIsRunning());
        QCOMPARE(m_window->lookupButton()->text(), QStringLiteral("Lookup"));
        QVERIFY(m_window->textView()->toPlainText().contains(QStringLiteral("Address: 192.0.2.7")));
    }

    void unknownNameShowsTheCommandsOwnMessage()
    {
        QSignalSpy ended(m_window, &ResolverController::lookupTaskDidTerminate);
        m_window->hostNameField()->setText(QStringLiteral("nosuch.sandbox"));
        m_window->toggleLookup();
        QVERIFY(ended.wait(10000));
        QCOMPARE(m_window->textView()->toPlainText(),
                 QStringLiteral("** server can't find nosuch.sandbox: NXDOMAIN\n"));
    }

    void emptyNameRunsTheCommandAndShowsItsUsage()
    {
        QSignalSpy ended(m_window, &ResolverController::lookupTaskDidTerminate);
        m_window->hostNameField()->clear();
        m_window->toggleLookup();
        QVERIFY(ended.wait(10000));
        QCOMPARE(m_window->textView()->toPlainText(), QStringLiteral("Usage: nslookup host\n"));
    }

    void refusedQueryStartsNoCommand()
    {
        m_window->hostNameField()->setText(QStringLiteral("-query=any"));
        m_window->toggleLookup();
        QVERIFY(!m_window->lookupIsRunning());
        QCOMPARE(m_window->lookupButton()->text(), QStringLiteral("Lookup"));
        QVERIFY(m_window->textView()->toPlainText().contains(QStringLiteral("cannot begin")));
    }

    void whoisStreamsItsOutputAndCancelKeepsIt()
    {
        QSignalSpy ended(m_window, &ResolverController::whoisTaskDidTerminate);
        m_window->whoisHostName()->setText(QStringLiteral("example.org"));
        m_window->whoisButton()->click();
        QCOMPARE(m_window->whoisButton()->text(), QStringLiteral("Cancel"));
        // The first lines show while the command still runs.
        QTRY_VERIFY_WITH_TIMEOUT(m_window->whoisTextView()->toPlainText().contains(QStringLiteral("partial answer")),
                                 10000);
        QVERIFY(m_window->whoisIsRunning());
        QCOMPARE(m_window->whoisTextView()->toPlainText(), QStringLiteral("argument [-h]\n"
                                                                          "argument [whois.internic.net]\n"
                                                                          "argument [example.org]\n"
                                                                          "partial answer\n"));
        m_window->whoisButton()->click();
        QVERIFY(ended.wait(10000));
        QCOMPARE(m_window->whoisButton()->text(), QStringLiteral("Whois"));
        QVERIFY(m_window->whoisTextView()->toPlainText().endsWith(QStringLiteral("partial answer\n")));
    }

    void pressingTwiceStartsThenCancels()
    {
        QSignalSpy ended(m_window, &ResolverController::whoisTaskDidTerminate);
        m_window->whoisHostName()->setText(QStringLiteral("example.net"));
        m_window->toggleWhois();
        m_window->toggleWhois();
        QVERIFY(ended.wait(10000));
        QCOMPARE(ended.count(), 1);
        QVERIFY(!m_window->whoisIsRunning());
    }

    void bothPanesRunAtOnce()
    {
        QSignalSpy lookupEnded(m_window, &ResolverController::lookupTaskDidTerminate);
        QSignalSpy whoisEnded(m_window, &ResolverController::whoisTaskDidTerminate);
        m_window->whoisHostName()->setText(QStringLiteral("example.com"));
        m_window->toggleWhois();
        m_window->hostNameField()->setText(QStringLiteral("localhost"));
        m_window->toggleLookup();
        QVERIFY(lookupEnded.wait(10000));
        QVERIFY(m_window->whoisIsRunning());
        QVERIFY(m_window->textView()->toPlainText().contains(QStringLiteral("127.0.0.1")));
        m_window->cancelWhoisTask();
        QVERIFY(whoisEnded.wait(10000));
    }

    void missingCommandIsReportedInThePane()
    {
        QFile::remove(m_root->file(QString::fromLatin1(ResolverController::kLookupProgram)));
        QSignalSpy ended(m_window, &ResolverController::lookupTaskDidTerminate);
        m_window->hostNameField()->setText(QStringLiteral("gateway.sandbox"));
        m_window->toggleLookup();
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 10000);
        QVERIFY(m_window->textView()->toPlainText().startsWith(QStringLiteral("Cannot run ")));
        QCOMPARE(m_window->lookupButton()->text(), QStringLiteral("Lookup"));
    }
};

QTEST_MAIN(ResolverTest)
#include "tst_resolver.moc"
