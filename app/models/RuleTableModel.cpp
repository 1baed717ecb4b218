#include "RuleTableModel.h"

#include "adapters/Resources.h"

#include <QFontDatabase>

namespace kw::app {

namespace {

constexpr RuleKey kColumnKeys[] = {
    RuleKey::OrderItem,   RuleKey::Action,    RuleKey::Direction, RuleKey::Proto,    RuleKey::Source,
    RuleKey::Destination, RuleKey::Interface, RuleKey::Traffic,   RuleKey::DateItem, RuleKey::ExpertOpts,
};
static_assert(std::size(kColumnKeys) == RuleTableModel::ColumnCount);

const char* const kColumnTitles[] = {
    "Rule", "Action", "Dir", "Protocol", "Source", "Destination", "Interface", "Traffic", "Last Match", "Options",
};

QFont systemFont(int points)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(points);
    return font;
}

} // namespace

RuleTableModel::RuleTableModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_font(systemFont(11))
    , m_optionsFont(systemFont(10))
{}

RuleKey RuleTableModel::keyOfColumn(int column)
{
    return column >= 0 && column < ColumnCount ? kColumnKeys[column] : RuleKey::Count;
}

void RuleTableModel::setRows(std::vector<RuleRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

const RuleRow* RuleTableModel::rowAt(int row) const
{
    return row >= 0 && static_cast<std::size_t>(row) < m_rows.size() ? &m_rows[static_cast<std::size_t>(row)] : nullptr;
}

int RuleTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RuleTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString RuleTableModel::actionImage(const RuleRow& row)
{
    const std::string* action = row.string(RuleKey::Action);
    if (action == nullptr) {
        return QStringLiteral("deny");
    }
    if (*action == "allow") {
        return QStringLiteral("allow");
    }
    if (*action == "divert") {
        return QStringLiteral("arrow");
    }
    if (*action == "unreach") {
        return QStringLiteral("unreach_host");
    }
    return QStringLiteral("deny");
}

QString RuleTableModel::directionImage(const RuleRow& row)
{
    const std::string* direction = row.string(RuleKey::Direction);
    if (direction != nullptr && *direction == "in") {
        return QStringLiteral("in");
    }
    if (direction != nullptr && *direction == "out") {
        return QStringLiteral("out");
    }
    return QStringLiteral("all");
}

QColor RuleTableModel::rowBackground(int row)
{
    return row % 2 == 0 ? QColor(237, 243, 254) : QColor(Qt::white);
}

QVariant RuleTableModel::data(const QModelIndex& index, int role) const
{
    const RuleRow* row = index.isValid() ? rowAt(index.row()) : nullptr;
    if (row == nullptr) {
        return {};
    }
    const int column = index.column();
    const bool imageColumn = column == Action || column == Direction;
    switch (role) {
    case Qt::DisplayRole:
        return imageColumn ? QVariant() : QVariant(QString::fromStdString(row->text(keyOfColumn(column))));
    case Qt::DecorationRole:
        if (column == Action) {
            return Resources::image(actionImage(*row));
        }
        if (column == Direction) {
            return Resources::image(directionImage(*row));
        }
        return {};
    case Qt::ToolTipRole:
        return QString::fromStdString(row->text(RuleKey::FilterItem));
    case Qt::BackgroundRole:
        return rowBackground(index.row());
    case Qt::ForegroundRole:
        return QColor(Qt::black);
    case Qt::FontRole:
        return column == ExpertOpts ? m_optionsFont : m_font;
    case Qt::TextAlignmentRole:
        if (column == Order) {
            return int(Qt::AlignRight | Qt::AlignVCenter);
        }
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::UserRole:
        return QString::fromStdString(row->text(keyOfColumn(column)));
    default:
        return {};
    }
}

QVariant RuleTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    const QString identifier = QString::fromLatin1(ruleKeyName(kColumnKeys[section]));
    if (role == Qt::DisplayRole) {
        return Resources::localizedString(QStringLiteral("FirewallLabels"), identifier,
                                          QString::fromLatin1(kColumnTitles[section]));
    }
    if (role == Qt::UserRole) {
        return identifier;
    }
    return {};
}

DynamicRuleModel::DynamicRuleModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_font(systemFont(11))
{}

void DynamicRuleModel::setLines(std::vector<std::string> lines)
{
    beginResetModel();
    m_lines = std::move(lines);
    endResetModel();
}

void DynamicRuleModel::setHeaderText(const QString& text)
{
    m_header = text;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

int DynamicRuleModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

int DynamicRuleModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant DynamicRuleModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= m_lines.size()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QString::fromStdString(m_lines[static_cast<std::size_t>(index.row())]);
    case Qt::BackgroundRole:
        return RuleTableModel::rowBackground(index.row());
    case Qt::ForegroundRole:
        return QColor(Qt::black);
    case Qt::FontRole:
        return m_font;
    default:
        return {};
    }
}

QVariant DynamicRuleModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section == 0) {
        if (role == Qt::DisplayRole) {
            return m_header;
        }
        if (role == Qt::UserRole) {
            return QStringLiteral("DYNAMIC");
        }
        return {};
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

} // namespace kw::app
