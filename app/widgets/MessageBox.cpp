#include "MessageBox.h"

#include <QPushButton>

namespace kw::app {

namespace {

std::optional<QMessageBox::StandardButton> g_nextAnswer;
std::optional<MessageBox::Shown> g_lastShown;
int g_shownCount = 0;

} // namespace

void MessageBox::setNextAnswer(QMessageBox::StandardButton answer)
{
    g_nextAnswer = answer;
}

void MessageBox::clearNextAnswer()
{
    g_nextAnswer.reset();
    g_lastShown.reset();
    g_shownCount = 0;
}

const std::optional<MessageBox::Shown>& MessageBox::lastShown()
{
    return g_lastShown;
}

int MessageBox::shownCount()
{
    return g_shownCount;
}

bool MessageBox::answerFromSeam(const Shown& shown, QMessageBox::StandardButton& answer)
{
    if (!g_nextAnswer) {
        return false;
    }
    g_lastShown = shown;
    ++g_shownCount;
    answer = *g_nextAnswer;
    return true;
}

QMessageBox::StandardButton MessageBox::critical(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButton button)
{
    QMessageBox::StandardButton answer = button;
    if (answerFromSeam({ QMessageBox::Critical, title, text, {} }, answer)) {
        return answer;
    }
    QMessageBox box(QMessageBox::Critical, title, text, button, parent);
    box.setWindowModality(Qt::ApplicationModal);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBox::warningSheet(QWidget* parent, const QString& title, const QString& text, const QString& buttonText)
{
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    if (answerFromSeam({ QMessageBox::Warning, title, text, {} }, answer)) {
        return;
    }
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    box.addButton(buttonText, QMessageBox::AcceptRole);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

QMessageBox::StandardButton MessageBox::ask(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                            const QString& text,
                                            const QList<std::pair<QMessageBox::StandardButton, QString>>& buttons)
{
    QMessageBox::StandardButton answer = buttons.isEmpty() ? QMessageBox::Ok : buttons.first().first;
    if (answerFromSeam({ icon, title, text, {} }, answer)) {
        return answer;
    }
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    for (const auto& [role, label] : buttons) {
        QAbstractButton* button = box.addButton(role);
        button->setText(label);
        if (role == answer) {
            box.setDefaultButton(static_cast<QPushButton*>(button));
        }
    }
    box.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace kw::app
