#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QAction;
class QToolBar;

namespace kw::app {

// Lets the user choose which of a window's allowed toolbar items show, and in which order they
// stand, from the toolbar's context menu; the choice is kept in the application's settings
// under the toolbar's identifier and comes back with the window. Besides the item identifiers
// an order may hold kSpace, kFlexibleSpace and kSeparator.
class ToolbarCustomizer : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kSpace = "NSToolbarSpaceItem";
    static constexpr const char* kFlexibleSpace = "NSToolbarFlexibleSpaceItem";
    static constexpr const char* kSeparator = "NSToolbarSeparatorItem";

    // items: every allowed item by identifier, in the order the menu offers them;
    // defaultOrder: what the toolbar shows until the user changes it.
    ToolbarCustomizer(QToolBar* toolbar, const QString& identifier, const QList<QPair<QString, QAction*>>& items,
                      const QStringList& defaultOrder);

    // What the toolbar shows now, in order.
    QStringList itemIdentifiers() const { return m_order; }
    // Shows these items (unknown identifiers are skipped) and keeps the choice.
    void setItemIdentifiers(const QStringList& order);
    void restoreDefaultItems();
    // Shows or hides one allowed item; a shown item goes back to its place in the default
    // order, or to the end.
    void setItemShown(const QString& identifier, bool shown);

    static QString settingsKey(const QString& identifier);

private:
    // The order without unknown names and without an item standing twice.
    QStringList known(const QStringList& order) const;
    void build();
    void showMenu(const QPoint& position);

    QPointer<QToolBar> m_toolbar;
    QString m_identifier;
    QList<QPair<QString, QAction*>> m_items;
    QHash<QString, QAction*> m_byIdentifier;
    QStringList m_defaultOrder;
    QStringList m_order;
};

} // namespace kw::app
