#pragma once

#include "logarchive/KWLogManager.h"
#include "logarchive/SQLDatabase.h"

#include "TempRoot.h"

#include "base/Release.h"

#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace kw::testing {

// Local time of a calendar date, for the injectable clock.
inline std::time_t localTime(int year, int month, int day, int hour = 12)
{
    std::tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// One kernel log line of the firewall; second counts from the start of the day.
inline std::string logLine(const char* month, int day, long second, int rule, const std::string& src,
                           const std::string& dst, const std::string& interface = "en0", const char* proto = "TCP")
{
    char date[32];
    std::snprintf(date, sizeof date, "%s %2d %02ld:%02ld:%02ld", month, day, second / 3600 % 24, second / 60 % 60,
                  second % 60);
    return std::string(date) + " host kernel: ipfw: " + std::to_string(rule) + " Deny " + proto + " " + src + " " +
           dst + " in via " + interface + "\n";
}

// A temporary system root on release 10.4 and a manager whose clock stands at 2026-12-15.
class LogArchiveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        kw::setReleaseFlags(824.0);
        m_manager.setClock([] { return localTime(2026, 12, 15); });
    }
    void TearDown() override { kw::setReleaseFlags(824.0); }

    std::string archivePath() const { return m_root.path() + "/Library/Keepwall/logArchive.db"; }

    void writeIpfwLog(const std::string& text) const { m_root.writeFile("/var/log/ipfw.log", text); }

    // Rows in the archive file, read through a connection of its own; -1 when unreadable.
    long long archiveCount() const
    {
        kw::SQLDatabase db(archivePath());
        if (!db.openReadOnly()) {
            return -1;
        }
        try {
            return std::stoll(
                *db.performQuery("SELECT count(*) FROM log_archive")->rowAtIndex(0)->stringForColumnAtIndex(0));
        } catch (const kw::SQLException&) {
            return -1;
        }
    }

    kw::testing::TempRoot m_root;
    kw::KWLogManager m_manager;
};

} // namespace kw::testing
