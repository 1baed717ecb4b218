#include "LogTableModel.h"

#include "adapters/Resources.h"
#include "base/Log.h"
#include "logarchive/SQLDatabase.h"

#include <QIcon>

#include <algorithm>
#include <charconv>

namespace kw::app {

namespace {

constexpr LogField kFieldOfColumn[LogTableModel::ColumnCount] = {
    LogField::Timestamp, LogField::RuleNo,  LogField::Action,  LogField::Proto, LogField::SrcHost,
    LogField::SrcPort,   LogField::DstHost, LogField::DstPort, LogField::Dir,   LogField::Interface,
};

const char* const kColumnTitles[LogTableModel::ColumnCount] = {
    QT_TRANSLATE_NOOP("LogTableModel", "Date"),        QT_TRANSLATE_NOOP("LogTableModel", "Rule"),
    QT_TRANSLATE_NOOP("LogTableModel", "Action"),      QT_TRANSLATE_NOOP("LogTableModel", "Protocol"),
    QT_TRANSLATE_NOOP("LogTableModel", "Source"),      QT_TRANSLATE_NOOP("LogTableModel", "Src Port"),
    QT_TRANSLATE_NOOP("LogTableModel", "Destination"), QT_TRANSLATE_NOOP("LogTableModel", "Dst Port"),
    QT_TRANSLATE_NOOP("LogTableModel", "Dir"),         QT_TRANSLATE_NOOP("LogTableModel", "Interface"),
};

std::string selectColumns()
{
    std::string columns;
    for (const char* name : kLogFieldNames) {
        columns += columns.empty() ? "" : ", ";
        columns += name;
    }
    return columns;
}

std::string whereClause(const std::optional<LogSearch>& search)
{
    return search ? " WHERE " + search->conditionText() : std::string();
}

std::vector<SQLValue> boundValues(const std::optional<LogSearch>& search)
{
    std::vector<SQLValue> values;
    if (search) {
        values.emplace_back(search->boundValue());
    }
    return values;
}

} // namespace

LogTableModel::LogTableModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_font(QFont())
{
    m_font.setPointSize(11);
}

LogTableModel::~LogTableModel() = default;

const char* LogTableModel::columnIdentifier(int column)
{
    return column >= 0 && column < ColumnCount ? kLogFieldNames[static_cast<std::size_t>(kFieldOfColumn[column])] : "";
}

LogField LogTableModel::fieldOfColumn(int column)
{
    return column >= 0 && column < ColumnCount ? kFieldOfColumn[column] : LogField::LogId;
}

std::string LogTableModel::orderClause(int sortColumn, Qt::SortOrder order) const
{
    if (sortColumn < 0 || sortColumn >= ColumnCount) {
        return std::string();
    }
    const char* direction = order == Qt::AscendingOrder ? " ASC" : " DESC";
    return std::string(" ORDER BY ") + columnIdentifier(sortColumn) + direction + ", log_id" + direction;
}

std::vector<std::int64_t> LogTableModel::queryIds(SQLDatabase& database, const std::optional<LogSearch>& search,
                                                  int sortColumn, Qt::SortOrder order) const
{
    // Without an order the query may walk whichever index is smallest; the ids are sorted here,
    // which is cheaper than reading the whole table in rowid order.
    SQLStatement statement = database.prepare(
        "SELECT log_id FROM log_archive" + whereClause(search) + orderClause(sortColumn, order), boundValues(search));
    std::vector<std::int64_t> ids;
    while (statement.step()) {
        const auto text = statement.columnText(0);
        std::int64_t id = 0;
        if (text) {
            std::from_chars(text->data(), text->data() + text->size(), id);
        }
        ids.push_back(id);
    }
    if (sortColumn < 0) {
        std::sort(ids.begin(), ids.end());
    }
    return ids;
}

void LogTableModel::setSource(std::shared_ptr<SQLDatabase> database, const std::optional<LogSearch>& search)
{
    std::vector<std::int64_t> ids;
    if (database && database->isOpen()) {
        ids = queryIds(*database, search, m_sortColumn, m_sortOrder);
    }
    beginResetModel();
    m_database = std::move(database);
    m_search = search;
    m_ids = std::move(ids);
    resetCache();
    endResetModel();
}

void LogTableModel::clear()
{
    beginResetModel();
    m_database.reset();
    m_search.reset();
    m_ids.clear();
    resetCache();
    endResetModel();
}

void LogTableModel::reload()
{
    setSource(m_database, m_search);
}

void LogTableModel::resetCache()
{
    m_pages.clear();
    m_pageOrder.clear();
    m_pagesRead = 0;
}

void LogTableModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount || !m_database || !m_database->isOpen()) {
        m_sortColumn = column;
        m_sortOrder = order;
        return;
    }
    try {
        auto ids = queryIds(*m_database, m_search, column, order);
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        m_sortColumn = column;
        m_sortOrder = order;
        m_ids = std::move(ids);
        resetCache();
        // Persistent indexes (the selection) are not carried over: a sort starts unselected.
        const QModelIndexList persistent = persistentIndexList();
        changePersistentIndexList(persistent, QModelIndexList(persistent.size()));
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    } catch (const SQLException& e) {
        logf("%s", e.what());
    }
}

