#include "widgets/ToolbarCustomizer.h"

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QToolBar>
#include <QWidget>

namespace kw::app {

namespace {

bool isSpacing(const QString& identifier)
{
    return identifier == QLatin1String(ToolbarCustomizer::kSpace) ||
           identifier == QLatin1String(ToolbarCustomizer::kFlexibleSpace) ||
           identifier == QLatin1String(ToolbarCustomizer::kSeparator);
}

} // namespace

ToolbarCustomizer::ToolbarCustomizer(QToolBar* toolbar, const QString& identifier,
                                     const QList<QPair<QString, QAction*>>& items, const QStringList& defaultOrder)
    : QObject(toolbar)
    , m_toolbar(toolbar)
    , m_identifier(identifier)
    , m_items(items)
    , m_defaultOrder(defaultOrder)
{
    for (const auto& [name, action] : items) {
        m_byIdentifier.insert(name, action);
    }
    toolbar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(toolbar, &QWidget::customContextMenuRequested, this, &ToolbarCustomizer::showMenu);
    const QVariant saved = QSettings().value(settingsKey(identifier));
    m_order = known(saved.isValid() ? saved.toStringList() : defaultOrder);
    build();
}

QString ToolbarCustomizer::settingsKey(const QString& identifier)
{
    return identifier + QStringLiteral("/items");
}

QStringList ToolbarCustomizer::known(const QStringList& order) const
{
    QStringList kept;
    for (const QString& identifier : order) {
        // An item stands once; spaces as often as asked.
        if (isSpacing(identifier) || (m_byIdentifier.contains(identifier) && !kept.contains(identifier))) {
            kept << identifier;
        }
    }
    return kept;
}

void ToolbarCustomizer::setItemIdentifiers(const QStringList& order)
{
    m_order = known(order);
    QSettings().setValue(settingsKey(m_identifier), m_order);
    build();
}

void ToolbarCustomizer::restoreDefaultItems()
{
    QSettings().remove(settingsKey(m_identifier));
    m_order = m_defaultOrder;
    build();
}

void ToolbarCustomizer::setItemShown(const QString& identifier, bool shown)
{
    QStringList order = m_order;
    if (!shown) {
        order.removeAll(identifier);
        setItemIdentifiers(order);
        return;
    }
    if (order.contains(identifier)) {
        return;
    }
    // In front of the first shown item that follows it in the default order.
    const qsizetype place = m_defaultOrder.indexOf(identifier);
    qsizetype at = order.size();
    if (place >= 0) {
        for (qsizetype i = place + 1; i < m_defaultOrder.size(); ++i) {
            if (!isSpacing(m_defaultOrder[i]) && order.contains(m_defaultOrder[i])) {
                at = order.indexOf(m_defaultOrder[i]);
                break;
            }
        }
    }
    order.insert(at, identifier);
    setItemIdentifiers(order);
}

void ToolbarCustomizer::build()
{
    if (m_toolbar == nullptr) {
        return;
    }
    // Spacing widgets made here are the customizer's; the items' actions belong to the window.
    for (QAction* action : m_toolbar->actions()) {
        m_toolbar->removeAction(action);
        if (action->property("toolbarSpacing").toBool()) {
            action->deleteLater();
        }
    }
    for (const QString& identifier : m_order) {
        if (identifier == QLatin1String(kSeparator)) {
            m_toolbar->addSeparator()->setProperty("toolbarSpacing", true);
        } else if (isSpacing(identifier)) {
            auto* space = new QWidget;
            space->setObjectName(identifier == QLatin1String(kSpace) ? QStringLiteral("space")
                                                                     : QStringLiteral("flexibleSpace"));
            if (identifier == QLatin1String(kSpace)) {
                space->setFixedWidth(16);
            } else {
                space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
            }
            m_toolbar->addWidget(space)->setProperty("toolbarSpacing", true);
        } else if (QAction* action = m_byIdentifier.value(identifier)) {
            m_toolbar->addAction(action);
        }
    }
}

void ToolbarCustomizer::showMenu(const QPoint& position)
{
    QMenu menu;
    for (const auto& [identifier, action] : m_items) {
        QString title = action->property("paletteLabel").toString();
        if (title.isEmpty()) {
            title = action->text();
        }
        QAction* entry = menu.addAction(title);
        entry->setCheckable(true);
        entry->setChecked(m_order.contains(identifier));
        connect(entry, &QAction::toggled, this, [this, id = identifier](bool on) { setItemShown(id, on); });
    }
    menu.addSeparator();
    for (const auto& [title, spacing] :
         { std::pair { tr("Add Space"), kSpace }, std::pair { tr("Add Flexible Space"), kFlexibleSpace },
           std::pair { tr("Add Separator"), kSeparator } }) {
        menu.addAction(title, this,
                       [this, spacing] { setItemIdentifiers(m_order + QStringList { QString::fromLatin1(spacing) }); });
    }
    menu.addAction(tr("Remove Spaces"), this, [this] {
        QStringList order = m_order;
        order.removeIf(isSpacing);
        setItemIdentifiers(order);
    });
    menu.addSeparator();
    menu.addAction(tr("Restore Default Items"), this, &ToolbarCustomizer::restoreDefaultItems);
    menu.exec(m_toolbar->mapToGlobal(position));
}

} // namespace kw::app
