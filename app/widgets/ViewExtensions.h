#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QScrollArea>
#include <QSplitter>
#include <QString>

#include <functional>

class QHeaderView;
class QMainWindow;

namespace kw::app {

// A scroll view that keeps a small extra view at the left end of its horizontal scroller's row
// (the monitor's refresh spinner sits there). Without a horizontal scroller it shows none.
class InsetViewScroller : public QScrollArea {
    Q_OBJECT
public:
    using QScrollArea::QScrollArea;
    void setInsetView(QWidget* view);
    QWidget* insetView() const { return m_insetView; }

private:
    QPointer<QWidget> m_insetView;
};

// A split view whose divider is another view: the divider is as thick as that view is high.
class SubPaneSplitView : public QSplitter {
    Q_OBJECT
public:
    using QSplitter::QSplitter;
    void setSplitterView(QWidget* view);
    QWidget* splitterView() const { return m_splitterView; }
    double dividerThickness() const;

private:
    QPointer<QWidget> m_splitterView;
};

// A split view that keeps its orientation in its saved state (one byte after the normal data:
// 1 vertical, 0 horizontal).
class KWSplitView : public QSplitter {
    Q_OBJECT
public:
    using QSplitter::QSplitter;
    QByteArray saveState() const;
    bool restoreState(const QByteArray& state);
};

// The share of the second of two stacked panes (0.0 with fewer than two panes).
double splitFraction(const QSplitter& splitter);
// Gives the second pane the share f of the two panes' height; nothing with fewer than two.
void setSplitFraction(QSplitter& splitter, double fraction);

// A window's frame, kept in the application's settings under "<name>/frame"; restoring
// answers false when none was kept (the window then takes its own first size).
bool restoreWindowFrame(QWidget& window, const QString& name);
void saveWindowFrame(const QWidget& window, const QString& name);
// A main window's bars, kept under "<toolbar identifier>/state".
void restoreToolbarState(QMainWindow& window, const QString& toolbarIdentifier);
void saveToolbarState(const QMainWindow& window, const QString& toolbarIdentifier);

// One tool-tip area per column of a table header: the owner is asked for the text of a column
// identifier when the tip is shown. Column identifiers are the model's header data in
// Qt::UserRole.
class HeaderToolTips : public QObject {
    Q_OBJECT
public:
    using Owner = std::function<QString(const QString& columnIdentifier)>;

    // The header's tool tips (made on first use, owned by the header).
    static HeaderToolTips& of(QHeaderView* header);

    // Removes every tool tip, then adds one per key of the dictionary.
    void setToolTipsFromDictionary(const QHash<QString, QString>& toolTips, Owner owner);
    // The tag of the new tool tip, or -1 when no column has the identifier.
    int addToolTipForColumnIdentifier(const QString& identifier, Owner owner);
    int toolTipCount() const { return static_cast<int>(m_tips.size()); }
    // The text of the tip at a header position, empty when none.
    QString toolTipAt(int x) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit HeaderToolTips(QHeaderView* header);
    int sectionOf(const QString& identifier) const;

    struct Tip {
        QString identifier;
        Owner owner;
    };
    QHeaderView* m_header;
    QHash<int, Tip> m_tips; // tag -> tip
    int m_nextTag = 1;
};

} // namespace kw::app
