#include "KWLogManager.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/Release.h"
#include "base/SystemRoot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

namespace {

constexpr const char* kInsertStatement =
    "INSERT INTO log_archive (log_id, timestamp, rule_no, action, proto, src_label, src_host, src_port, "
    "dst_label, dst_host, dst_port, dir, interface) VALUES (NULL,?,?,?,?,?,?,?,?,?,?,?,?)";

// Searches by time, rule and source host stay fast on large archives; the table statement
// itself is kept as stored archives hold it.
constexpr const char* kIndexStatements[] = {
    "CREATE INDEX IF NOT EXISTS log_archive_timestamp ON log_archive (timestamp)",
    "CREATE INDEX IF NOT EXISTS log_archive_rule_no ON log_archive (rule_no)",
    "CREATE INDEX IF NOT EXISTS log_archive_src_host ON log_archive (src_host)",
};

constexpr const char* kColumns[] = { "log_id",   "timestamp", "rule_no",  "action",   "proto", "src_label", "src_host",
                                     "src_port", "dst_label", "dst_host", "dst_port", "dir",   "interface" };

// Missing ports are stored as the text "(null)", as every archive has always held them.
constexpr std::string_view kMissingValue = "(null)";

// Transaction guard: rolls back unless committed.
class Transaction {
public:
    Transaction(SQLDatabase& db, const char* begin)
        : m_db(db)
    {
        m_db.performQuery(begin);
    }
    ~Transaction()
    {
        if (!m_done) {
            try {
                m_db.performQuery("ROLLBACK");
            } catch (const SQLException&) {
                // Already rolled back by SQLite after an I/O error.
            }
        }
    }
    void commit()
    {
        m_db.performQuery("COMMIT");
        m_done = true;
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

private:
    SQLDatabase& m_db;
    bool m_done = false;
};

bool makeFolder(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolder(path.substr(0, slash))) {
        return false;
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    ::chmod(path.c_str(), 0755); // whatever the umask: the user's process reads the archive
    return true;
}

bool isSQLite2File(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    char header[48] = {};
    const ssize_t n = ::read(fd, header, sizeof header - 1);
    ::close(fd);
    return n > 0 && std::strstr(header, "This file contains an SQLite 2") != nullptr;
}

} // namespace

const char* const KWLogManager::kCreateTableStatement =
    "CREATE TABLE log_archive ( log_id INTEGER PRIMARY KEY,"
    "                                                      timestamp TEXT,"
    "                                                       rule_no INTEGER,"
    "                                                       action TEXT,"
    "                                                       proto TEXT,"
    "                                                       src_label TEXT,"
    "                                                       src_host TEXT,"
    "                                                       src_port INTEGER,"
    "                                                       dst_label TEXT,"
    "                                                       dst_host TEXT,"
    "                                                       dst_port INTEGER,"
    "                                                       dir TEXT,"
    "                                                       interface TEXT )";

KWLogManager& KWLogManager::sharedInstance()
{
    // Made on first use and kept for the life of the process.
    static KWLogManager* const instance = [] {
        auto* manager = new KWLogManager();
        manager->createTempDatabase();
        return manager;
    }();
    return *instance;
}

KWLogManager::KWLogManager()
    : m_clock([] { return std::time(nullptr); })
{}

KWLogManager::~KWLogManager() = default;

std::string KWLogManager::logDBPath()
{
    return SystemRoot::path(kLogDBPath);
}

void KWLogManager::parseLogData(std::string_view bytes)
{
    m_logItems.clear();
    LogParser parser(LogYearRule(m_clock()), [this](const LogItemView& item) { m_logItems.append(item); });
    parser.feed(bytes);
    parser.finish();
    logf("Found %zu log entries", m_logItems.count());
}

void KWLogManager::reloadLogItems()
{
    // The firewall's own log file on 10.4; before, its lines inside the system log, which
    // the reader picks out by their "kernel: ipfw:" tag.
    const bool ownFile = KWRunningOnTiger;
    const std::string path = SystemRoot::path(ownFile ? "/var/log/ipfw.log" : "/var/log/system.log");
    m_logItems.clear();
    LogParser parser(
        LogYearRule(m_clock()), [this](const LogItemView& item) { m_logItems.append(item); }, !ownFile);

    // Exit statuses as the platform's readers give them: 1 (cat) or 2 (grep) when the file
    // cannot be read, 1 when grep finds no line.
    int status = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        logf("%s: %s", path.c_str(), std::strerror(errno));
        status = ownFile ? 1 : 2;
    } else {
        if (!readToEnd(fd, [&parser](std::string_view block) { parser.feed(block); })) {
            logf("%s: %s", path.c_str(), std::strerror(errno));
            status = ownFile ? 1 : 2;
        }
        ::close(fd);
    }
    parser.finish();
    if (status == 0 && !ownFile && m_logItems.count() == 0) {
        status = 1;
    }
    if (status != 0) {
        logf("Error %d reading log file", status);
    }
    logf("Found %zu log entries", m_logItems.count());
}

