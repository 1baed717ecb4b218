#include "LogTestSupport.h"

#include "logarchive/LogCommands.h"

#include "base/Log.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using kw::KWLogManager;
using kw::LogSearch;
using kw::SQLDatabase;
using kw::SQLException;
using kw::Value;
using kw::testing::logLine;

namespace {

using LogManagerArchive = kw::testing::LogArchiveFixture;

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string threeLines()
{
    return logLine("Dec", 1, 100, 100, "10.0.0.1:1000", "10.0.0.9:80") +
           logLine("Dec", 1, 200, 200, "10.0.0.2:2000", "10.0.0.9:443") +
           logLine("Dec", 1, 300, 65535, "10.0.0.3", "10.0.0.9", "en1", "ICMP:8.0");
}

// Lines after the three above, one per second from Dec 2.
std::string newLines(long count)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(count) * 90);
    for (long i = 0; i < count; ++i) {
        text += logLine("Dec", 2 + static_cast<int>(i / 86400), i % 86400, 1000 + static_cast<int>(i % 7),
                        "192.168.1." + std::to_string(i % 250) + ":" + std::to_string(1024 + i % 5000), "10.0.0.9:22");
    }
    return text;
}

TEST_F(LogManagerArchive, TableIsMadeWithTheExactStatementText)
{
    ASSERT_TRUE(m_manager.openDatabase());
    m_manager.closeDatabase();
    SQLDatabase db(archivePath());
    ASSERT_TRUE(db.openReadOnly());
    const auto r = db.performQuery("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'log_archive'");
    ASSERT_EQ(r->rowCount(), 1);
    const std::string sql = *r->rowAtIndex(0)->stringForColumnAtIndex(0);
    EXPECT_EQ(sql, KWLogManager::kCreateTableStatement);
    // A run of 54 blanks after the first comma, 55 after each later one.
    std::size_t commas = 0;
    for (std::size_t at = sql.find(','); at != std::string::npos; at = sql.find(',', at + 1)) {
        const std::size_t blanks = sql.find_first_not_of(' ', at + 1) - at - 1;
        EXPECT_EQ(blanks, commas == 0 ? 54u : 55u) << "after comma " << commas;
        ++commas;
    }
    EXPECT_EQ(commas, 12u);
}

TEST_F(LogManagerArchive, FirstShowlogAddsEverythingSecondAddsNothing)
{
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_FALSE(m_manager.databaseIsOpen());
    EXPECT_EQ(archiveCount(), 3);
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_EQ(archiveCount(), 3);
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Found 3 log entries"), logged.end());
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Incorporated 3 new archive entries"), logged.end());
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Incorporated 0 new archive entries"), logged.end());
}

TEST_F(LogManagerArchive, LinesInTheSecondOfTheNewestRowAreNotAdded)
{
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    writeIpfwLog(threeLines() + logLine("Dec", 1, 300, 7, "1.1.1.1:1", "2.2.2.2:2") +
                 logLine("Dec", 1, 300, 8, "1.1.1.1:1", "2.2.2.2:2") +
                 logLine("Dec", 1, 301, 9, "1.1.1.1:1", "2.2.2.2:2"));
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_EQ(archiveCount(), 4);
}

TEST_F(LogManagerArchive, ArchivedRowsCarryTheFieldsAsText)
{
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    ASSERT_TRUE(m_manager.openDatabase());
    const auto rows = m_manager.fetchArchiveForQuery(std::string("rule_no = '65535'"));
    ASSERT_EQ(rows.size(), 1u);
    const auto& row = rows.front();
    EXPECT_EQ(row.at("timestamp"), "2026-12-01 00:05:00");
    EXPECT_EQ(row.at("proto"), "ICMP:8.0");
    EXPECT_EQ(row.at("src_port"), "(null)");
    EXPECT_EQ(row.at("dst_port"), "(null)");
    EXPECT_EQ(row.at("src_label"), "10.0.0.3\nPort N/A");
    EXPECT_EQ(row.at("interface"), "en1");
    EXPECT_EQ(row.size(), 13u);
    const auto first = m_manager.fetchArchiveForQuery(std::string("log_id = 1"));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].at("src_label"), "10.0.0.1\nPort 1000");
    EXPECT_EQ(first[0].at("src_port"), "1000");
    EXPECT_EQ(m_manager.maxArchiveTimestamp(), "2026-12-01 00:05:00");
    m_manager.closeDatabase();
    EXPECT_TRUE(m_manager.fetchArchiveForQuery(std::nullopt).empty());
    EXPECT_FALSE(m_manager.maxArchiveTimestamp());
}

