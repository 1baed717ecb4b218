#include "LogTestSupport.h"

#include "logarchive/LogCommands.h"

using kw::Value;
using kw::testing::logLine;

namespace {

using LogCommands = kw::testing::LogArchiveFixture;

TEST_F(LogCommands, ShowlogThenDeleteLogRoundTrip)
{
    writeIpfwLog(logLine("Dec", 5, 1, 100, "10.0.0.1:5", "10.0.0.2:80") +
                 logLine("Dec", 5, 2, 200, "10.0.0.1:6", "10.0.0.2:80"));
    EXPECT_TRUE(kw::runShowLogCommand(m_manager));
    EXPECT_EQ(archiveCount(), 2);
    EXPECT_TRUE(kw::runDeleteLogCommand(Value(Value::Array { Value("2") }), m_manager));
    EXPECT_EQ(archiveCount(), 1);
    EXPECT_FALSE(m_manager.databaseIsOpen());
}

TEST_F(LogCommands, ShowlogClosesTheArchiveWhenItRaises)
{
    writeIpfwLog(logLine("Dec", 5, 1, 100, "10.0.0.1:5", "10.0.0.2:80"));
    m_root.writeFile(kw::KWLogManager::kLogDBPath, std::string(4096, 'z'));
    EXPECT_THROW(kw::runShowLogCommand(m_manager), kw::LogArchiveError);
    EXPECT_FALSE(m_manager.databaseIsOpen());
}

TEST_F(LogCommands, SharedInstanceIsOneObjectWithItsCurrentLog)
{
    auto& a = kw::KWLogManager::sharedInstance();
    EXPECT_EQ(&a, &kw::KWLogManager::sharedInstance());
    EXPECT_TRUE(a.fetchCurrentForQuery(std::nullopt).empty());
}

} // namespace
