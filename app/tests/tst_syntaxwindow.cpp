// The keyword colourer and the syntax checker window over the configuration window's expert
// text: colour spans, the listed messages and their lines, choosing a message, the shared
// text and the editing switch.
#include "AppTestSupport.h"

#include "core/IPFWManager.h"
#include "widgets/MessageBox.h"
#include "windows/NewConfigurationController.h"
#include "windows/syntax/SyntaxChecker.h"
#include "windows/syntax/SyntaxColorizer.h"

#include <QAction>
#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextLayout>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

using Span = SyntaxColorizer::Span;
Q_DECLARE_METATYPE(QList<Span>)

namespace {

const QString kThreeBadLines = QStringLiteral("# the rules\n"
                                              "add 100 allow tcp from any to any 22\n"
                                              "add 200 alow ip from any to any\n"
                                              "\n"
                                              "add 300 deny tcp from any to any 99999\n"
                                              "add 400 allow ip from any to any\n"
                                              "add 500 count log tcp frm any to any\n");

// The foreground colours the highlighter gave one line, character by character.
QList<QColor> coloursOfLine(QPlainTextEdit& view, int line)
{
    const QTextBlock block = view.document()->findBlockByNumber(line);
    QList<QColor> colours(block.length() - 1, QColor());
    for (const QTextLayout::FormatRange& range : block.layout()->formats()) {
        for (int i = range.start; i < range.start + range.length && i < colours.size(); ++i) {
            colours[i] = range.format.foreground().color();
        }
    }
    return colours;
}

} // namespace

class SyntaxWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;
    std::unique_ptr<NewConfigurationController> m_configuration;

    SyntaxChecker& checkText(const QString& text)
    {
        QPlainTextEdit* expert = m_configuration->findChild<QPlainTextEdit*>(QStringLiteral("expertText"));
        expert->setPlainText(text);
        SyntaxChecker& checker = SyntaxChecker::sharedInstance();
        QSignalSpy finished(&checker, &SyntaxChecker::checkFinished);
        m_configuration->showSyntaxChecker();
        if (!finished.wait(20000)) {
            qWarning("the check did not finish");
        }
        return checker;
    }

    static QStringList messages(const SyntaxChecker& checker)
    {
        QStringList list;
        for (int row = 0; row < checker.messageView()->count(); ++row) {
            const QListWidgetItem* item = checker.messageView()->item(row);
            const QVariant line = item->data(SyntaxChecker::kLineNumberRole);
            list << (line.isValid() ? QString::number(line.toInt()) + QLatin1Char(':') : QString()) + item->text();
        }
        return list;
    }