std::vector<LogItem> KWLogManager::currentLogItems() const
{
    std::vector<LogItem> items;
    items.reserve(m_logItems.count());
    m_logItems.forEach([&](const LogItemView& view) { items.push_back(LogItem::fromView(view)); });
    return items;
}

void KWLogManager::createTempDatabase()
{
    if (m_tempDatabase.isOpen()) {
        return;
    }
    if (!m_tempDatabase.open()) {
        return;
    }
    m_tempDatabase.performQuery("PRAGMA journal_mode=MEMORY");
    m_tempDatabase.performQuery(kCreateTableStatement);
}

void KWLogManager::insertItems(SQLDatabase& db, const std::optional<std::string>& newerThan, std::size_t& count)
{
    SQLStatement insert = db.prepare(kInsertStatement);
    std::string srcLabel;
    std::string dstLabel;
    m_logItems.forEach([&](const LogItemView& item) {
        // Same text order as chronological order within one reading (LogYearRule).
        if (newerThan && item.timestamp <= *newerThan) {
            return;
        }
        srcLabel = logLabel(item.srcHost, item.srcPort);
        dstLabel = logLabel(item.dstHost, item.dstPort);
        insert.bindText(1, item.timestamp);
        insert.bindText(2, item.ruleNo);
        insert.bindText(3, item.action);
        insert.bindText(4, item.proto);
        insert.bindText(5, srcLabel);
        insert.bindText(6, item.srcHost);
        insert.bindText(7, item.srcPort.value_or(kMissingValue));
        insert.bindText(8, dstLabel);
        insert.bindText(9, item.dstHost);
        insert.bindText(10, item.dstPort.value_or(kMissingValue));
        insert.bindText(11, item.dir);
        insert.bindText(12, item.interface);
        insert.step();
        insert.reset();
        ++count;
    });
}

bool KWLogManager::incorporateLogEntriesIntoTempDB()
{
    createTempDatabase();
    if (!m_tempDatabase.isOpen()) {
        return false;
    }
    Transaction transaction(m_tempDatabase, "BEGIN");
    m_tempDatabase.performQuery("DELETE FROM log_archive");
    std::size_t count = 0;
    insertItems(m_tempDatabase, std::nullopt, count);
    transaction.commit();
    return true;
}

void KWLogManager::ensureArchiveFolder()
{
    const std::string path = logDBPath();
    const std::string folder = path.substr(0, path.find_last_of('/'));
    if (!makeFolder(folder)) {
        throw std::invalid_argument(std::string("Unable to create folder at ") + kArchiveFolder);
    }
    // Nobody but root may replace the archive: the folder is root's and not writable by others.
    struct stat st {};
    if (::geteuid() == 0 && ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        (st.st_uid != 0 || (st.st_mode & 022) != 0)) {
        if (::lchown(folder.c_str(), 0, st.st_gid) != 0 || ::chmod(folder.c_str(), st.st_mode & 07755) != 0) {
            logf("Unable to secure folder %s: %s", folder.c_str(), std::strerror(errno));
        }
    }
}

bool KWLogManager::openDatabase()
{
    if (m_database != nullptr) {
        return true;
    }
    ensureArchiveFolder();
    const std::string path = logDBPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            logf("Log archive %s is not a regular file; not opened", path.c_str());
            return false;
        }
        // The archive is root's own file with one name. A file of another owner, or one with
        // further hard links (a link to some other file planted while the folder was open to
        // others), is refused and left exactly as it is. The checks are made on a descriptor
        // opened without following links, so what is checked is what is changed.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0) {
            logf("Log archive %s cannot be checked: %s", path.c_str(), std::strerror(errno));
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
        const uid_t self = ::geteuid();
        std::string refusal;
        if (!S_ISREG(opened.st_mode)) {
            refusal = "is not a regular file";
        } else if (opened.st_nlink != 1) {
            refusal = "has " + std::to_string(opened.st_nlink) + " links";
        } else if (opened.st_uid != 0 && opened.st_uid != self) {
            refusal = "is owned by user " + std::to_string(opened.st_uid) + ", not by root";
        }
        if (!refusal.empty()) {
            ::close(fd);
            logf("Log archive %s %s; not opened", path.c_str(), refusal.c_str());
            return false;
        }
        // Group and other write access is taken away before root writes into it.
        if (self == 0 && (opened.st_mode & 022) != 0 && ::fchmod(fd, opened.st_mode & 0755) != 0) {
            logf("Unable to secure log archive %s: %s", path.c_str(), std::strerror(errno));
            ::close(fd);
            return false;
        }
        ::close(fd);
    }
    auto db = SQLDatabase::databaseWithFile(path);
    if (!db->open()) {
        return false;
    }
    m_database = std::move(db);
    try {
        return createArchiveDatabaseIfNeeded();
    } catch (...) {
        closeDatabase();
        throw;
    }
}

