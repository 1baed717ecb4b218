#pragma once

#include "SQLResult.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kw {

// Raised by the SQL layer for every failing statement; what() is "SQLite error %d:%@".
class SQLException : public std::runtime_error {
public:
    SQLException(int code, const std::string& message);
    int code() const { return m_code; }
    const std::string& message() const { return m_message; }

private:
    int m_code;
    std::string m_message;
};

// A value bound to a statement parameter: text, or SQL NULL when absent.
using SQLValue = std::optional<std::string>;

// One prepared statement, for callers that run the same statement many times.
class SQLStatement {
public:
    SQLStatement(sqlite3* db, sqlite3_stmt* statement)
        : m_db(db)
        , m_statement(statement)
    {}
    SQLStatement(SQLStatement&& other) noexcept;
    SQLStatement& operator=(SQLStatement&&) = delete;
    SQLStatement(const SQLStatement&) = delete;
    SQLStatement& operator=(const SQLStatement&) = delete;
    ~SQLStatement();

    // Parameters count from 1. The text is copied by SQLite only when transient is set.
    void bindText(int index, std::string_view text, bool transient = false);
    void bindNull(int index);
    void bindInt64(int index, std::int64_t value);
    // Runs to the next row (true) or to completion (false); raises SQLException on failure.
    bool step();
    void reset();

    // Columns of the current row; a value is none for SQL NULL, text otherwise (valid until
    // the next step).
    int columnCount() const;
    std::string_view columnName(int index) const;
    std::optional<std::string_view> columnText(int index) const;

private:
    [[noreturn]] void raise(int rc) const;

    sqlite3* m_db;
    sqlite3_stmt* m_statement;
};

// One SQLite database file (or, without a path, a private temporary database that disappears
// with the connection). Queries return whole result tables; every value travels as text.
class SQLDatabase {
public:
    SQLDatabase() = default;
    explicit SQLDatabase(std::string path)
        : m_path(std::move(path))
    {}
    static std::unique_ptr<SQLDatabase> databaseWithFile(std::string path);
    ~SQLDatabase();
    SQLDatabase(const SQLDatabase&) = delete;
    SQLDatabase& operator=(const SQLDatabase&) = delete;

    // Opens the file for reading and writing, creating it when missing. A new file gets mode
    // 0644 whatever the umask; an existing file of ours loses group and other write bits.
    // Symbolic links are not followed. When the file exists but cannot be written by this
    // process, it is opened read-only. False (and a log line) when it cannot be opened.
    bool open();
    // Opens an existing file read-only.
    bool openReadOnly();
    void close();

    bool isOpen() const { return m_database != nullptr; }
    bool isReadOnly() const;
    const std::string& path() const { return m_path; }

    // Runs exactly one statement and returns its whole result table; none when the database
    // is not open. A failing statement, or text that holds a second statement, raises
    // SQLException.
    std::shared_ptr<SQLResult> performQuery(std::string_view sql);
    // The same with the "?" parameters bound in order.
    std::shared_ptr<SQLResult> performQuery(std::string_view sql, const std::vector<SQLValue>& values);
    // Prepares one statement and binds the values, without running it.
    SQLStatement prepare(std::string_view sql, const std::vector<SQLValue>& values);
    // printf-style formatting, then performQuery(); none for an absent format. Only for
    // fixed texts: values belong in bound parameters.
    std::shared_ptr<SQLResult> performQueryWithFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Prepares one statement for repeated use; raises SQLException on failure or when the
    // database is not open.
    SQLStatement prepare(std::string_view sql);

    std::int64_t lastInsertRowId() const;
    int changes() const;

    // The text with every single quote doubled, ready to stand between single quotes.
    static std::string prepareStringForQuery(std::string_view text);

private:
    bool openWithFlags(int flags);
    [[noreturn]] void raise() const;
    sqlite3_stmt* prepareSingle(std::string_view sql);

    sqlite3* m_database = nullptr;
    std::string m_path;
};

} // namespace kw
