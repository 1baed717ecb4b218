#pragma once

#include "adapters/GatewayJob.h"

#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kw {
class IPFWManager;
}

namespace kw::app {

// "Apply with undo": loads the current setting through "wallctl try" and counts down. "Keep
// these rules" confirms them; "Revert now", closing the dialog or letting the time run out puts
// the previous rules back. The tool's watchdog reverts on its own as well, so a crash of the
// application during the count-down still ends with the previous rules.
class TrialCountdownDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDefaultSeconds = 30;

    enum class Outcome { Starting, Counting, Kept, Reverted, Failed };

    TrialCountdownDialog(IPFWManager& gateway, int seconds, QWidget* parent = nullptr);
    ~TrialCountdownDialog() override;

    // Starts the trial; the count-down runs once the new rules are in force.
    void start();

    Outcome outcome() const { return m_outcome; }
    int secondsLeft() const { return m_secondsLeft; }
    QPushButton* keepButton() const { return m_keep; }
    QPushButton* revertButton() const { return m_revert; }
    QLabel* messageLabel() const { return m_message; }
    // Waits until no job of the dialog runs (tests, quit); false on time-out.
    bool waitForJobs(int milliseconds) { return m_jobs.wait(milliseconds); }

public slots:
    void keepRules();
    void revertNow();
    // Escape and the close box revert, as doing nothing does.
    void reject() override;

signals:
    // The trial has ended: kept, or the previous rules are back (also when it could not start).
    void trialEnded(bool kept);

private:
    void tick();
    void showCountdown();
    void finish(Outcome outcome, const QString& message);

    IPFWManager& m_gateway;
    GatewayJobs m_jobs;
    int m_seconds;
    int m_secondsLeft;
    Outcome m_outcome = Outcome::Starting;
    QTimer m_timer;
    QLabel* m_message = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_keep = nullptr;
    QPushButton* m_revert = nullptr;
};

} // namespace kw::app
