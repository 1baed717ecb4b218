#pragma once

#include <QMessageBox>
#include <QString>

#include <optional>

namespace kw::app {

// Thin wrapper around message boxes with a "next answer" seam: a test sets the answer, the
// next box is not shown but recorded and answered at once.
class MessageBox {
public:
    struct Shown {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
        QString informativeText;
    };

    // An application-modal alert with one button.
    static QMessageBox::StandardButton critical(QWidget* parent, const QString& title, const QString& text,
                                                QMessageBox::StandardButton button = QMessageBox::Ok);
    // A sheet: window-modal on the parent, with one button of the given text.
    static void warningSheet(QWidget* parent, const QString& title, const QString& text, const QString& buttonText);

    // A sheet with several buttons, each a standard role with its own text; the first is the
    // default. Answers the pressed button's role.
    static QMessageBox::StandardButton ask(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                           const QString& text,
                                           const QList<std::pair<QMessageBox::StandardButton, QString>>& buttons);

    static void setNextAnswer(QMessageBox::StandardButton answer);
    static void clearNextAnswer();
    // What the last box answered by the seam showed.
    static const std::optional<Shown>& lastShown();
    static int shownCount();

private:
    static bool answerFromSeam(const Shown& shown, QMessageBox::StandardButton& answer);
};

} // namespace kw::app
