#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class QAction;
class QCheckBox;
class QListWidget;
class QPlainTextEdit;
class QProgressDialog;
class QTextDocument;
class QToolBar;

namespace kw {
class ScopedObserver;
}

namespace kw::app {

// The syntax checker window: the expert rule text (the configuration window's own document,
// so edits here are edits of the setting) above the list of messages that the rule text
// checker gives for it. The check runs on a worker thread behind a progress sheet; choosing a
// message selects its rule line.
class NewConfigurationController;

class SyntaxChecker : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kToolbarIdentifier = "MainToolbar1.2";
    static constexpr const char* kNoErrorsFound = "No Errors Found.\n";
    // The item data role of a message's 1-based line number.
    static constexpr int kLineNumberRole = Qt::UserRole + 1;

    // A line's place in a text: where it starts and how long it is with its line feed.
    struct LineRange {
        qsizetype location = -1;
        qsizetype length = 0;
        bool operator==(const LineRange&) const = default;
    };

    static SyntaxChecker& sharedInstance();
    // The window when it has been made; none before (the configuration window only tells it
    // about editing changes once it exists).
    static SyntaxChecker* existingInstance();

    ~SyntaxChecker() override;

    // The configuration window whose expert text this window shows: it saves, and it learns
    // of editing changes made here.
    void setConfigurationController(NewConfigurationController* window);
    // Shows and edits the given document (the configuration window's expert text).
    void setTextStorage(QTextDocument* storage);
    void allowExpertEditing(bool allowed);
    // The line (1-based) of a text, lines ending at a line feed; location -1 when there is none.
    static LineRange lineRangeForLine(int line, const QString& text);

    bool isChecking() const { return m_isChecking; }
    QPlainTextEdit* editView() const { return m_editView; }
    QListWidget* messageView() const { return m_messageView; }
    QCheckBox* allowEditingBox() const { return m_allowEditing; }
    QCheckBox* releaseGrammarBox() const { return m_releaseGrammar; }
    QAction* toolbarItem(const QString& identifier) const;
    // Selects line n of the rule text and scrolls it into view.
    void selectLine(int line);

public slots:
    void checkSyntax();
    void toggleExpertEditing();
    void validateToolbar();

signals:
    // A check has ended and its messages are listed.
    void checkFinished(bool noErrors);

private:
    SyntaxChecker();
    void windowDidLoad();
    void createToolbar();
    void syntaxEventReceived(const QString& message, int line, bool warning);
    void finishCheck(bool noErrors);
    void messageSelected();
    void userAuthenticated();
    void userDeauthenticated();

    QPlainTextEdit* m_editView = nullptr;
    QListWidget* m_messageView = nullptr;
    QCheckBox* m_allowEditing = nullptr;
    QCheckBox* m_releaseGrammar = nullptr;
    QProgressDialog* m_progPanel = nullptr;
    QToolBar* m_toolbar = nullptr;
    QAction* m_saveItem = nullptr;
    QAction* m_checkItem = nullptr;
    QPointer<NewConfigurationController> m_configuration;
    bool m_isChecking = false;
    std::thread m_worker;
    std::atomic<std::thread::id> m_workerId;
    std::unique_ptr<ScopedObserver> m_syntaxEvents;
};

} // namespace kw::app