private slots:
    void initTestCase()
    {
        m_sandbox = std::make_unique<SandboxGateway>();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
        m_configuration = std::make_unique<NewConfigurationController>(m_sandbox->gateway);
    }

    void cleanupTestCase()
    {
        delete SyntaxChecker::existingInstance();
        m_configuration.reset();
        m_sandbox.reset();
    }

    void keywordSpans_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QList<Span>>("spans");
        QTest::addColumn<bool>("comment");
        QTest::newRow("rule") << "add 100 allow tcp from any to any" << QList<Span> { { 0, 3 },  { 8, 5 },  { 14, 3 },
                                                                                      { 18, 4 }, { 23, 3 }, { 27, 2 },
                                                                                      { 30, 3 } }
                              << false;
        QTest::newRow("inside a longer word") << "xallowx" << QList<Span> { { 1, 5 } } << false;
        QTest::newRow("comment line, keywords included") << "# allow all" << QList<Span> {} << true;
        QTest::newRow("hash later in a line")
            << "add 1 deny ip # allow" << QList<Span> { { 0, 3 }, { 6, 4 }, { 11, 2 }, { 16, 5 } } << false;
        QTest::newRow("blank first, then hash") << " # allow" << QList<Span> { { 3, 5 } } << false;
        QTest::newRow("empty") << "" << QList<Span> {} << false;
        QTest::newRow("case matters") << "ALLOW" << QList<Span> {} << false;
    }

    void keywordSpans()
    {
        QFETCH(QString, line);
        QFETCH(QList<Span>, spans);
        QFETCH(bool, comment);
        const SyntaxColorizer& colorizer = SyntaxColorizer::sharedInstance();
        QCOMPARE(colorizer.lineKind(line) == SyntaxColorizer::LineKind::Comment, comment);
        QCOMPARE(colorizer.keywordSpans(line), spans);
    }

    void expertTextIsColouredAndTypingRecoloursItsLine()
    {
        QPlainTextEdit* expert = m_configuration->findChild<QPlainTextEdit*>(QStringLiteral("expertText"));
        expert->setPlainText(QStringLiteral("# allow\nadd 1 deny ip\nxyz\n"));
        const QColor red(Qt::red), blue(Qt::blue), black(Qt::black);
        QCOMPARE(coloursOfLine(*expert, 0), QList<QColor>(7, red));
        QCOMPARE(coloursOfLine(*expert, 1),
                 (QList<QColor> { blue, blue, blue, black, black, black, blue, blue, blue, blue, black, blue, blue }));
        QCOMPARE(coloursOfLine(*expert, 2), QList<QColor>(3, black));
        // Typing a keyword into the third line colours it there.
        QTextCursor cursor(expert->document()->findBlockByNumber(2));
        cursor.movePosition(QTextCursor::EndOfBlock);
        cursor.insertText(QStringLiteral(" via"));
        QCOMPARE(coloursOfLine(*expert, 2), (QList<QColor> { black, black, black, black, blue, blue, blue }));
    }

    void listsEveryErrorWithItsLineAndJumpsToIt()
    {
        SyntaxChecker& checker = checkText(kThreeBadLines);
        QCOMPARE(messages(checker), (QStringList { QStringLiteral("3: invalid action ``alow''"),
                                                   QStringLiteral("5: port ``99999'' out of range"),
                                                   QStringLiteral("7: missing ``from''") }));
        QCOMPARE(checker.messageView()->item(0)->foreground().color(), QColor(Qt::red));
        // Choosing the second message selects line 5 of the rule text.
        checker.messageView()->setCurrentRow(1);
        QCOMPARE(checker.editView()->textCursor().selectedText(),
                 QStringLiteral("add 300 deny tcp from any to any 99999\u2029"));
        checker.messageView()->setCurrentRow(2);
        QCOMPARE(checker.editView()->textCursor().selectedText(),
                 QStringLiteral("add 500 count log tcp frm any to any\u2029"));
    }

    void cleanTextShowsOnlyNoErrorsFound()
    {
        SyntaxChecker& checker = checkText(QStringLiteral("# only comments\n\n   \n# and blanks\n"));
        QCOMPARE(messages(checker), QStringList { QStringLiteral("No Errors Found.") });
        // The message without a line selects nothing in the text.
        checker.editView()->moveCursor(QTextCursor::Start);
        checker.messageView()->setCurrentRow(0);
        QVERIFY(!checker.editView()->textCursor().hasSelection());
    }

    void aLineOfTooManyWordsIsListed()
    {
        QString line = QStringLiteral("add 100 allow ip from any to any");
        for (int i = 0; i < 30; ++i) {
            line += QStringLiteral(" via");
        }
        SyntaxChecker& checker = checkText(QStringLiteral("add 1 allow ip from any to any\n") + line + u'\n');
        QCOMPARE(messages(checker), QStringList { QStringLiteral("2: too many arguments") });
    }

    void theTextIsTheConfigurationWindowsText()
    {
        SyntaxChecker& checker = checkText(QStringLiteral("add 100 allow ip from any to any\n"));
        QPlainTextEdit* expert = m_configuration->findChild<QPlainTextEdit*>(QStringLiteral("expertText"));
        QCOMPARE(checker.editView()->document(), expert->document());
        checker.allowExpertEditing(true);
        m_configuration->allowExpertEditing(true);
        checker.editView()->moveCursor(QTextCursor::End);
        checker.editView()->insertPlainText(QStringLiteral("add 200 deny ip from any to any\n"));
        QVERIFY(m_configuration->expertText().endsWith(QStringLiteral("add 200 deny ip from any to any\n")));
        QVERIFY(m_configuration->isEdited());
    }

    void editingSwitchFollowsBothWindowsAndTheLock()
    {
        SyntaxChecker& checker = SyntaxChecker::sharedInstance();
        QCheckBox* windowBox = m_configuration->findChild<QCheckBox*>(QStringLiteral("allowExpertEditing"));
        // Authenticated: the box is enabled; switching it here switches the configuration window.
        m_sandbox->gateway.authenticate();
        QTRY_VERIFY(checker.allowEditingBox()->isEnabled());
        QTRY_VERIFY(windowBox->isEnabled());
        checker.allowEditingBox()->setChecked(false);
        checker.toggleExpertEditing();
        QVERIFY(!windowBox->isChecked());
        QVERIFY(checker.editView()->isReadOnly());
        // And the other way round.
        windowBox->click();
        QVERIFY(windowBox->isChecked());
        QVERIFY(checker.allowEditingBox()->isChecked());
        QVERIFY(!checker.editView()->isReadOnly());
        // Locked: the box is disabled.
        m_sandbox->gateway.deauthenticate();
        QTRY_VERIFY(!checker.allowEditingBox()->isEnabled());
        QVERIFY(!checker.toolbarItem(QStringLiteral("saveSettings"))->isEnabled());
    }

    void lineRanges_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("location");
        QTest::addColumn<qsizetype>("length");
        QTest::newRow("first") << 1 << "ab\ncd\n" << qsizetype(0) << qsizetype(3);
        QTest::newRow("second") << 2 << "ab\ncd\n" << qsizetype(3) << qsizetype(3);
        QTest::newRow("last without line feed") << 2 << "ab\ncd" << qsizetype(3) << qsizetype(2);
        QTest::newRow("empty line") << 2 << "ab\n\ncd" << qsizetype(3) << qsizetype(1);
        QTest::newRow("past the end") << 4 << "ab\ncd\n" << qsizetype(-1) << qsizetype(0);
        QTest::newRow("zero") << 0 << "ab" << qsizetype(-1) << qsizetype(0);
    }

    void lineRanges()
    {
        QFETCH(int, line);
        QFETCH(QString, text);
        QFETCH(qsizetype, location);
        QFETCH(qsizetype, length);
        QCOMPARE(SyntaxChecker::lineRangeForLine(line, text), (SyntaxChecker::LineRange { location, length }));
    }
};

QTEST_MAIN(SyntaxWindowTest)
#include "tst_syntaxwindow.moc"
