#include "windows/safety/TrialCountdownDialog.h"

#include "core/IPFWManager.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

namespace kw::app {

namespace {

// What the tool prints when each step did what it was asked.
constexpr const char* kTryStarted = "The new rules are in force for ";
constexpr const char* kKept = "The new rules are kept";
constexpr const char* kPutBack = "The previous rules were put back";

bool printed(const std::optional<std::string>& output, const char* text)
{
    return output && output->find(text) != std::string::npos;
}

} // namespace

TrialCountdownDialog::TrialCountdownDialog(IPFWManager& gateway, int seconds, QWidget* parent)
    : QDialog(parent)
    , m_gateway(gateway)
    , m_jobs(gateway, this)
    , m_seconds(seconds)
    , m_secondsLeft(seconds)
{
    setObjectName(QStringLiteral("trialCountdown"));
    setWindowTitle(tr("Apply with Undo"));
    setModal(true);
    m_message = new QLabel(tr("Loading the new rules…"));
    m_message->setObjectName(QStringLiteral("messageLabel"));
    m_message->setWordWrap(true);
    m_message->setMinimumWidth(360);
    // Room for the count-down's two lines from the start, so the dialog does not jump.
    m_message->setMinimumHeight(m_message->fontMetrics().lineSpacing() * 3);
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_progress = new QProgressBar;
    m_progress->setObjectName(QStringLiteral("countdownBar"));
    m_progress->setRange(0, seconds);
    m_progress->setValue(seconds);
    m_progress->setTextVisible(false);
    m_keep = new QPushButton(tr("Keep these rules"));
    m_keep->setObjectName(QStringLiteral("keepButton"));
    m_revert = new QPushButton(tr("Revert now"));
    m_revert->setObjectName(QStringLiteral("revertButton"));
    m_keep->setEnabled(false);
    m_revert->setEnabled(false);
    // Return must not keep rules that may have cut the user off: the safe answer is the default.
    m_keep->setAutoDefault(false);
    m_revert->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_revert);
    buttons->addWidget(m_keep);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);

    connect(m_keep, &QPushButton::clicked, this, &TrialCountdownDialog::keepRules);
    connect(m_revert, &QPushButton::clicked, this, &TrialCountdownDialog::revertNow);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &TrialCountdownDialog::tick);
}

TrialCountdownDialog::~TrialCountdownDialog()
{
    m_jobs.wait(60000);
}

void TrialCountdownDialog::start()
{
    if (m_outcome != Outcome::Starting) {
        return;
    }
    auto output = std::make_shared<std::optional<std::string>>();
    m_jobs.run(
        [output, seconds = m_seconds](IPFWManager& gateway) {
            *output = gateway.runToolCommand({ IPFWManager::kTry, std::to_string(seconds) });
        },
        [this, output](bool failed) {
            if (!printed(*output, kTryStarted)) {
                finish(Outcome::Failed, tr("The new rules could not be tried; nothing was changed."));
                return;
            }
            m_outcome = Outcome::Counting;
            if (failed) {
                // The rules did not load as they should: the previous ones come back at once.
                revertNow();
                return;
            }
            m_keep->setEnabled(true);
            m_revert->setEnabled(true);
            showCountdown();
            m_timer.start();
        });
}

void TrialCountdownDialog::showCountdown()
{
    m_progress->setValue(m_secondsLeft);
    const QString left = m_secondsLeft == 1 ? tr("1 second") : tr("%1 seconds").arg(m_secondsLeft);
    m_message->setText(
        tr("The new rules are in force. Keep them? If you do nothing, the previous rules are put back in %1.")
            .arg(left));
}

void TrialCountdownDialog::tick()
{
    if (m_outcome != Outcome::Counting) {
        return;
    }
    m_secondsLeft = std::max(0, m_secondsLeft - 1);
    showCountdown();
    if (m_secondsLeft == 0) {
        revertNow();
    }
}

void TrialCountdownDialog::keepRules()
{
    if (m_outcome != Outcome::Counting) {
        return;
    }
    m_timer.stop();
    m_keep->setEnabled(false);
    m_revert->setEnabled(false);
    auto output = std::make_shared<std::optional<std::string>>();
    m_jobs.run([output](IPFWManager& gateway) { *output = gateway.runToolCommand({ IPFWManager::kConfirm }); },
               [this, output](bool) {
                   if (printed(*output, kKept)) {
                       finish(Outcome::Kept, tr("The new rules are kept."));
                   } else {
                       // Too late: the watchdog was already putting the previous rules back.
                       finish(Outcome::Reverted, tr("The previous rules were put back."));
                   }
               });
}

void TrialCountdownDialog::revertNow()
{
    if (m_outcome != Outcome::Counting) {
        return;
    }
    m_outcome = Outcome::Starting; // no second revert or keep while this one runs
    m_timer.stop();
    m_keep->setEnabled(false);
    m_revert->setEnabled(false);
    m_message->setText(tr("Putting the previous rules back…"));
    m_jobs.run([](IPFWManager& gateway) { gateway.runToolCommand({ IPFWManager::kRevert }); },
               [this](bool) { finish(Outcome::Reverted, tr("The previous rules were put back.")); });
}

void TrialCountdownDialog::reject()
{
    if (m_outcome == Outcome::Counting) {
        revertNow();
        return;
    }
    if (m_jobs.running() == 0) {
        QDialog::reject();
    }
}

void TrialCountdownDialog::finish(Outcome outcome, const QString& message)
{
    m_outcome = outcome;
    m_timer.stop();
    m_message->setText(message);
    emit trialEnded(outcome == Outcome::Kept);
    if (outcome == Outcome::Kept) {
        accept();
    } else {
        QDialog::reject();
    }
}

} // namespace kw::app
