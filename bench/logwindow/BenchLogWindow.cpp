// Times the log window on the log benchmark's archive: a generated 1,000,000-line ipfw.log
// in a temporary system root, archived by the log manager as "showlog" does. Prints the time
// until the archive tab shows its first rows, scrolling (page by page and jumps), a search by
// rule number, sorting by indexed and unindexed columns, the three exports of every row, and
// the window's memory.
//
// Usage: bench-logwindow [lines]   (default 1000000)
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "core/IPFWManager.h"
#include "logarchive/KWLogManager.h"
#include "logarchive/SyntheticLog.h"
#include "windows/log/ExportSaveDialog.h"
#include "windows/log/LogController.h"
#include "windows/log/LogExport.h"
#include "windows/log/LogTableModel.h"

#include <KWSecurity/AuthPanelController.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

double elapsed(const QElapsedTimer& t)
{
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// Memory of the process in MiB: resident, of it anonymous (the process's own) and file-backed
// (mapped files: the archive's pages, shared with the system's file cache), and the peak.
struct Memory {
    long rss = 0;
    long anonymous = 0;
    long file = 0;
    long peak = 0;
};

Memory memoryMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    Memory m;
    const std::pair<const char*, long*> fields[] = {
        { "VmRSS:", &m.rss }, { "RssAnon:", &m.anonymous }, { "RssFile:", &m.file }, { "VmHWM:", &m.peak }
    };
    while (std::getline(status, line)) {
        for (const auto& [name, value] : fields) {
            if (line.rfind(name, 0) == 0) {
                *value = std::atol(line.c_str() + std::strlen(name)) / 1024;
            }
        }
    }
    return m;
}

void printMemory(const char* what, const Memory& m)
{
    std::printf("%-52s %6ld MiB resident: %ld MiB own (anonymous), %ld MiB mapped files; peak %ld MiB\n", what, m.rss,
                m.anonymous, m.file, m.peak);
}

// Lets the view lay out and paint what it shows now.
void paint(QTableView* table)
{
    QApplication::processEvents();
    table->viewport()->grab();
}

} // namespace

