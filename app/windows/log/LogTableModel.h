#pragma once

#include "LogExport.h"

#include "logarchive/LogSearch.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QHash>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kw {
class SQLDatabase;
}

namespace kw::app {

// One log set (the current entries or the archive) as a table over its SQLite database. The
// model holds only the log_id of every matching row, in the shown order (8 bytes a row); the
// rows themselves are read a page at a time when the view asks for them and a bounded number
// of pages is kept. Searches and sorting are SQL: the condition comes from LogSearch (column
// and operator from fixed lists, the text a bound value), the order from the column list.
class LogTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Timestamp, RuleNo, Action, Proto, SrcHost, SrcPort, DstHost, DstPort, Dir, Interface, ColumnCount };

    static constexpr int kPageSize = 128;
    static constexpr int kMaxCachedPages = 64;

    explicit LogTableModel(QObject* parent = nullptr);
    ~LogTableModel() override;

    // The log table column a table column shows ("timestamp", "rule_no", ...).
    static const char* columnIdentifier(int column);
    static LogField fieldOfColumn(int column);

    // Shows the rows of the database that match the search, in the current order. Raises
    // SQLException when the database rejects the query; the model then keeps what it showed.
    void setSource(std::shared_ptr<SQLDatabase> database, const std::optional<LogSearch>& search);
    // Shows nothing.
    void clear();
    // Runs the query again (after rows were added or deleted).
    void reload();

    const std::shared_ptr<SQLDatabase>& database() const { return m_database; }
    const std::optional<LogSearch>& search() const { return m_search; }
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    std::int64_t logIdAt(int row) const;
    // A row's value of a log table column; empty for a row deleted since the query.
    QString valueAt(int row, LogField field) const;

    // Hands every row of the set to the visitor, in the shown order, straight from the
    // database; stops when it answers false. False when stopped. Raises SQLException.
    bool forEachRecord(const std::function<bool(const LogRecordView&)>& visit) const;

    // Image names of the two image columns.
    static QString actionImage(const QString& action);
    static QString directionImage(const QString& direction);
    // "%Y-%m-%d\n%H:%M:%S" for a stored "%Y-%m-%d %H:%M:%S"; other texts as they are.
    static QString twoLineTime(const QString& timestamp);
    // Even rows light cyan (red 0.7, green and blue 1.0), odd rows white.
    static QColor rowBackground(int row);
    const QFont& textFont() const { return m_font; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Sorts by the column with SQL ordering (ties in log_id order). Raises nothing: a failing
    // query leaves the order as it was.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Pages read from the database since the last reset (for tests and the benchmark).
    int pagesRead() const { return m_pagesRead; }

private:
    using Page = std::vector<std::array<std::string, kLogFieldCount>>;

    std::vector<std::int64_t> queryIds(SQLDatabase& database, const std::optional<LogSearch>& search, int sortColumn,
                                       Qt::SortOrder order) const;
    std::vector<std::int64_t> sortedIds(SQLDatabase& database, const std::optional<LogSearch>& search, int sortColumn,
                                        Qt::SortOrder order) const;
    std::string orderClause(int sortColumn, Qt::SortOrder order) const;
    const std::array<std::string, kLogFieldCount>* record(int row) const;
    void resetCache();

    std::shared_ptr<SQLDatabase> m_database;
    std::optional<LogSearch> m_search;
    std::vector<std::int64_t> m_ids;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    mutable QHash<int, std::shared_ptr<Page>> m_pages;
    mutable std::list<int> m_pageOrder; // least recently read first
    mutable int m_pagesRead = 0;
    mutable bool m_inTransaction = false;
    QFont m_font;
};

} // namespace kw::app
