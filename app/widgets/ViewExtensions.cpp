#include "ViewExtensions.h"

#include <QEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMainWindow>
#include <QScrollBar>
#include <QSettings>
#include <QToolTip>

namespace kw::app {

void InsetViewScroller::setInsetView(QWidget* view)
{
    if (m_insetView == view) {
        return;
    }
    // The old view is released from the scroller's row but stays where it was.
    if (m_insetView) {
        const auto widgets = scrollBarWidgets(Qt::AlignLeft);
        if (widgets.contains(m_insetView.data())) {
            m_insetView->setParent(nullptr);
        }
    }
    m_insetView = view;
    if (view != nullptr) {
        addScrollBarWidget(view, Qt::AlignLeft);
    }
}

void SubPaneSplitView::setSplitterView(QWidget* view)
{
    m_splitterView = view;
    if (view != nullptr) {
        setHandleWidth(view->height());
    }
}

double SubPaneSplitView::dividerThickness() const
{
    return m_splitterView ? static_cast<double>(m_splitterView->height()) : static_cast<double>(handleWidth());
}

QByteArray KWSplitView::saveState() const
{
    QByteArray state = QSplitter::saveState();
    state.append(static_cast<char>(orientation() == Qt::Vertical ? 1 : 0));
    return state;
}

bool KWSplitView::restoreState(const QByteArray& state)
{
    if (state.isEmpty()) {
        return false;
    }
    const char vertical = state.back();
    if (!QSplitter::restoreState(state.left(state.size() - 1))) {
        return false;
    }
    setOrientation(vertical != 0 ? Qt::Vertical : Qt::Horizontal);
    return true;
}

double splitFraction(const QSplitter& splitter)
{
    if (splitter.count() < 2) {
        return 0.0;
    }
    const QList<int> sizes = splitter.sizes();
    const double h0 = sizes.value(0);
    const double h1 = sizes.value(1);
    return h0 + h1 > 0 ? h1 / (h0 + h1) : 0.0;
}

void setSplitFraction(QSplitter& splitter, double fraction)
{
    if (splitter.count() < 2) {
        return;
    }
    QList<int> sizes = splitter.sizes();
    const int total = sizes[0] + sizes[1];
    const int second = static_cast<int>(fraction * total + 0.5);
    sizes[1] = second;
    sizes[0] = total - second;
    splitter.setSizes(sizes);
}

HeaderToolTips::HeaderToolTips(QHeaderView* header)
    : QObject(header)
    , m_header(header)
{
    header->viewport()->installEventFilter(this);
    header->installEventFilter(this);
}

HeaderToolTips& HeaderToolTips::of(QHeaderView* header)
{
    if (auto* existing = header->findChild<HeaderToolTips*>(QString(), Qt::FindDirectChildrenOnly)) {
        return *existing;
    }
    return *new HeaderToolTips(header);
}

int HeaderToolTips::sectionOf(const QString& identifier) const
{
    const QAbstractItemModel* model = m_header->model();
    if (model == nullptr) {
        return -1;
    }
    for (int section = 0; section < model->columnCount(); ++section) {
        if (model->headerData(section, m_header->orientation(), Qt::UserRole).toString() == identifier) {
            return section;
        }
    }
    return -1;
}

void HeaderToolTips::setToolTipsFromDictionary(const QHash<QString, QString>& toolTips, Owner owner)
{
    m_tips.clear();
    for (auto it = toolTips.begin(); it != toolTips.end(); ++it) {
        addToolTipForColumnIdentifier(it.key(), owner);
    }
}

int HeaderToolTips::addToolTipForColumnIdentifier(const QString& identifier, Owner owner)
{
    if (sectionOf(identifier) < 0) {
        return -1;
    }
    const int tag = m_nextTag++;
    m_tips.insert(tag, { identifier, std::move(owner) });
    return tag;
}

QString HeaderToolTips::toolTipAt(int x) const
{
    const int section = m_header->logicalIndexAt(x);
    if (section < 0 || m_header->model() == nullptr) {
        return {};
    }
    const QString identifier = m_header->model()->headerData(section, m_header->orientation(), Qt::UserRole).toString();
    for (const Tip& tip : m_tips) {
        if (tip.identifier == identifier && tip.owner) {
            return tip.owner(identifier);
        }
    }
    return {};
}

bool HeaderToolTips::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = toolTipAt(help->pos().x());
        if (text.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), text, m_header);
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool restoreWindowFrame(QWidget& window, const QString& name)
{
    return window.restoreGeometry(QSettings().value(name + QStringLiteral("/frame")).toByteArray());
}

void saveWindowFrame(const QWidget& window, const QString& name)
{
    QSettings().setValue(name + QStringLiteral("/frame"), window.saveGeometry());
}

void restoreToolbarState(QMainWindow& window, const QString& toolbarIdentifier)
{
    window.restoreState(QSettings().value(toolbarIdentifier + QStringLiteral("/state")).toByteArray());
}

void saveToolbarState(const QMainWindow& window, const QString& toolbarIdentifier)
{
    QSettings().setValue(toolbarIdentifier + QStringLiteral("/state"), window.saveState());
}

} // namespace kw::app
