#pragma once

#include "base/PlistValue.h"

#include <QDialog>

#include <string>
#include <string_view>

class QPlainTextEdit;

namespace kw::app {

// A small window that shows a unified diff of rules, removed lines red and added lines green.
class RuleDiffWindow : public QDialog {
    Q_OBJECT
public:
    RuleDiffWindow(const QString& title, const QString& difference, QWidget* parent = nullptr);

    // Opens a window that deletes itself when closed.
    static RuleDiffWindow* showDifference(const QString& title, const QString& difference, QWidget* parent);

    QPlainTextEdit* textView() const { return m_text; }

    // The rules the active setting of the stored document generates against a listing of the
    // kernel ("ipfw list", with or without counters); "" when they are the same rules.
    static std::string loadedRulesDifference(std::string_view listing);
    // The rules of two settings, as each would be loaded; "" when they load the same rules.
    static std::string settingsDifference(const Value& from, const std::string& fromName, const Value& to,
                                          const std::string& toName);

private:
    QPlainTextEdit* m_text = nullptr;
};

} // namespace kw::app
