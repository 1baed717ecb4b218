#pragma once

#include "LogItemSpool.h"
#include "LogParser.h"
#include "LogSearch.h"
#include "SQLDatabase.h"

#include "base/PlistValue.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// Raised when the archive file is there but is not a log archive (not a database, an old
// SQLite 2 file, or a database of another shape). Such a file is never changed.
class LogArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the firewall's log lines, keeps the items of the last reading in a private current-log
// database and adds the new ones to the permanent archive "/Library/Keepwall/logArchive.db"
// (under the system root). One shared instance per process; not for use from two threads at once.
class KWLogManager {
public:
    using Row = std::map<std::string, std::string>;
    using Clock = std::function<std::time_t()>;

    static constexpr const char* kLogDBPath = "/Library/Keepwall/logArchive.db";
    static constexpr const char* kArchiveFolder = "/Library/Keepwall";
    // The archive table, kept exactly as stored archives hold it in their schema.
    static const char* const kCreateTableStatement;

    static KWLogManager& sharedInstance();

    KWLogManager();
    ~KWLogManager();
    KWLogManager(const KWLogManager&) = delete;
    KWLogManager& operator=(const KWLogManager&) = delete;

    // The clock that dates a reading (see LogYearRule); the wall clock by default.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Reads the firewall log of the system root: "/var/log/ipfw.log" on 10.4, else the
    // "kernel: ipfw:" lines of "/var/log/system.log"; streams it through the parser.
    void reloadLogItems();
    // Replaces the current items with those parsed from the text.
    void parseLogData(std::string_view bytes);
    std::vector<LogItem> currentLogItems() const;
    std::size_t logItemCount() const { return m_logItems.count(); }

    void createTempDatabase();
    // The current-log database then holds exactly the current items (one transaction).
    bool incorporateLogEntriesIntoTempDB();

    // True when the archive is open and has its table. Creates the folder (0755) and the
    // file (0644) when missing; raises std::invalid_argument "Unable to create folder at
    // /Library/Keepwall" when the folder cannot be made, and LogArchiveError for a file that
    // is not a log archive. A process that may not write the file opens it read-only.
    bool openDatabase();
    bool createArchiveDatabaseIfNeeded();
    bool databaseIsOpen() const { return m_database != nullptr; }
    void closeDatabase();

    std::optional<std::string> maxArchiveTimestamp();
    // Adds the current items newer than the archive's newest time stamp, all in one
    // transaction: on any failure (full disk, a kill) the archive stays as it was.
    bool incorporateLogEntries();
    bool insertArchiveRow(const LogItem& item, SQLDatabase& database);

    // Rows of the archive or the current log. The condition is SQL written by the caller
    // (placed after WHERE; one statement only); none for every row. Empty while closed.
    std::vector<Row> fetchArchiveForQuery(const std::optional<std::string>& condition);
    std::vector<Row> fetchCurrentForQuery(const std::optional<std::string>& condition);
    // The same for a search built from the log window's menus, with the text bound as a value.
    std::vector<Row> fetchArchive(const std::optional<LogSearch>& search);
    std::vector<Row> fetchCurrent(const std::optional<LogSearch>& search);

    // Deletes the archive rows with these log_id values; false while the archive is closed.
    bool deleteItemsWithIds(const std::vector<std::int64_t>& ids);
    // The same for the "delete-log" reply: anything but an array of integers (numbers or
    // decimal texts, as fetched rows carry them) is logged and deletes nothing.
    bool deleteItemsWithIds(const Value& ids);
    static std::optional<std::vector<std::int64_t>> logIdsFromValue(const Value& ids, std::string* problem = nullptr);
    static std::string deleteStatementForIds(const std::vector<std::int64_t>& ids);

    // The archive path under the system root.
    static std::string logDBPath();

private:
    std::vector<Row> fetch(SQLDatabase* db, const std::string& sql, const std::vector<SQLValue>& values);
    void insertItems(SQLDatabase& db, const std::optional<std::string>& newerThan, std::size_t& count);
    void ensureArchiveFolder();

    LogItemSpool m_logItems;
    SQLDatabase m_tempDatabase;
    std::unique_ptr<SQLDatabase> m_database;
    Clock m_clock;
};

} // namespace kw
