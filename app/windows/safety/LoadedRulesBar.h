#pragma once

#include <QFrame>

class QLabel;
class QPushButton;

namespace kw::app {

// The bar above the monitor's table when the kernel runs rules other than the active setting's,
// with a button that opens the difference.
class LoadedRulesBar : public QFrame {
    Q_OBJECT
public:
    static constexpr const char* kMessage = "The loaded rules are not the active setting's";

    explicit LoadedRulesBar(QWidget* parent = nullptr);

    // Shows the bar for a non-empty unified diff, hides it for an empty one.
    void setDifference(const QString& difference);
    const QString& difference() const { return m_difference; }
    QPushButton* showButton() const { return m_show; }

public slots:
    void showDifference();

private:
    QLabel* m_label = nullptr;
    QPushButton* m_show = nullptr;
    QString m_difference;
};

} // namespace kw::app
