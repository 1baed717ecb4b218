#include "SQLDatabase.h"

#include "base/Log.h"
#include "base/StringFormat.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

namespace {

std::string errorText(int code, const std::string& message)
{
    return "SQLite error " + std::to_string(code) + ":" + message;
}

// Ten seconds covers another Keepwall process that holds the archive for one operation.
constexpr int kBusyTimeoutMs = 10000;

} // namespace

SQLException::SQLException(int code, const std::string& message)
    : std::runtime_error(errorText(code, message))
    , m_code(code)
    , m_message(message)
{}

SQLStatement::SQLStatement(SQLStatement&& other) noexcept
    : m_db(other.m_db)
    , m_statement(other.m_statement)
{
    other.m_statement = nullptr;
}

SQLStatement::~SQLStatement()
{
    if (m_statement != nullptr) {
        sqlite3_finalize(m_statement);
    }
}

void SQLStatement::raise(int rc) const
{
    const int code = m_db != nullptr ? sqlite3_errcode(m_db) : rc;
    const char* message = m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
    throw SQLException(code != SQLITE_OK ? code : rc, message != nullptr ? message : "");
}

void SQLStatement::bindText(int index, std::string_view text, bool transient)
{
    const int rc = sqlite3_bind_text64(m_statement, index, text.data(), text.size(),
                                       transient ? SQLITE_TRANSIENT : SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) {
        raise(rc);
    }
}

void SQLStatement::bindNull(int index)
{
    const int rc = sqlite3_bind_null(m_statement, index);
    if (rc != SQLITE_OK) {
        raise(rc);
    }
}

void SQLStatement::bindInt64(int index, std::int64_t value)
{
    const int rc = sqlite3_bind_int64(m_statement, index, value);
    if (rc != SQLITE_OK) {
        raise(rc);
    }
}

bool SQLStatement::step()
{
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    sqlite3_reset(m_statement);
    raise(rc);
}

void SQLStatement::reset()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

int SQLStatement::columnCount() const
{
    return sqlite3_column_count(m_statement);
}

std::string_view SQLStatement::columnName(int index) const
{
    const char* name = sqlite3_column_name(m_statement, index);
    return name != nullptr ? std::string_view(name) : std::string_view();
}

std::optional<std::string_view> SQLStatement::columnText(int index) const
{
    if (sqlite3_column_type(m_statement, index) == SQLITE_NULL) {
        return std::nullopt;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, index));
    if (text == nullptr) {
        return std::string_view();
    }
    // Values are C strings for the callers of the whole-table results: a NUL ends them here too.
    return std::string_view(text);
}

std::unique_ptr<SQLDatabase> SQLDatabase::databaseWithFile(std::string path)
{
    return std::make_unique<SQLDatabase>(std::move(path));
}

SQLDatabase::~SQLDatabase()
{
    close();
}

bool SQLDatabase::open()
{
    return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

bool SQLDatabase::openReadOnly()
{
    if (m_path.empty()) {
        return false;
    }
    return openWithFlags(SQLITE_OPEN_READONLY);
}

bool SQLDatabase::openWithFlags(int flags)
{
    if (m_database != nullptr) {
        return true;
    }
    bool existed = false;
    if (!m_path.empty()) {
        struct stat st {};
        existed = ::lstat(m_path.c_str(), &st) == 0;
        flags |= SQLITE_OPEN_NOFOLLOW;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(m_path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        logf("Unable to open database %s: %s", m_path.c_str(), db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return false;
    }
    m_database = db;
    sqlite3_busy_timeout(m_database, kBusyTimeoutMs);
    if (!m_path.empty() && (flags & SQLITE_OPEN_READWRITE) != 0 && !isReadOnly()) {
        // A database file is never left writable by group or others: the archive is written
        // by the root tool only and read by the user's own process.
        struct stat st {};
        if (::stat(m_path.c_str(), &st) == 0 && st.st_uid == ::geteuid()) {
            const mode_t wanted = existed ? (st.st_mode & 07777 & ~mode_t(022)) : mode_t(0644);
            if ((st.st_mode & 07777) != wanted) {
                ::chmod(m_path.c_str(), wanted);
            }
        }
    }
    return true;
}

void SQLDatabase::close()
{
    if (m_database != nullptr) {
        sqlite3_close_v2(m_database);
        m_database = nullptr;
    }
}

bool SQLDatabase::isReadOnly() const
{
    return m_database != nullptr && sqlite3_db_readonly(m_database, "main") == 1;
}

void SQLDatabase::raise() const
{
    throw SQLException(sqlite3_errcode(m_database), sqlite3_errmsg(m_database));
}

sqlite3_stmt* SQLDatabase::prepareSingle(std::string_view sql)
{
    if (sql.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw SQLException(SQLITE_TOOBIG, "query text too long");
    }
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(m_database, sql.data(), static_cast<int>(sql.size()), &statement, &tail) != SQLITE_OK) {
        raise();
    }
    // Whatever follows the first statement may only be blanks, semicolons or comments: a
    // query never runs a second statement smuggled in with a condition or a value.
    const char* end = sql.data() + sql.size();
    while (tail != nullptr && tail < end) {
        sqlite3_stmt* extra = nullptr;
        const char* next = nullptr;
        const int rc = sqlite3_prepare_v2(m_database, tail, static_cast<int>(end - tail), &extra, &next);
        if (rc != SQLITE_OK || extra != nullptr) {
            sqlite3_finalize(extra);
            sqlite3_finalize(statement);
            throw SQLException(SQLITE_ERROR, "a query may hold one statement only");
        }
        if (next == tail) {
            break;
        }
        tail = next;
    }
    return statement;
}

SQLStatement SQLDatabase::prepare(std::string_view sql)
{
    if (m_database == nullptr) {
        throw SQLException(SQLITE_MISUSE, "database is not open");
    }
    return SQLStatement(m_database, prepareSingle(sql));
}

std::shared_ptr<SQLResult> SQLDatabase::performQuery(std::string_view sql)
{
    return performQuery(sql, {});
}

SQLStatement SQLDatabase::prepare(std::string_view sql, const std::vector<SQLValue>& values)
{
    SQLStatement statement = prepare(sql);
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i]) {
            statement.bindText(static_cast<int>(i + 1), *values[i], true);
        } else {
            statement.bindNull(static_cast<int>(i + 1));
        }
    }
    return statement;
}

