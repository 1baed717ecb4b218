#pragma once

#include <QStyledItemDelegate>

namespace kw::app {

// Draws an item's text in two styles: the first line in the 12-point system font, the lines
// after it in the 10-point one (browser rows: a name over a detail line).
class TwoLineItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // Rows are 36 points high (taller where the fonts need it).
    static constexpr int kRowHeight = 36;
};

} // namespace kw::app