TEST_F(LogManagerArchive, LineWithSingleQuotesIsArchivedIntact)
{
    writeIpfwLog(logLine("Dec", 3, 10, 100, "10.0.0.1:1", "10.0.0.2:2", "it's'") +
                 logLine("Dec", 3, 11, 100, "x');DROP", "10.0.0.2:2", "en0"));
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    ASSERT_TRUE(m_manager.openDatabase());
    const auto rows = m_manager.fetchArchive(std::nullopt);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("interface"), "it's'");
    EXPECT_EQ(rows[1].at("src_host"), "x');DROP");
    m_manager.closeDatabase();
}

TEST_F(LogManagerArchive, SearchTextIsBoundNeverPasted)
{
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    ASSERT_TRUE(m_manager.openDatabase());
    struct Case {
        int columnTag;
        int operatorTag;
        const char* text;
        std::size_t rows;
    };
    const Case cases[] = {
        { 1, 5, "10.0", 3 },                          // src_host LIKE '%10.0%'
        { 1, 6, ".2", 1 },                            // ends with
        { 6, 0, "100", 1 },                           // rule_no = '100'
        { 0, 2, "1500", 1 },                          // src_port > 1500
        { 3, 1, "10.0.0.9", 0 },                      // dst_host != ...
        { 5, 4, "2026-12-01", 3 },                    // begins with
        { 1, 0, "x' OR '1'='1", 0 },                  // cannot end the literal
        { 1, 0, "'; DROP TABLE log_archive; --", 0 }, // cannot add statements
        { 1, 5, "%", 3 },                             // typed wildcards keep working
        { 99, 99, "200", 1 },                         // unknown tags: rule_no =
    };
    for (const auto& c : cases) {
        const auto search = LogSearch::fromMenuTags(c.columnTag, c.operatorTag, c.text);
        ASSERT_TRUE(search);
        EXPECT_EQ(m_manager.fetchArchive(search).size(), c.rows) << search->displayText();
    }
    EXPECT_FALSE(LogSearch::fromMenuTags(1, 1, ""));
    EXPECT_EQ(m_manager.fetchArchive(std::nullopt).size(), 3u);
    EXPECT_EQ(LogSearch::fromMenuTags(1, 5, "10.0")->displayText(), "src_host LIKE '%10.0%'");

    LogSearch bad { "src_host; DROP TABLE log_archive", kw::LogSearchOperator::Equal, "x" };
    EXPECT_THROW(m_manager.fetchArchive(bad), std::invalid_argument);
    // The condition-text fetch refuses a second statement.
    EXPECT_THROW(m_manager.fetchArchiveForQuery(std::string("1; DROP TABLE log_archive")), SQLException);
    EXPECT_THROW(m_manager.fetchArchiveForQuery(std::string("rule_no = '1")), SQLException);
    m_manager.closeDatabase();
    EXPECT_EQ(archiveCount(), 3);
}