bool KWLogManager::createArchiveDatabaseIfNeeded()
{
    if (m_database == nullptr) {
        return false;
    }
    const std::string& path = m_database->path();
    std::shared_ptr<SQLResult> tables;
    try {
        tables = m_database->performQuery("SELECT name FROM sqlite_master WHERE type = 'table'");
    } catch (const SQLException& e) {
        if (isSQLite2File(path)) {
            throw LogArchiveError("Log archive " + path +
                                  " is an SQLite 2 database; convert it to SQLite 3 (dump and reload) before use. It "
                                  "was left unchanged.");
        }
        throw LogArchiveError("Log archive " + path + " is not a usable database (" + e.what() +
                              "). It was left unchanged.");
    }
    bool hasTable = false;
    for (int i = 0; i < tables->rowCount(); ++i) {
        if (tables->rowAtIndex(i)->stringForColumnAtIndexNoCopy(0) == std::string_view("log_archive")) {
            hasTable = true;
        }
    }
    if (!hasTable && tables->rowCount() > 0) {
        throw LogArchiveError("Log archive " + path +
                              " holds another database (no log_archive table). It was left unchanged.");
    }
    if (hasTable) {
        const auto info = m_database->performQuery("PRAGMA table_info(log_archive)");
        bool same = info->rowCount() == static_cast<int>(std::size(kColumns));
        for (int i = 0; same && i < info->rowCount(); ++i) {
            same = info->rowAtIndex(i)->stringForColumnNoCopy("name") == std::string_view(kColumns[i]);
        }
        if (!same) {
            throw LogArchiveError("Log archive " + path +
                                  " has a log_archive table with other columns. It was left unchanged.");
        }
    }
    // A large page cache keeps index updates of a big reading in memory; mapping the file
    // spares a system call per page when a search visits rows spread over the archive.
    m_database->performQuery("PRAGMA cache_size = -32768");
    m_database->performQuery("PRAGMA mmap_size = 1073741824");
    if (m_database->isReadOnly()) {
        return hasTable;
    }
    Transaction transaction(*m_database, "BEGIN IMMEDIATE");
    if (!hasTable) {
        m_database->performQuery(kCreateTableStatement);
    }
    for (const char* statement : kIndexStatements) {
        m_database->performQuery(statement);
    }
    transaction.commit();
    return true;
}

void KWLogManager::closeDatabase()
{
    m_database.reset();
}

std::optional<std::string> KWLogManager::maxArchiveTimestamp()
{
    if (m_database == nullptr) {
        return std::nullopt;
    }
    // A row dated later than tomorrow (written under a wrong clock or year) is passed over,
    // so that it cannot keep every newer entry out of the archive.
    const std::time_t tomorrow = m_clock() + 24 * 60 * 60;
    std::tm local {};
    char limit[32] = "9999-12-31 23:59:59";
    if (::localtime_r(&tomorrow, &local) != nullptr) {
        std::strftime(limit, sizeof limit, "%Y-%m-%d %H:%M:%S", &local);
    }
    SQLStatement query = m_database->prepare("SELECT MAX(timestamp) FROM log_archive WHERE timestamp <= ?",
                                             { SQLValue(std::string(limit)) });
    if (!query.step()) {
        return std::nullopt;
    }
    const auto value = query.columnText(0);
    if (!value) {
        return std::nullopt;
    }
    return std::string(*value);
}

bool KWLogManager::incorporateLogEntries()
{
    if (m_database == nullptr) {
        logLine("The log archive is not open");
        return false;
    }
    if (m_database->isReadOnly()) {
        logf("Log archive %s is read-only for this process", m_database->path().c_str());
        return false;
    }
    std::size_t count = 0;
    {
        // One transaction: a reading is added whole or not at all.
        Transaction transaction(*m_database, "BEGIN IMMEDIATE");
        const auto newest = maxArchiveTimestamp();
        insertItems(*m_database, newest, count);
        transaction.commit();
    }
    logf("Incorporated %zu new archive entries", count);
    return true;
}

