// Speed of the firewall log archive on a generated 1,000,000-line ipfw.log in a temporary
// system root: parse rate, first and second "showlog", two archive searches, and the time the
// sqlite3 shell takes to .import the same rows into the same table, for comparison.
//
// Usage: bench-logarchive [lines]   (default 1000000; the sqlite3 shell must be on PATH)
#include "logarchive/KWLogManager.h"
#include "logarchive/LogCommands.h"
#include "logarchive/SyntheticLog.h"

#include "base/Release.h"
#include "base/SystemRoot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of this process (or of its waited-for children): the machine is shared, so
// wall time alone says little about the code.
double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage {};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall and CPU time of one run.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

template <typename F> Timing timed(F&& f)
{
    const auto start = Clock::now();
    const double cpu = cpuSeconds();
    f();
    return { secondsSince(start), cpuSeconds() - cpu };
}

long maxRssMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

std::string csvField(std::string_view value)
{
    std::string out = "\"";
    for (char c : value) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return out;
}

// The same rows the archive gets, as CSV with explicit log_id values.
void writeCsv(const std::string& text, const std::string& path, std::time_t now)
{
    FILE* out = std::fopen(path.c_str(), "w");
    long id = 0;
    std::string row;
    kw::LogParser parser(kw::LogYearRule(now), [&](const kw::LogItemView& v) {
        const std::string_view null = "(null)";
        row = std::to_string(++id);
        for (std::string_view f : { v.timestamp, v.ruleNo, v.action, v.proto }) {
            row += ',' + csvField(f);
        }
        row += ',' + csvField(kw::logLabel(v.srcHost, v.srcPort)) + ',' + csvField(v.srcHost) + ',' +
               csvField(v.srcPort.value_or(null)) + ',' + csvField(kw::logLabel(v.dstHost, v.dstPort)) + ',' +
               csvField(v.dstHost) + ',' + csvField(v.dstPort.value_or(null)) + ',' + csvField(v.dir) + ',' +
               csvField(v.interface) + '\n';
        std::fwrite(row.data(), 1, row.size(), out);
    });
    parser.feed(text);
    parser.finish();
    std::fclose(out);
}

