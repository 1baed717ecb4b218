#include "windows/safety/RuleDiffWindow.h"

#include "config/KeepwallPrefs.h"
#include "lint/RuleSet.h"
#include "lint/UnifiedDiff.h"
#include "rules/ConfigurationText.h"
#include "syntax/NameServices.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace kw::app {

RuleDiffWindow::RuleDiffWindow(const QString& title, const QString& difference, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("ruleDiffWindow"));
    setWindowTitle(title);
    m_text = new QPlainTextEdit;
    m_text->setObjectName(QStringLiteral("diffText"));
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_text->setPlainText(difference.isEmpty() ? tr("The rules are the same.") : difference);
    // Colour the changed lines as diff viewers do.
    for (QTextBlock block = m_text->document()->begin(); block.isValid(); block = block.next()) {
        const QString line = block.text();
        QColor colour;
        if (line.startsWith(QLatin1Char('-')) && !line.startsWith(QLatin1String("---"))) {
            colour = QColor(0xb0, 0x00, 0x00);
        } else if (line.startsWith(QLatin1Char('+')) && !line.startsWith(QLatin1String("+++"))) {
            colour = QColor(0x00, 0x80, 0x00);
        } else if (line.startsWith(QLatin1String("@@"))) {
            colour = QColor(0x60, 0x60, 0x60);
        } else {
            continue;
        }
        QTextCharFormat format;
        format.setForeground(colour);
        QTextCursor cursor(block);
        cursor.select(QTextCursor::LineUnderCursor);
        cursor.setCharFormat(format);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(buttons);
    resize(640, 420);
}

RuleDiffWindow* RuleDiffWindow::showDifference(const QString& title, const QString& difference, QWidget* parent)
{
    auto* window = new RuleDiffWindow(title, difference, parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    return window;
}

std::string RuleDiffWindow::loadedRulesDifference(std::string_view listing)
{
    KeepwallPrefs prefs;
    const std::string text = prefs.ipfwTextForSettingKey(prefs.currentSettingsKey().value_or(std::string()));
    NameServices names;
    return unifiedDiff(canonicalRuleFile(text, names), canonicalListing(listing, names), "active setting",
                       "loaded rules");
}

std::string RuleDiffWindow::settingsDifference(const Value& from, const std::string& fromName, const Value& to,
                                               const std::string& toName)
{
    NameServices names;
    return unifiedDiff(canonicalRuleFile(ipfwTextForSetting(from), names),
                       canonicalRuleFile(ipfwTextForSetting(to), names), fromName, toName);
}

} // namespace kw::app