TEST_F(LogManagerArchive, DeleteTakesOnlyIntegerIds)
{
    EXPECT_EQ(KWLogManager::deleteStatementForIds({ 3, 7 }), "DELETE from log_archive where log_id IN (3, 7)");
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));

    struct Case {
        Value ids;
        bool accepted;
    };
    const Case cases[] = {
        { Value("1"), false },
        { Value(Value::Array { Value::real(1.0) }), false },
        { Value(Value::Array { Value("1; DELETE FROM log_archive") }), false },
        { Value(Value::Array { Value("1"), Value("-2") }), false },
        { Value(Value::Array { Value::boolean(true) }), false },
        { Value(Value::Dictionary { { "1", Value("1") } }), false },
        { Value(Value::Array { Value::integer(1), Value("x") }), false },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KWLogManager::logIdsFromValue(c.ids).has_value(), c.accepted) << kw::valueToTextForm(c.ids);
        EXPECT_FALSE(kw::runDeleteLogCommand(c.ids, m_manager));
    }
    EXPECT_EQ(archiveCount(), 3);

    ASSERT_TRUE(kw::runDeleteLogCommand(Value(Value::Array { Value::integer(1), Value("3") }), m_manager));
    EXPECT_EQ(archiveCount(), 1);
    EXPECT_FALSE(m_manager.databaseIsOpen());
    EXPECT_FALSE(m_manager.deleteItemsWithIds(std::vector<std::int64_t> { 2 })); // archive closed
    EXPECT_EQ(archiveCount(), 1);
}