// The run with the median CPU time.
template <typename F> Timing median(int runs, F&& f)
{
    std::vector<Timing> times;
    for (int i = 0; i < runs; ++i) {
        times.push_back(timed(f));
    }
    std::sort(times.begin(), times.end(), [](const Timing& a, const Timing& b) { return a.cpu < b.cpu; });
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    namespace fs = std::filesystem;
    std::string rootPattern = (fs::temp_directory_path() / "kwbench-XXXXXX").string();
    if (mkdtemp(rootPattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = rootPattern;
    setenv(kw::SystemRoot::kEnvironmentVariable, root.c_str(), 1);
    kw::setReleaseFlags(824.0);
    fs::create_directories(root + "/var/log");
    const std::string logPath = kw::SystemRoot::path("/var/log/ipfw.log");
    // Clock on Jan 15: the Nov and Dec lines fall in the year before.
    std::tm jan {};
    jan.tm_year = 127;
    jan.tm_mon = 0;
    jan.tm_mday = 15;
    jan.tm_hour = 12;
    jan.tm_isdst = -1;
    const std::time_t now = std::mktime(&jan);

    std::printf("lines: %ld\n", lines);
    const auto start = Clock::now();
    kw::bench::generateLog(logPath, lines, "kernel: ipfw:");
    std::printf("generated ipfw.log: %.1f MiB in %.2f s\n", static_cast<double>(fs::file_size(logPath)) / 1048576.0,
                secondsSince(start));

    // Streaming reading straight from the file (what "showlog" does first).
    {
        kw::KWLogManager manager;
        manager.setClock([now] { return now; });
        const Timing t = median(3, [&] { manager.reloadLogItems(); });
        std::printf("reloadLogItems (file -> items): wall %.3f s, cpu %.3f s, %.0f lines/s by cpu, %zu items, "
                    "max RSS so far %ld MiB\n",
                    t.wall, t.cpu, static_cast<double>(lines) / t.cpu, manager.logItemCount(), maxRssMiB());
    }

    std::ifstream in(logPath, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    {
        kw::KWLogManager manager;
        manager.setClock([now] { return now; });
        const Timing t = median(3, [&] { manager.parseLogData(text); });
        std::printf(
            "parseLogData (bytes in memory -> items): wall %.3f s, cpu %.3f s, %.0f lines/s by cpu, %.0f by wall\n",
            t.wall, t.cpu, static_cast<double>(lines) / t.cpu, static_cast<double>(lines) / t.wall);
        std::size_t parsed = 0;
        const Timing tp = median(3, [&] {
            kw::LogParser parser(kw::LogYearRule(now), [&](const kw::LogItemView&) { ++parsed; });
            parser.feed(text);
            parser.finish();
        });
        std::printf("LogParser alone (no keeping): wall %.3f s, cpu %.3f s, %.0f lines/s by cpu\n", tp.wall, tp.cpu,
                    static_cast<double>(lines) / tp.cpu);
    }

    kw::KWLogManager manager;
    manager.setClock([now] { return now; });
    const Timing firstShowlog = timed([&] { kw::runShowLogCommand(manager); });
    std::printf("first showlog into an empty archive (end to end): wall %.3f s, cpu %.3f s\n", firstShowlog.wall,
                firstShowlog.cpu);
    const Timing secondShowlog = timed([&] { kw::runShowLogCommand(manager); });
    std::printf("second showlog, nothing new: wall %.3f s, cpu %.3f s\n", secondShowlog.wall, secondShowlog.cpu);
    std::printf("archive size: %.1f MiB\n",
                static_cast<double>(fs::file_size(kw::KWLogManager::logDBPath())) / 1048576.0);

    manager.openDatabase();
    auto query = [&](const char* what, int runs, auto&& fetch) {
        std::size_t rows = 0;
        const Timing t = median(runs, [&] { rows = fetch().size(); });
        std::printf("query %s: wall %.1f ms, cpu %.1f ms, %zu rows\n", what, t.wall * 1000, t.cpu * 1000, rows);
    };
    query("rule_no = 4200 (bound)", 7, [&] { return manager.fetchArchive(kw::LogSearch::fromMenuTags(6, 0, "4200")); });
    query("rule_no='4200' (condition text)", 7,
          [&] { return manager.fetchArchiveForQuery(std::string("rule_no='4200'")); });
    query("src_host = 10.0.12.34 (bound)", 7,
          [&] { return manager.fetchArchive(kw::LogSearch::fromMenuTags(1, 0, "10.0.12.34")); });
    query("src_host LIKE %12.34% (full scan, for reference)", 3,
          [&] { return manager.fetchArchive(kw::LogSearch::fromMenuTags(1, 5, "12.34")); });
    manager.closeDatabase();

    // The sqlite3 shell importing the same rows into the same table with the same indexes.
    const std::string csv = root + "/rows.csv";
    const std::string importDb = root + "/import.db";
    writeCsv(text, csv, now);
    {
        kw::SQLDatabase db(importDb);
        db.open();
        db.performQuery(kw::KWLogManager::kCreateTableStatement);
        db.performQuery("CREATE INDEX log_archive_timestamp ON log_archive (timestamp)");
        db.performQuery("CREATE INDEX log_archive_rule_no ON log_archive (rule_no)");
        db.performQuery("CREATE INDEX log_archive_src_host ON log_archive (src_host)");
    }
    const std::string script = root + "/import.sql";
    {
        std::ofstream s(script);
        s << ".mode csv\n.import '" << csv << "' log_archive\n";
    }
    const std::string command = "sqlite3 '" + importDb + "' < '" + script + "'";
    const auto importStart = Clock::now();
    const double childCpu = cpuSeconds(RUSAGE_CHILDREN);
    const int rc = std::system(command.c_str());
    const Timing importTime { secondsSince(importStart), cpuSeconds(RUSAGE_CHILDREN) - childCpu };
    std::printf("sqlite3 .import of the same rows (CSV, same table and indexes): wall %.3f s, cpu %.3f s (status %d)\n",
                importTime.wall, importTime.cpu, rc);
    {
        kw::SQLDatabase db(importDb);
        db.openReadOnly();
        std::printf(
            "rows imported: %s\n",
            db.performQuery("SELECT count(*) FROM log_archive")->rowAtIndex(0)->stringForColumnAtIndex(0)->c_str());
    }
    std::printf("ratio first showlog / sqlite3 .import: %.2f by wall time, %.2f by cpu time\n",
                firstShowlog.wall / importTime.wall, firstShowlog.cpu / importTime.cpu);
    std::printf("max RSS: %ld MiB\n", maxRssMiB());

    fs::remove_all(root);
    return 0;
}
