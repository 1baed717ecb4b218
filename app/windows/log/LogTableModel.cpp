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

// The archive keeps indexes on these columns; ordering by them is a walk along the index.
bool isIndexed(LogField field)
{
    return field == LogField::Timestamp || field == LogField::RuleNo || field == LogField::SrcHost;
}

// The columns whose values the table stores as numbers where they are numbers.
bool hasIntegerAffinity(LogField field)
{
    return field == LogField::RuleNo || field == LogField::SrcPort || field == LogField::DstPort;
}

// A value as SQLite orders it: NULL before numbers (by value) before texts (bytewise).
struct SortKey {
    int kind = 0;
    double number = 0;
    std::string text;
    std::int64_t id = 0;

    bool operator<(const SortKey& other) const
    {
        if (kind != other.kind) {
            return kind < other.kind;
        }
        if (kind == 1 && number != other.number) {
            return number < other.number;
        }
        if (kind == 2) {
            if (const int c = text.compare(other.text); c != 0) {
                return c < 0;
            }
        }
        return id < other.id;
    }
};

std::optional<double> numberValue(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Keeps one read transaction open over many lookups: outside a transaction SQLite takes and
// drops its file lock and checks the file for changes around every single statement run.
// Nested uses (a page read while an export runs) join the open one.
class ReadTransaction {
public:
    ReadTransaction(SQLDatabase& database, bool& open)
        : m_database(database)
        , m_open(open)
    {
        if (!m_open) {
            m_database.performQuery("BEGIN");
            m_open = true;
            m_owner = true;
        }
    }
    ~ReadTransaction()
    {
        if (m_owner) {
            m_open = false;
            try {
                m_database.performQuery("COMMIT");
            } catch (const SQLException&) {
                // Nothing was written; the transaction has ended either way.
            }
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    SQLDatabase& m_database;
    bool& m_open;
    bool m_owner = false;
};

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
    if (sortColumn >= 0 && sortColumn < ColumnCount && !isIndexed(fieldOfColumn(sortColumn))) {
        return sortedIds(database, search, sortColumn, order);
    }
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

std::vector<std::int64_t> LogTableModel::sortedIds(SQLDatabase& database, const std::optional<LogSearch>& search,
                                                   int sortColumn, Qt::SortOrder order) const
{
    // A column without an index would be sorted by SQLite's external sorter, several times
    // slower on a large archive than reading the values once and sorting them here in the
    // order SQLite itself gives them.
    const LogField field = fieldOfColumn(sortColumn);
    const bool numeric = hasIntegerAffinity(field);
    SQLStatement statement = database.prepare(std::string("SELECT log_id, ") + columnIdentifier(sortColumn) +
                                                  " FROM log_archive" + whereClause(search),
                                              boundValues(search));
    std::vector<SortKey> keys;
    while (statement.step()) {
        SortKey key;
        if (const auto id = statement.columnText(0)) {
            std::from_chars(id->data(), id->data() + id->size(), key.id);
        }
        if (const auto value = statement.columnText(1)) {
            const auto number = numeric ? numberValue(*value) : std::nullopt;
            key.kind = number ? 1 : 2;
            if (number) {
                key.number = *number;
            } else {
                key.text = std::string(*value);
            }
        }
        keys.push_back(std::move(key));
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::int64_t> ids;
    ids.reserve(keys.size());
    for (const SortKey& key : keys) {
        ids.push_back(key.id);
    }
    if (order == Qt::DescendingOrder) {
        std::reverse(ids.begin(), ids.end());
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
    if (column < 0 || column >= ColumnCount) {
        column = -1; // the table's own order
    }
    if (!m_database || !m_database->isOpen()) {
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
            ReadTransaction transaction(*m_database, m_inTransaction);
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
    LogRecordView view;
    if (m_sortColumn >= 0 && !isIndexed(fieldOfColumn(m_sortColumn))) {
        // Sorted here, not by SQL: the rows are looked up by id. Looked up in the shown order,
        // each would land anywhere in the file; so a block of ids is looked up in id order
        // (neighbours in the file) and then handed out in the shown order.
        constexpr std::size_t kBlock = 65536;
        ReadTransaction transaction(*m_database, m_inTransaction);
        SQLStatement lookup = m_database->prepare("SELECT " + selectColumns() + " FROM log_archive WHERE log_id = ?");
        std::vector<std::pair<std::int64_t, std::size_t>> byId;
        std::vector<std::string> texts;
        std::vector<std::array<std::size_t, kLogFieldCount + 1>> bounds;
        std::vector<char> found;
        for (std::size_t start = 0; start < m_ids.size(); start += kBlock) {
            const std::size_t count = std::min(kBlock, m_ids.size() - start);
            byId.clear();
            for (std::size_t i = 0; i < count; ++i) {
                byId.emplace_back(m_ids[start + i], i);
            }
            std::sort(byId.begin(), byId.end());
            texts.assign(count, std::string());
            bounds.resize(count);
            found.assign(count, 0);
            for (const auto& [id, position] : byId) {
                lookup.bindInt64(1, id);
                if (lookup.step()) {
                    std::string& text = texts[position];
                    for (std::size_t c = 0; c < kLogFieldCount; ++c) {
                        bounds[position][c] = text.size();
                        text += lookup.columnText(static_cast<int>(c)).value_or(std::string_view());
                    }
                    bounds[position][kLogFieldCount] = text.size();
                    found[position] = 1;
                }
                lookup.reset();
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (!found[i]) {
                    continue;
                }
                const std::string_view text = texts[i];
                for (std::size_t c = 0; c < kLogFieldCount; ++c) {
                    view.values[c] = text.substr(bounds[i][c], bounds[i][c + 1] - bounds[i][c]);
                }
                if (!visit(view)) {
                    return false;
                }
            }
        }
        return true;
    }
    // The same condition and order as the shown ids, read in one pass.
    const std::string order =
        m_sortColumn >= 0 ? orderClause(m_sortColumn, m_sortOrder) : std::string(" ORDER BY log_id");
    SQLStatement statement = m_database->prepare(
        "SELECT " + selectColumns() + " FROM log_archive" + whereClause(m_search) + order, boundValues(m_search));
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
