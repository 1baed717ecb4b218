// The toolbar customizer: the default items, hiding and showing an item, spaces, the kept
// choice coming back with a new window, restoring the defaults, and saved names that no
// longer exist.
#include "widgets/ToolbarCustomizer.h"

#include <QAction>
#include <QSettings>
#include <QToolBar>
#include <QtTest>

using namespace kw::app;

namespace {

constexpr const char* kIdentifier = "TestToolbar";

struct Window {
    QToolBar toolbar;
    QAction save { QStringLiteral("Save") };
    QAction check { QStringLiteral("Check") };
    QAction clear { QStringLiteral("Clear") };
    ToolbarCustomizer* customizer;

    Window()
    {
        const QString flexible = QString::fromLatin1(ToolbarCustomizer::kFlexibleSpace);
        customizer = new ToolbarCustomizer(&toolbar, QString::fromLatin1(kIdentifier),
                                           { { QStringLiteral("save"), &save },
                                             { QStringLiteral("check"), &check },
                                             { QStringLiteral("clear"), &clear } },
                                           { QStringLiteral("save"), flexible, QStringLiteral("check") });
    }

    // What the toolbar shows: item texts, and "|" for spacing of any kind.
    QStringList shown() const
    {
        QStringList list;
        for (QAction* action : toolbar.actions()) {
            list << (action->property("toolbarSpacing").toBool() ? QStringLiteral("|") : action->text());
        }
        return list;
    }
};

} // namespace

class ToolbarTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().remove(ToolbarCustomizer::settingsKey(QString::fromLatin1(kIdentifier))); }

    void showsTheDefaultItems()
    {
        Window window;
        QCOMPARE(window.shown(), (QStringList { "Save", "|", "Check" }));
    }

    void hiddenAndShownItemsKeepTheirPlaceAndComeBackWithANewWindow()
    {
        {
            Window window;
            window.customizer->setItemShown(QStringLiteral("save"), false);
            QCOMPARE(window.shown(), (QStringList { "|", "Check" }));
            window.customizer->setItemShown(QStringLiteral("clear"), true);
            QCOMPARE(window.shown(), (QStringList { "|", "Check", "Clear" }));
            window.customizer->setItemShown(QStringLiteral("save"), true);
            QCOMPARE(window.shown(), (QStringList { "|", "Save", "Check", "Clear" }));
        }
        Window again;
        QCOMPARE(again.shown(), (QStringList { "|", "Save", "Check", "Clear" }));
        again.customizer->restoreDefaultItems();
        QCOMPARE(again.shown(), (QStringList { "Save", "|", "Check" }));
        Window afterRestore;
        QCOMPARE(afterRestore.shown(), (QStringList { "Save", "|", "Check" }));
    }

    void itemsStandOnceAndUnknownNamesAreSkipped()
    {
        QSettings().setValue(ToolbarCustomizer::settingsKey(QString::fromLatin1(kIdentifier)),
                             QStringList { "check", "gone", "check", ToolbarCustomizer::kSeparator, "save" });
        Window window;
        QCOMPARE(window.shown(), (QStringList { "Check", "|", "Save" }));
    }
};

QTEST_MAIN(ToolbarTest)
#include "tst_toolbar.moc"
