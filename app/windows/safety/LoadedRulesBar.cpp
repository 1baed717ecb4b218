#include "windows/safety/LoadedRulesBar.h"

#include "adapters/Resources.h"
#include "windows/safety/RuleDiffWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace kw::app {

LoadedRulesBar::LoadedRulesBar(QWidget* parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("loadedRulesBar"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(0xff, 0xf4, 0xc8));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    auto* icon = new QLabel;
    icon->setPixmap(Resources::image(QStringLiteral("PBXBuildWarningIcon")).pixmap(16, 16));
    m_label = new QLabel(tr(kMessage));
    m_label->setObjectName(QStringLiteral("loadedRulesMessage"));
    m_show = new QPushButton(tr("Show Differences…"));
    m_show->setObjectName(QStringLiteral("showDifferenceButton"));
    connect(m_show, &QPushButton::clicked, this, &LoadedRulesBar::showDifference);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->addWidget(icon);
    layout->addWidget(m_label, 1);
    layout->addWidget(m_show);
    hide();
}

void LoadedRulesBar::setDifference(const QString& difference)
{
    m_difference = difference;
    setVisible(!difference.isEmpty());
}

void LoadedRulesBar::showDifference()
{
    RuleDiffWindow::showDifference(tr("Loaded Rules and Active Setting"), m_difference, window());
}

} // namespace kw::app
