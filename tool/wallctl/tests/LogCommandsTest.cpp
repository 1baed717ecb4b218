#include "RunProgram.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "logarchive/KWLogManager.h"

#include <gtest/gtest.h>

using kw::Value;
using kw::testing::runAsRoot;

namespace {

class LogCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root.writeFile("/var/log/ipfw.log",
                         "Jan  2 10:00:01 host kernel: ipfw: 2000 Deny TCP 10.0.0.5:1234 10.0.0.1:22 in via en0\n"
                         "Jan  2 10:00:02 host kernel: ipfw: 2010 Accept UDP 10.0.0.6:53 10.0.0.1:5353 in via en0\n"
                         "Jan  2 10:00:03 host kernel: ipfw: 65535 Deny ICMP:8.0 10.0.0.7 10.0.0.1 in via en1\n");
    }

    std::vector<kw::KWLogManager::Row> archiveRows()
    {
        kw::KWLogManager manager;
        if (!manager.openDatabase()) {
            return {};
        }
        auto rows = manager.fetchArchive(std::nullopt);
        manager.closeDatabase();
        return rows;
    }

    kw::testing::TempRoot m_root;
};

} // namespace

TEST_F(LogCommands, ShowlogArchivesOnceAndDeleteLogRemovesTheReceivedRows)
{
    EXPECT_EQ(runAsRoot({ WALLCTL_PATH, "showlog" }).exitStatus, 0);
    auto rows = archiveRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(runAsRoot({ WALLCTL_PATH, "showlog" }).exitStatus, 0);
    EXPECT_EQ(archiveRows().size(), 3u);

    kw::DistributedObserver observer;
    const Value ids(Value::Array { Value::integer(std::stoll(rows[0]["log_id"])), Value(rows[1]["log_id"]) });
    m_root.writeFile("/ids.plist", kw::valueToXml(ids));
    const auto r =
        runAsRoot({ SERVE_CONFIG_PATH, "--delete", m_root / "/ids.plist", "--", WALLCTL_PATH, "delete-log" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    rows = archiveRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["rule_no"], "65535");
    const auto n = observer.receive(std::chrono::seconds(2));
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->name, "KWLogItemsChangedNotification");
    EXPECT_EQ(n->object, "com.wallworks.keepwall");
}

TEST_F(LogCommands, DeleteLogIgnoresPayloadsThatAreNotIds)
{
    runAsRoot({ WALLCTL_PATH, "showlog" });
    for (const Value& payload : { Value(Value::Dictionary { { "a", Value("b") } }),
                                  Value(Value::Array { Value("1; DROP TABLE log_archive") }) }) {
        m_root.writeFile("/ids.plist", kw::valueToXml(payload));
        runAsRoot({ SERVE_CONFIG_PATH, "--delete", m_root / "/ids.plist", "--", WALLCTL_PATH, "delete-log" });
        EXPECT_EQ(archiveRows().size(), 3u);
    }
}

TEST_F(LogCommands, DeleteLogWithoutAServerStillNotifies)
{
    kw::DistributedObserver observer;
    const auto r = runAsRoot({ WALLCTL_PATH, "delete-log" });
    EXPECT_NE(r.err.find("No configuration data received"), std::string::npos);
    const auto n = observer.receive(std::chrono::seconds(2));
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->name, "KWLogItemsChangedNotification");
}