TEST_F(LogManagerArchive, ArchiveIsReadableByAllWritableByItsOwnerOnly)
{
    const mode_t old = ::umask(077);
    writeIpfwLog(threeLines());
    const bool ok = kw::runShowLogCommand(m_manager);
    ::umask(old);
    ASSERT_TRUE(ok);
    struct stat st {};
    ASSERT_EQ(::stat(archivePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    ASSERT_EQ(::stat((m_root.path() + "/Library/Keepwall").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // An archive (and folder) left world-writable is taken back at the next open by root.
    ASSERT_EQ(::chmod(archivePath().c_str(), 0666), 0);
    ASSERT_EQ(::chmod((m_root.path() + "/Library/Keepwall").c_str(), 0777), 0);
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    ASSERT_EQ(::stat(archivePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    if (root) {
        ASSERT_EQ(::stat((m_root.path() + "/Library/Keepwall").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
    }
}

TEST_F(LogManagerArchive, ArchiveThatIsNotRootsOneNamedFileIsRefusedUntouched)
{
    // What a user could plant while the archive folder was open to everyone: a hard link to
    // another file, or a file of their own.
    struct Case {
        const char* name;
        bool hardLink;
        bool otherOwner;
    };
    const Case cases[] = { { "hard link to another file", true, false },
                           { "file of another user", false, true },
                           { "hard link to a file of another user", true, true } };
    for (const auto& c : cases) {
        if (c.otherOwner && ::geteuid() != 0) {
            continue; // needs root to give a file away
        }
        std::filesystem::remove_all(m_root.path() + "/Library");
        std::filesystem::create_directories(m_root.path() + "/Library/Keepwall");
        ASSERT_EQ(::chmod((m_root.path() + "/Library/Keepwall").c_str(), 0777), 0);
        const std::string victim = m_root.path() + "/etc/master.passwd";
        m_root.writeFile("/etc/master.passwd", "root:*:0:0::0:0:System Administrator:/var/root:/bin/sh\n");
        ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
        if (c.otherOwner) {
            ASSERT_EQ(::chown(victim.c_str(), 65534, 65534), 0);
        }
        if (c.hardLink) {
            ASSERT_EQ(::link(victim.c_str(), archivePath().c_str()), 0);
        } else {
            ASSERT_EQ(::rename(victim.c_str(), archivePath().c_str()), 0);
        }
        const std::string target = c.hardLink ? victim : archivePath();
        struct stat before {};
        ASSERT_EQ(::stat(target.c_str(), &before), 0);
        const std::string bytes = readFile(target);

        std::vector<std::string> logged;
        kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
        writeIpfwLog(threeLines());
        EXPECT_FALSE(kw::runShowLogCommand(m_manager)) << c.name;
        EXPECT_FALSE(m_manager.databaseIsOpen()) << c.name;

        struct stat after {};
        ASSERT_EQ(::stat(target.c_str(), &after), 0);
        EXPECT_EQ(readFile(target), bytes) << c.name;
        EXPECT_EQ(after.st_uid, before.st_uid) << c.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
        EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& l) {
            return l.find("not opened") != std::string::npos;
        })) << c.name;
        std::filesystem::remove(archivePath());
    }
}

TEST_F(LogManagerArchive, FutureDatedRowDoesNotBlockNewerEntries)
{
    // An archive row dated a year ahead, as an older reading under a wrong year wrote it.
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    {
        SQLDatabase db(archivePath());
        ASSERT_TRUE(db.open());
        db.performQuery("UPDATE log_archive SET timestamp = '2027-12-01 00:05:00' WHERE rule_no = '300'");
    }
    writeIpfwLog(threeLines() + logLine("Dec", 14, 60, 400, "10.0.0.4:4000", "10.0.0.9:22"));
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_EQ(archiveCount(), 4);
    ASSERT_TRUE(m_manager.openDatabase());
    EXPECT_EQ(m_manager.maxArchiveTimestamp(), "2026-12-14 00:01:00");
    m_manager.closeDatabase();
}

TEST_F(LogManagerArchive, UserProcessReadsButCannotWrite)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    }
    ASSERT_EQ(::chmod(m_root.path().c_str(), 0755), 0);
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    const std::string path = archivePath();

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int failures = 0;
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(100);
        }
        {
            KWLogManager user;
            try {
                if (!user.openDatabase() || user.fetchArchive(std::nullopt).size() != 3) {
                    failures |= 1;
                }
                if (user.incorporateLogEntries()) {
                    failures |= 2;
                }
            } catch (...) {
                failures |= 4;
            }
        }
        {
            SQLDatabase db(path);
            if (!db.open()) {
                failures |= 8;
            } else {
                try {
                    db.performQuery("DELETE FROM log_archive");
                    failures |= 16;
                } catch (const SQLException&) {
                }
            }
        }
        if (::open(path.c_str(), O_WRONLY) >= 0 || errno != EACCES) {
            failures |= 32;
        }
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(archiveCount(), 3);
}

TEST_F(LogManagerArchive, KillDuringIncorporationLeavesArchiveAsBefore)
{
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    constexpr long kNew = 100000;
    writeIpfwLog(threeLines() + newLines(kNew));

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        m_manager.reloadLogItems();
        if (!m_manager.openDatabase()) {
            ::_exit(2);
        }
        const char go = 'g';
        if (::write(ready[1], &go, 1) != 1) {
            ::_exit(3);
        }
        m_manager.incorporateLogEntries();
        ::_exit(0);
    }
    ::close(ready[1]);
    char go = 0;
    ASSERT_EQ(::read(ready[0], &go, 1), 1);
    ::close(ready[0]);
    const std::string journal = archivePath() + "-journal";
    for (int i = 0; i < 20000 && !std::filesystem::exists(journal); ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_TRUE(std::filesystem::exists(journal)) << "the transaction never started";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child finished before it was killed";

    EXPECT_EQ(archiveCount(), 3);
    // The next "showlog" adds exactly what the killed one would have added.
    KWLogManager again;
    again.setClock([] { return kw::testing::localTime(2026, 12, 15); });
    ASSERT_TRUE(kw::runShowLogCommand(again));
    EXPECT_EQ(archiveCount(), 3 + kNew);
}

TEST_F(LogManagerArchive, FullDiskLeavesArchiveAsBefore)
{
    writeIpfwLog(threeLines());
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    writeIpfwLog(threeLines() + newLines(40000));
    const auto before = std::filesystem::file_size(archivePath());

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        m_manager.reloadLogItems();
        // No file of this process may grow past a few pages: the disk is "full".
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { static_cast<rlim_t>(before + 8192), static_cast<rlim_t>(before + 8192) };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            kw::runShowLogCommand(m_manager);
        } catch (const SQLException& e) {
            ::_exit(e.code() == 13 /* full */ || e.code() == 10 /* I/O error */ ? 0 : 3);
        } catch (...) {
            ::_exit(4);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the archive grew although the disk was full";

    EXPECT_EQ(archiveCount(), 3);
    SQLDatabase db(archivePath());
    ASSERT_TRUE(db.open());
    EXPECT_EQ(db.performQuery("PRAGMA integrity_check")->rowAtIndex(0)->stringForColumnAtIndex(0), "ok");
    db.close();
    ASSERT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_EQ(archiveCount(), 3 + 40000);
}

TEST_F(LogManagerArchive, ForeignFilesAreReportedAndLeftUntouched)
{
    struct Case {
        const char* name;
        std::string setupSql; // empty: raw bytes below
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        { "garbage", "", std::string("this is not a database at all, just some text\n") + std::string(5000, 'x'),
          "is not a usable database" },
        { "old format", "", std::string("** This file contains an SQLite 2.1 database **") + std::string(2000, '\0'),
          "SQLite 2" },
        { "foreign schema", "CREATE TABLE people (name TEXT)", "", "holds another database" },
        { "other columns", "CREATE TABLE log_archive (a, b)", "", "other columns" },
    };
    for (const auto& c : cases) {
        std::filesystem::create_directories(m_root.path() + "/Library/Keepwall");
        std::filesystem::remove(archivePath());
        if (c.setupSql.empty()) {
            m_root.writeFile(KWLogManager::kLogDBPath, c.bytes);
        } else {
            SQLDatabase db(archivePath());
            ASSERT_TRUE(db.open());
            db.performQuery(c.setupSql);
        }
        const std::string before = readFile(archivePath());
        try {
            m_manager.openDatabase();
            ADD_FAILURE() << c.name << ": opened";
        } catch (const kw::LogArchiveError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << ": " << e.what();
        }
        EXPECT_FALSE(m_manager.databaseIsOpen()) << c.name;
        EXPECT_EQ(readFile(archivePath()), before) << c.name;
    }
}

TEST_F(LogManagerArchive, SymlinkedArchiveIsNotOpened)
{
    std::filesystem::create_directories(m_root.path() + "/Library/Keepwall");
    m_root.writeFile("/etc/elsewhere", "precious");
    ASSERT_EQ(::symlink((m_root.path() + "/etc/elsewhere").c_str(), archivePath().c_str()), 0);
    EXPECT_FALSE(m_manager.openDatabase());
    EXPECT_EQ(readFile(m_root.path() + "/etc/elsewhere"), "precious");
}

TEST_F(LogManagerArchive, FolderThatCannotBeMadeRaises)
{
    m_root.writeFile("/Library", "a file where the folder should be");
    try {
        m_manager.openDatabase();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unable to create folder at /Library/Keepwall");
    }
}

TEST_F(LogManagerArchive, ReloadReadsTheLogOfTheRelease)
{
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    auto saw = [&](const std::string& line) { return std::find(logged.begin(), logged.end(), line) != logged.end(); };

    writeIpfwLog(threeLines());
    m_root.writeFile("/var/log/system.log",
                     "Dec  1 00:00:01 host syslogd: restart\n" + logLine("Dec", 1, 5, 10, "1.1.1.1:1", "2.2.2.2:2") +
                         "Dec  1 00:00:09 host app: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0\n");
    m_manager.reloadLogItems();
    EXPECT_EQ(m_manager.logItemCount(), 3u);

    kw::setReleaseFlags(743.0); // 10.3: the system log, firewall lines only
    m_manager.reloadLogItems();
    ASSERT_EQ(m_manager.logItemCount(), 1u);
    EXPECT_EQ(m_manager.currentLogItems()[0].ruleNo, "10");

    logged.clear();
    m_root.writeFile("/var/log/system.log", "Dec  1 00:00:01 host syslogd: restart\n");
    m_manager.reloadLogItems();
    EXPECT_TRUE(saw("Error 1 reading log file")); // as grep reports finding nothing
    EXPECT_TRUE(saw("Found 0 log entries"));

    logged.clear();
    std::filesystem::remove(m_root.path() + "/var/log/system.log");
    m_manager.reloadLogItems();
    EXPECT_TRUE(saw("Error 2 reading log file"));

    kw::setReleaseFlags(824.0);
    logged.clear();
    std::filesystem::remove(m_root.path() + "/var/log/ipfw.log");
    m_manager.reloadLogItems();
    EXPECT_TRUE(saw("Error 1 reading log file"));
    EXPECT_EQ(m_manager.logItemCount(), 0u);
}

TEST_F(LogManagerArchive, CurrentLogDatabaseHoldsExactlyTheLastReading)
{
    writeIpfwLog(threeLines());
    m_manager.reloadLogItems();
    ASSERT_TRUE(m_manager.incorporateLogEntriesIntoTempDB());
    ASSERT_TRUE(m_manager.incorporateLogEntriesIntoTempDB());
    EXPECT_EQ(m_manager.fetchCurrentForQuery(std::nullopt).size(), 3u);
    EXPECT_EQ(m_manager.fetchCurrentForQuery(std::string("rule_no='100'")).size(), 1u);
    EXPECT_EQ(m_manager.fetchCurrent(LogSearch::fromMenuTags(6, 0, "200")).size(), 1u);

    m_manager.parseLogData(logLine("Dec", 4, 1, 5, "1.1.1.1:1", "2.2.2.2:2"));
    ASSERT_TRUE(m_manager.incorporateLogEntriesIntoTempDB());
    const auto rows = m_manager.fetchCurrentForQuery(std::nullopt);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("rule_no"), "5");
    EXPECT_FALSE(std::filesystem::exists(archivePath())); // the current log never touches the archive
}

TEST_F(LogManagerArchive, HugeLogIsReadInBoundedMemory)
{
    // A valid line, 256 MiB of NUL bytes without a line feed (sparse, so cheap to make),
    // and another valid line.
    const std::string first = logLine("Dec", 1, 1, 1, "1.1.1.1:1", "2.2.2.2:2");
    const std::string last = logLine("Dec", 1, 2, 2, "1.1.1.1:1", "2.2.2.2:2");
    writeIpfwLog(first);
    const std::string path = m_root.path() + "/var/log/ipfw.log";
    constexpr off_t kGap = off_t(256) << 20;
    {
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        const std::string tail = "\n" + last;
        ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(first.size()) + kGap),
                  static_cast<ssize_t>(tail.size()));
        ::close(fd);
    }
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rusage before {};
        ::getrusage(RUSAGE_SELF, &before);
        m_manager.reloadLogItems();
        rusage after {};
        ::getrusage(RUSAGE_SELF, &after);
        const long grownKiB = after.ru_maxrss - before.ru_maxrss;
        ::_exit(m_manager.logItemCount() != 2 ? 1 : (grownKiB > 64 * 1024 ? 2 : 0));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong items, 2: memory grew with the file";
}

TEST_F(LogManagerArchive, LargeReadingIsSpooledAndKeptInOrder)
{
    constexpr long kLines = 120000; // more than the in-memory part of the spool holds
    const std::string text = newLines(kLines);
    m_manager.parseLogData(text);
    ASSERT_EQ(m_manager.logItemCount(), static_cast<std::size_t>(kLines));
    const auto items = m_manager.currentLogItems();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(kLines));
    EXPECT_EQ(items.front().timestamp, "2026-12-02 00:00:00");
    EXPECT_EQ(items.back().timestamp, "2026-12-03 09:19:59");
    for (std::size_t i = 1; i < items.size(); ++i) {
        ASSERT_LT(items[i - 1].timestamp, items[i].timestamp) << i;
    }
}

} // namespace
