#include "TwoLineItemDelegate.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>

#include <algorithm>

namespace kw::app {

namespace {

const QFont& font(int points)
{
    static const QFont large = [] {
        QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        f.setPointSize(12);
        return f;
    }();
    static const QFont small = [] {
        QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        f.setPointSize(10);
        return f;
    }();
    return points == 12 ? large : small;
}

} // namespace

void TwoLineItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    // The model's own text: the option's has its line breaks turned into line separators.
    const QString text = index.data(Qt::DisplayRole).toString();
    opt.text.clear();
    QStyle* style = opt.widget != nullptr ? opt.widget->style() : QApplication::style();
    painter->save();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    painter->restore();

    // The text takes the row's whole height beside the icon.
    QRect area = opt.rect.adjusted(4, 0, -4, 0);
    if (!opt.icon.isNull()) {
        area.setLeft(opt.rect.left() + opt.decorationSize.width() + 10);
    }
    const int newline = text.indexOf(QLatin1Char('\n'));
    const QString first = newline < 0 ? text : text.left(newline);
    const QString rest = newline < 0 ? QString() : text.mid(newline + 1);
    painter->save();
    painter->setClipRect(opt.rect);
    painter->setPen(opt.state & QStyle::State_Selected ? opt.palette.highlightedText().color()
                                                       : opt.palette.text().color());
    const QFontMetrics big(font(12));
    const QFontMetrics little(font(10));
    const int top = area.top() + (area.height() - big.height() - (rest.isEmpty() ? 0 : little.height())) / 2;
    painter->setFont(font(12));
    painter->drawText(QRect(area.left(), top, area.width(), big.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      big.elidedText(first, Qt::ElideRight, area.width()));
    if (!rest.isEmpty()) {
        painter->setFont(font(10));
        painter->drawText(QRect(area.left(), top + big.height(), area.width(), little.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, little.elidedText(rest, Qt::ElideRight, area.width()));
    }
    painter->restore();
}

QSize TwoLineItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    // 36 points, or more where the two fonts need it on this screen.
    const int fontsNeed = QFontMetrics(font(12)).height() + QFontMetrics(font(10)).height() + 6;
    size.setHeight(std::max(kRowHeight, fontsNeed));
    return size;
}

} // namespace kw::app