int main(int argc, char** argv)
{
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    namespace fs = std::filesystem;
    std::string rootPattern = (fs::temp_directory_path() / "kwbench-logwindow-XXXXXX").string();
    if (mkdtemp(rootPattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = rootPattern;
    setenv(kw::SystemRoot::kEnvironmentVariable, root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    fs::create_directories(root + "/run");
    fs::permissions(root + "/run", fs::perms::owner_all, fs::perm_options::replace);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    kw::setReleaseFlags(824.0);
    fs::create_directories(root + "/var/log");

    {
        QElapsedTimer t;
        t.start();
        kw::bench::generateLog(kw::SystemRoot::path("/var/log/ipfw.log"), lines, "ipfw:");
        kw::KWLogManager manager;
        // Clock on Jan 15: the Nov and Dec lines fall in the year before.
        std::tm jan {};
        jan.tm_year = 127;
        jan.tm_mday = 15;
        jan.tm_hour = 12;
        jan.tm_isdst = -1;
        const std::time_t now = std::mktime(&jan);
        manager.setClock([now] { return now; });
        manager.reloadLogItems();
        if (!manager.openDatabase() || !manager.incorporateLogEntries()) {
            std::fprintf(stderr, "could not make the archive\n");
            return 1;
        }
        manager.closeDatabase();
        std::printf("archive of %ld rows made in %.1f s (%.0f MiB)\n", lines, elapsed(t) / 1000,
                    static_cast<double>(fs::file_size(kw::KWLogManager::logDBPath())) / 1048576.0);
    }

    QApplication app(argc, argv);
    kw::AuthPanelController controller;
    kw::IPFWManager gateway(controller);
    kw::KWLogManager manager;
    printMemory("memory before the window", memoryMiB());

    QElapsedTimer t;
    t.start();
    kw::app::LogController window(gateway, manager);
    window.show();
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabView"));
    tabs->setCurrentIndex(kw::app::LogController::kArchiveTab);
    auto* table = window.findChild<QTableView*>(QStringLiteral("archiveTable"));
    paint(table);
    std::printf("%-52s %9.1f ms  (%d rows)\n", "window opened, archive tab shown", elapsed(t),
                window.archiveModel().rowCount());

    // Scrolling: page by page from the top, then jumps to random places.
    auto* bar = table->verticalScrollBar();
    std::vector<double> steps;
    for (int i = 0; i < 300; ++i) {
        t.restart();
        bar->setValue(bar->value() + bar->pageStep());
        paint(table);
        steps.push_back(elapsed(t));
    }
    std::sort(steps.begin(), steps.end());
    std::printf("%-52s median %6.2f ms, worst %6.2f ms\n", "scroll one page (300 pages)", steps[steps.size() / 2],
                steps.back());
    steps.clear();
    std::mt19937 random(7);
    for (int i = 0; i < 100; ++i) {
        t.restart();
        bar->setValue(static_cast<int>(random() % static_cast<unsigned>(bar->maximum() + 1)));
        paint(table);
        steps.push_back(elapsed(t));
    }
    std::sort(steps.begin(), steps.end());
    std::printf("%-52s median %6.2f ms, worst %6.2f ms\n", "jump to a random place (100 jumps)",
                steps[steps.size() / 2], steps.back());
    bar->setValue(0);

    // A search by rule number, as the monitor's double click makes it, to the first rows shown.
    for (const char* rule : { "100", "12300" }) {
        window.columnMenu()->setCurrentIndex(window.columnMenu()->findData(6));
        window.operationMenu()->setCurrentIndex(window.operationMenu()->findData(0));
        window.queryField()->setText(QString::fromLatin1(rule));
        t.restart();
        window.searchLog();
        paint(table);
        std::printf("%-52s %9.1f ms  (%d rows)\n", (std::string("search rule_no = ") + rule).c_str(), elapsed(t),
                    window.archiveModel().rowCount());
    }
    window.queryField()->clear();
    t.restart();
    window.searchLog();
    paint(table);
    std::printf("%-52s %9.1f ms  (%d rows)\n", "search cleared (every row again)", elapsed(t),
                window.archiveModel().rowCount());

    // Sorting by a column: indexed (time, rule, source) and unindexed ones; a second click
    // reverses.
    auto* header = table->horizontalHeader();
    using M = kw::app::LogTableModel;
    for (const int column : { M::RuleNo, M::RuleNo, M::Timestamp, M::SrcHost, M::Proto, M::DstPort, M::Interface }) {
        t.restart();
        emit header->sectionClicked(column);
        paint(table);
        std::printf("%-52s %9.1f ms\n",
                    (std::string("sort by ") + M::columnIdentifier(column) +
                     (window.archiveModel().sortOrder() == Qt::AscendingOrder ? " (ascending)" : " (descending)"))
                        .c_str(),
                    elapsed(t));
    }
    printMemory("memory after opening, scrolling, searching, sorting", memoryMiB());

    // Export of every row in each format, in the archive's order; first the reading alone. Then
    // one export sorted by time and one by an unindexed column.
    const auto exportAll = [&](int tag, const char* what) {
        const QString out = QString::fromStdString(root + "/export-" + std::to_string(tag) + ".txt");
        kw::app::ExportSaveDialog::setNextAnswer(kw::app::ExportSaveDialog::Answer { out, tag });
        t.restart();
        window.exportToTextFile();
        std::printf("%-52s %9.1f ms  (%.0f MiB)\n", what, elapsed(t),
                    static_cast<double>(QFileInfo(out).size()) / 1048576.0);
    };
    window.archiveModel().sort(-1);
    {
        t.restart();
        long bytes = 0;
        window.archiveModel().forEachRecord([&](const kw::app::LogRecordView& row) {
            bytes += static_cast<long>(row.values[1].size());
            return true;
        });
        std::printf("%-52s %9.1f ms\n", "read every row (no text made)", elapsed(t));
    }
    exportAll(0, "export tab-delimited");
    exportAll(1, "export system log");
    exportAll(2, "export DoorStop");
    window.archiveModel().sort(M::Timestamp);
    exportAll(0, "export tab-delimited, sorted by time");
    window.archiveModel().sort(M::Proto);
    exportAll(0, "export tab-delimited, sorted by protocol");
    printMemory("memory after the exports", memoryMiB());
    window.close();
    fs::remove_all(root);
    return 0;
}