std::int64_t LogTableModel::logIdAt(int row) const
{
    return row >= 0 && row < static_cast<int>(m_ids.size()) ? m_ids[static_cast<std::size_t>(row)] : -1;
}

const std::array<std::string, kLogFieldCount>* LogTableModel::record(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_ids.size()) || !m_database || !m_database->isOpen()) {
        return nullptr;
    }
    const int pageIndex = row / kPageSize;
    auto found = m_pages.constFind(pageIndex);
    if (found == m_pages.constEnd()) {
        auto page = std::make_shared<Page>();
        const std::size_t first = static_cast<std::size_t>(pageIndex) * kPageSize;
        const std::size_t last = std::min(m_ids.size(), first + kPageSize);
        page->resize(last - first);
        try {
            // A row found by its id is a lookup in the table's own tree: any page of a large
            // set costs the same.
            SQLStatement statement =
                m_database->prepare("SELECT " + selectColumns() + " FROM log_archive WHERE log_id = ?");
            for (std::size_t i = first; i < last; ++i) {
                statement.bindInt64(1, m_ids[i]);
                if (statement.step()) {
                    auto& values = (*page)[i - first];
                    for (std::size_t c = 0; c < kLogFieldCount; ++c) {
                        values[c] = std::string(statement.columnText(static_cast<int>(c)).value_or(""));
                    }
                }
                statement.reset();
            }
        } catch (const SQLException& e) {
            logf("%s", e.what());
        }
        ++m_pagesRead;
        if (m_pages.size() >= kMaxCachedPages) {
            m_pages.remove(m_pageOrder.front());
            m_pageOrder.pop_front();
        }
        m_pageOrder.push_back(pageIndex);
        found = m_pages.insert(pageIndex, std::move(page));
    }
    return &(*found.value())[static_cast<std::size_t>(row % kPageSize)];
}

QString LogTableModel::valueAt(int row, LogField field) const
{
    const auto* values = record(row);
    return values != nullptr ? QString::fromStdString((*values)[static_cast<std::size_t>(field)]) : QString();
}

bool LogTableModel::forEachRecord(const std::function<bool(const LogRecordView&)>& visit) const
{
    if (!m_database || !m_database->isOpen()) {
        return true;
    }
    // The same condition and order as the shown ids, read in one pass.
    const std::string order =
        m_sortColumn >= 0 ? orderClause(m_sortColumn, m_sortOrder) : std::string(" ORDER BY log_id");
    SQLStatement statement = m_database->prepare(
        "SELECT " + selectColumns() + " FROM log_archive" + whereClause(m_search) + order, boundValues(m_search));
    LogRecordView view;
    while (statement.step()) {
        for (std::size_t c = 0; c < kLogFieldCount; ++c) {
            view.values[c] = statement.columnText(static_cast<int>(c)).value_or(std::string_view());
        }
        if (!visit(view)) {
            return false;
        }
    }
    return true;
}

QString LogTableModel::actionImage(const QString& action)
{
    return action == QLatin1String("Accept") ? QStringLiteral("allow") : QStringLiteral("deny");
}

QString LogTableModel::directionImage(const QString& direction)
{
    if (direction == QLatin1String("in")) {
        return QStringLiteral("in");
    }
    if (direction == QLatin1String("out")) {
        return QStringLiteral("out");
    }
    return QStringLiteral("all");
}

QString LogTableModel::twoLineTime(const QString& timestamp)
{
    if (timestamp.size() == 19 && timestamp.at(10) == QLatin1Char(' ') && timestamp.at(4) == QLatin1Char('-') &&
        timestamp.at(13) == QLatin1Char(':')) {
        return timestamp.left(10) + QLatin1Char('\n') + timestamp.mid(11);
    }
    return timestamp;
}

QColor LogTableModel::rowBackground(int row)
{
    return row % 2 == 0 ? QColor::fromRgbF(0.7f, 1.0f, 1.0f) : QColor(Qt::white);
}

int LogTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_ids.size());
}

int LogTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LogTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount) {
        return {};
    }
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: {
        if (column == Action || column == Dir) {
            return {};
        }
        const QString value = valueAt(index.row(), fieldOfColumn(column));
        return column == Timestamp ? twoLineTime(value) : value;
    }
    case Qt::DecorationRole:
        if (column == Action) {
            return Resources::image(actionImage(valueAt(index.row(), LogField::Action)));
        }
        if (column == Dir) {
            return Resources::image(directionImage(valueAt(index.row(), LogField::Dir)));
        }
        return {};
    case Qt::ToolTipRole:
        if (column == Action || column == Dir) {
            return valueAt(index.row(), fieldOfColumn(column));
        }
        return {};
    case Qt::BackgroundRole:
        return rowBackground(index.row());
    case Qt::FontRole:
        return m_font;
    case Qt::TextAlignmentRole:
        if (column == Action || column == Dir) {
            return QVariant::fromValue(Qt::AlignCenter);
        }
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::UserRole:
        return valueAt(index.row(), fieldOfColumn(column));
    default:
        return {};
    }
}

QVariant LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole) {
        return tr(kColumnTitles[section]);
    }
    if (role == Qt::UserRole) {
        return QString::fromLatin1(columnIdentifier(section));
    }
    return {};
}

} // namespace kw::app
