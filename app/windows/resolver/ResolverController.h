#pragma once

#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringDecoder>
#include <QWidget>

#include <optional>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kw::app {

// The network tools window: looks up a host name or address with the system's name lookup
// command and asks a whois server about a name, each in its own pane, showing the command's
// raw output as it arrives. Both panes may run at once; a running pane's button cancels it.
class ResolverController : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kLookupProgram = "/usr/bin/nslookup";
    static constexpr const char* kWhoisProgram = "/usr/bin/whois";
    // The domain registry's public whois server.
    static constexpr const char* kWhoisServer = "whois.internic.net";
    static constexpr const char* kFrameName = "Network Tools";

    static ResolverController& sharedInstance();
    // Ends the running commands and closes the window (at quit).
    static void releaseSharedInstance();
    ~ResolverController() override;

    // Why a query text cannot be handed to a command (it would read as an option, or as
    // more than one word); none when it can. An empty text is passed on: the command answers.
    static std::optional<QString> queryProblem(const QString& query);

    QLineEdit* hostNameField() const { return m_lookup.field; }
    QLineEdit* whoisHostName() const { return m_whois.field; }
    QPlainTextEdit* textView() const { return m_lookup.output; }
    QPlainTextEdit* whoisTextView() const { return m_whois.output; }
    QPushButton* lookupButton() const { return m_lookup.button; }
    QPushButton* whoisButton() const { return m_whois.button; }
    bool lookupIsRunning() const { return m_lookup.task != nullptr; }
    bool whoisIsRunning() const { return m_whois.task != nullptr; }

public slots:
    void toggleLookup();
    void toggleWhois();
    void cancelLookupTask();
    void cancelWhoisTask();

signals:
    // A pane's command has ended (by itself or cancelled) and the pane is idle again.
    void lookupTaskDidTerminate();
    void whoisTaskDidTerminate();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Pane {
        QLineEdit* field = nullptr;
        QPlainTextEdit* output = nullptr;
        QPushButton* button = nullptr;
        QPointer<QProcess> task;
        QStringDecoder outputDecoder;
        QStringDecoder errorDecoder;
        QString idleTitle;
        bool ignoreEmpty = false;
    };

    ResolverController();
    void startTask(Pane& pane, const QString& program, const QStringList& arguments);
    void cancelTask(Pane& pane);
    void taskDidTerminate(Pane& pane);
    void appendOutput(Pane& pane, QStringDecoder& decoder, const QByteArray& bytes);

    Pane m_lookup;
    Pane m_whois;
};

} // namespace kw::app