bool KWLogManager::insertArchiveRow(const LogItem& item, SQLDatabase& database)
{
    if (!database.isOpen()) {
        return false;
    }
    SQLStatement insert = database.prepare(kInsertStatement);
    const std::string srcLabel = item.srcLabel();
    const std::string dstLabel = item.dstLabel();
    const std::string_view values[12] = { item.timestamp,
                                          item.ruleNo,
                                          item.action,
                                          item.proto,
                                          srcLabel,
                                          item.srcHost,
                                          item.srcPort ? std::string_view(*item.srcPort) : kMissingValue,
                                          dstLabel,
                                          item.dstHost,
                                          item.dstPort ? std::string_view(*item.dstPort) : kMissingValue,
                                          item.dir,
                                          item.interface };
    for (int i = 0; i < 12; ++i) {
        insert.bindText(i + 1, values[i]);
    }
    insert.step();
    return true;
}

std::vector<KWLogManager::Row> KWLogManager::fetch(SQLDatabase* db, const std::string& sql,
                                                   const std::vector<SQLValue>& values)
{
    std::vector<Row> rows;
    if (db == nullptr || !db->isOpen()) {
        return rows;
    }
    SQLStatement statement = db->prepare(sql, values);
    // Rows are built straight from the statement, with the columns visited in name order so
    // that every insertion lands at the end of the map.
    const int columns = statement.columnCount();
    std::vector<std::pair<std::string, int>> order;
    for (int c = 0; c < columns; ++c) {
        order.emplace_back(std::string(statement.columnName(c)), c);
    }
    std::sort(order.begin(), order.end());
    while (statement.step()) {
        Row fetched;
        for (const auto& [name, index] : order) {
            if (const auto value = statement.columnText(index)) {
                fetched.emplace_hint(fetched.end(), name, *value);
            }
        }
        rows.push_back(std::move(fetched));
    }
    return rows;
}

namespace {

std::string selectFor(const std::optional<std::string>& condition)
{
    std::string sql = "SELECT * from log_archive";
    if (condition) {
        sql += " WHERE ";
        sql += *condition;
    }
    return sql;
}

} // namespace

std::vector<KWLogManager::Row> KWLogManager::fetchArchiveForQuery(const std::optional<std::string>& condition)
{
    return fetch(m_database.get(), selectFor(condition), {});
}

std::vector<KWLogManager::Row> KWLogManager::fetchCurrentForQuery(const std::optional<std::string>& condition)
{
    return fetch(&m_tempDatabase, selectFor(condition), {});
}

std::vector<KWLogManager::Row> KWLogManager::fetchArchive(const std::optional<LogSearch>& search)
{
    if (!search) {
        return fetchArchiveForQuery(std::nullopt);
    }
    return fetch(m_database.get(), selectFor(search->conditionText()), { search->boundValue() });
}

std::vector<KWLogManager::Row> KWLogManager::fetchCurrent(const std::optional<LogSearch>& search)
{
    if (!search) {
        return fetchCurrentForQuery(std::nullopt);
    }
    return fetch(&m_tempDatabase, selectFor(search->conditionText()), { search->boundValue() });
}

std::string KWLogManager::deleteStatementForIds(const std::vector<std::int64_t>& ids)
{
    std::string sql = "DELETE from log_archive where log_id IN (";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) {
            sql += ", ";
        }
        sql += std::to_string(ids[i]);
    }
    sql += ")";
    return sql;
}

bool KWLogManager::deleteItemsWithIds(const std::vector<std::int64_t>& ids)
{
    if (m_database == nullptr) {
        logLine("The log archive is not open");
        return false;
    }
    if (ids.empty()) {
        return true;
    }
    // The ids are integers, so their text cannot carry anything but digits and a sign.
    m_database->performQuery(deleteStatementForIds(ids));
    return true;
}

std::optional<std::vector<std::int64_t>> KWLogManager::logIdsFromValue(const Value& ids, std::string* problem)
{
    auto fail = [&](const std::string& why) -> std::optional<std::vector<std::int64_t>> {
        if (problem != nullptr) {
            *problem = why;
        }
        return std::nullopt;
    };
    const auto* array = ids.array();
    if (array == nullptr) {
        return fail("the log row list is not an array");
    }
    std::vector<std::int64_t> result;
    result.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
        const Value& v = (*array)[i];
        if (const auto n = v.integer()) {
            result.push_back(*n);
            continue;
        }
        const std::string* s = v.string();
        bool digits = s != nullptr && !s->empty() && s->size() <= 18;
        for (std::size_t k = 0; digits && k < s->size(); ++k) {
            digits = (*s)[k] >= '0' && (*s)[k] <= '9';
        }
        if (!digits) {
            return fail("log row " + std::to_string(i) + " is not an integer id");
        }
        result.push_back(std::stoll(*s));
    }
    return result;
}

bool KWLogManager::deleteItemsWithIds(const Value& ids)
{
    std::string problem;
    const auto list = logIdsFromValue(ids, &problem);
    if (!list) {
        logf("Ignored the request to delete log rows: %s", problem.c_str());
        return false;
    }
    return deleteItemsWithIds(*list);
}

} // namespace kw
