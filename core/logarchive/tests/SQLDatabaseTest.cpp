#include "logarchive/SQLDatabase.h"

#include "TempRoot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using kw::SQLDatabase;
using kw::SQLException;

namespace {

class SQLDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_db.open());
        m_db.performQuery("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, note TEXT)");
        m_db.performQuery("INSERT INTO t (name, note) VALUES ('a', NULL)");
        m_db.performQuery("INSERT INTO t (name, note) VALUES ('b', 'x')");
    }
    SQLDatabase m_db; // private temporary database
};

TEST_F(SQLDatabaseTest, WholeTableResultWithNamesAndValuesAsText)
{
    const auto result = m_db.performQuery("SELECT id, name, note FROM t ORDER BY id");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->rowCount(), 2);
    EXPECT_EQ(result->columnCount(), 3);
    const auto row = result->rowAtIndex(1);
    ASSERT_TRUE(row && row->valid());
    EXPECT_EQ(row->nameOfColumnAtIndex(0), "id");
    EXPECT_EQ(row->stringForColumnAtIndex(0), "2"); // integers come back as text
    EXPECT_EQ(row->stringForColumn("note"), "x");
    EXPECT_EQ(row->stringForColumnNoCopy("name"), "b");
    EXPECT_EQ(row->description(), "2 | b | x");
    EXPECT_FALSE(result->rowAtIndex(2));
    EXPECT_FALSE(result->rowAtIndex(-1));
    EXPECT_FALSE(row->stringForColumnAtIndex(3));
    EXPECT_FALSE(row->nameOfColumnAtIndex(3));
    EXPECT_FALSE(row->nameOfColumnAtIndex(-1));
}

TEST_F(SQLDatabaseTest, NullIsAbsentAndNamesAreCaseSensitive)
{
    const auto result = m_db.performQuery("SELECT id, name, note FROM t WHERE name = 'a'");
    const auto row = result->rowAtIndex(0);
    ASSERT_TRUE(row);
    EXPECT_FALSE(row->stringForColumnAtIndex(2));
    EXPECT_FALSE(row->stringForColumnAtIndexNoCopy(2));
    EXPECT_FALSE(row->stringForColumn("note"));
    EXPECT_FALSE(row->stringForColumn("NAME"));
    EXPECT_FALSE(row->stringForColumn("missing"));
    EXPECT_EQ(row->description(), "1 | a | (null)");
}

TEST_F(SQLDatabaseTest, EmptyResultKeepsColumnsAndEnumeratorEndsAtOnce)
{
    const auto result = m_db.performQuery("SELECT id, name FROM t WHERE 0");
    EXPECT_EQ(result->rowCount(), 0);
    EXPECT_EQ(result->columnCount(), 2);
    EXPECT_FALSE(result->rowAtIndex(0));
    auto e = result->rowEnumerator();
    EXPECT_FALSE(e.nextObject());
}

TEST_F(SQLDatabaseTest, EnumeratorWalksRowsInOrderAndKeepsResultAlive)
{
    auto e = m_db.performQuery("SELECT name FROM t ORDER BY id")->rowEnumerator();
    std::string names;
    while (auto row = e.nextObject()) {
        names += *row->stringForColumnAtIndex(0);
    }
    EXPECT_EQ(names, "ab");
    EXPECT_FALSE(e.nextObject());
}

TEST_F(SQLDatabaseTest, SyntaxErrorRaisesSQLiteErrorWithCodeAndMessage)
{
    try {
        m_db.performQuery("SELEC * FROM t");
        FAIL() << "no exception";
    } catch (const SQLException& e) {
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "SQLite error 1:near \"SELEC\": syntax error");
    }
}

TEST_F(SQLDatabaseTest, SecondStatementIsRefused)
{
    EXPECT_THROW(m_db.performQuery("SELECT * FROM t; DELETE FROM t"), SQLException);
    EXPECT_EQ(m_db.performQuery("SELECT count(*) FROM t")->rowAtIndex(0)->stringForColumnAtIndex(0), "2");
    // Trailing semicolons, blanks and comments are not statements.
    EXPECT_NO_THROW(m_db.performQuery("SELECT 1; -- done\n "));
}

TEST_F(SQLDatabaseTest, BoundValuesCarryQuotesIntact)
{
    const std::string tricky = "O'Brien'); DROP TABLE t; --";
    m_db.performQuery("INSERT INTO t (name, note) VALUES (?, ?)", { tricky, std::nullopt });
    const auto result = m_db.performQuery("SELECT note FROM t WHERE name = ?", { tricky });
    ASSERT_EQ(result->rowCount(), 1);
    EXPECT_FALSE(result->rowAtIndex(0)->stringForColumnAtIndex(0));
    EXPECT_EQ(m_db.performQuery("SELECT count(*) FROM t")->rowAtIndex(0)->stringForColumnAtIndex(0), "3");
}

TEST(SQLDatabaseQuoting, PrepareStringForQueryDoublesQuotes)
{
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        { "plain", "plain" }, { "it's", "it''s" }, { "'a'", "''a''" }, { "''", "''''" }, { "", "" },
    };
    for (const auto& r : rows) {
        EXPECT_EQ(SQLDatabase::prepareStringForQuery(r.in), r.out) << r.in;
    }
    SQLDatabase db;
    ASSERT_TRUE(db.open());
    const std::string literal = "'" + SQLDatabase::prepareStringForQuery("x' OR '1'='1") + "'";
    EXPECT_EQ(db.performQuery("SELECT " + literal)->rowAtIndex(0)->stringForColumnAtIndex(0), "x' OR '1'='1");
}

TEST(SQLDatabaseLifecycle, QueriesBeforeOpenAndAfterCloseGiveNone)
{
    SQLDatabase db;
    EXPECT_EQ(db.performQuery("SELECT 1"), nullptr);
    EXPECT_EQ(db.performQueryWithFormat("SELECT %d", 1), nullptr);
    ASSERT_TRUE(db.open());
    EXPECT_EQ(db.performQueryWithFormat("SELECT %d", 7)->rowAtIndex(0)->stringForColumnAtIndex(0), "7");
    EXPECT_EQ(db.performQueryWithFormat(nullptr), nullptr);
    db.close();
    EXPECT_EQ(db.performQuery("SELECT 1"), nullptr);
}

TEST(SQLDatabaseLifecycle, NewFileIsNotWorldWritableWhateverTheUmask)
{
    kw::testing::TempRoot root;
    const std::string path = root.path() + "/x.db";
    const mode_t old = ::umask(0);
    auto db = SQLDatabase::databaseWithFile(path);
    const bool opened = db->open();
    ::umask(old);
    ASSERT_TRUE(opened);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(SQLDatabaseLifecycle, OpenFailsForMissingFolderAndSymlink)
{
    kw::testing::TempRoot root;
    SQLDatabase missing(root.path() + "/no/such/folder/x.db");
    EXPECT_FALSE(missing.open());
    EXPECT_EQ(missing.performQuery("SELECT 1"), nullptr);

    ASSERT_EQ(::symlink((root.path() + "/target.db").c_str(), (root.path() + "/link.db").c_str()), 0);
    SQLDatabase link(root.path() + "/link.db");
    EXPECT_FALSE(link.open());
}

} // namespace