std::shared_ptr<SQLResult> SQLDatabase::performQuery(std::string_view sql, const std::vector<SQLValue>& values)
{
    if (m_database == nullptr) {
        return nullptr;
    }
    sqlite3_stmt* raw = prepareSingle(sql);
    if (raw == nullptr) {
        return std::make_shared<SQLResult>();
    }
    SQLStatement statement(m_database, raw);
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i]) {
            statement.bindText(static_cast<int>(i + 1), *values[i]);
        } else {
            statement.bindNull(static_cast<int>(i + 1));
        }
    }

    // Values are gathered as offsets into one arena and turned into pointers once the arena
    // stops growing; NULL keeps no offset.
    constexpr size_t kNull = std::numeric_limits<size_t>::max();
    const int columns = sqlite3_column_count(raw);
    std::vector<char> arena;
    std::vector<size_t> offsets;
    auto append = [&](const char* text, size_t length) {
        offsets.push_back(arena.size());
        arena.insert(arena.end(), text, text + length);
        arena.push_back('\0');
    };
    for (int c = 0; c < columns; ++c) {
        const char* name = sqlite3_column_name(raw, c);
        append(name != nullptr ? name : "", name != nullptr ? std::strlen(name) : 0);
    }
    int rows = 0;
    while (statement.step()) {
        for (int c = 0; c < columns; ++c) {
            if (sqlite3_column_type(raw, c) == SQLITE_NULL) {
                offsets.push_back(kNull);
                continue;
            }
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
            const int length = sqlite3_column_bytes(raw, c);
            append(text != nullptr ? text : "", text != nullptr ? static_cast<size_t>(length) : 0);
        }
        ++rows;
    }
    std::vector<const char*> table;
    table.reserve(offsets.size());
    for (size_t offset : offsets) {
        table.push_back(offset == kNull ? nullptr : arena.data() + offset);
    }
    return std::make_shared<SQLResult>(std::move(arena), std::move(table), rows, columns);
}

std::shared_ptr<SQLResult> SQLDatabase::performQueryWithFormat(const char* format, ...)
{
    if (format == nullptr) {
        return nullptr;
    }
    va_list args;
    va_start(args, format);
    const std::string sql = formatv(format, args);
    va_end(args);
    return performQuery(sql);
}

std::int64_t SQLDatabase::lastInsertRowId() const
{
    return m_database != nullptr ? sqlite3_last_insert_rowid(m_database) : 0;
}

int SQLDatabase::changes() const
{
    return m_database != nullptr ? sqlite3_changes(m_database) : 0;
}

std::string SQLDatabase::prepareStringForQuery(std::string_view text)
{
    if (text.find('\'') == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted;
    quoted.reserve(text.size() + 8);
    for (char c : text) {
        quoted.push_back(c);
        if (c == '\'') {
            quoted.push_back('\'');
        }
    }
    return quoted;
}

} // namespace kw
