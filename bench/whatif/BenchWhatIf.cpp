// Times kw-whatif as a whole command: one packet against a setting of about 16,000 filters in
// a temporary system root (start, reading the settings document, generating and loading the
// rules, the answer). Prints the best and the median of the runs.
//
//   bench-whatif [--document FILE] [--runs N]
//
// --document uses a whole settings document (e.g. bench-rules --write-document) instead of the
// built-in loadable setting; kw-whatif's warnings about it are printed once.
#include "LargeSetting.h"

#include "base/PlistValue.h"
#include "config/SettingsKeys.h"
#include "rules/ConfigurationText.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs the command with its output to /dev/null (standard error kept when asked); the wall time in ms.
double timeRun(const std::vector<std::string>& argv, bool showErrors, int& status)
{
    std::fflush(stdout); // the child must not print what this process has buffered
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::FILE* null = std::freopen("/dev/null", "w", stdout);
        if (null == nullptr || (!showErrors && std::freopen("/dev/null", "w", stderr) == nullptr)) {
            ::_exit(126);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    std::string document;
    int runs = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--document" && i + 1 < argc) {
            document = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench-whatif [--document FILE] [--runs N]\n");
            return 2;
        }
    }
    char tmpl[] = "/tmp/kwbench-whatif.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = tmpl;
    const std::string plist = root + "/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist";
    std::filesystem::create_directories(std::filesystem::path(plist).parent_path());
    std::size_t filters = 0;
    if (document.empty()) {
        const kw::Value setting = kw::whatif::test::largeSetting();
        kw::Value stored;
        stored.set("Benchmark", setting);
        kw::Value doc;
        doc.set(kw::keys::kStoredSettings, stored);
        doc.set(kw::keys::kCurrentSetting, "Benchmark");
        std::ofstream(plist, std::ios::binary) << kw::valueToXml(doc);
        filters = static_cast<std::size_t>(kw::whatif::test::kInterfaceCount) *
                  static_cast<std::size_t>(kw::whatif::test::kFiltersPerInterface);
    } else {
        std::filesystem::copy_file(document, plist, std::filesystem::copy_options::overwrite_existing);
    }
    ::setenv("KEEPWALL_ROOT", root.c_str(), 1);
    const std::vector<std::string> command = { KW_WHATIF_PATH, "in via en3 tcp 203.0.113.9:40000 -> 10.0.3.2:1001 setup" };
    std::printf("kw-whatif, one packet, %s:\n",
                document.empty() ? ("built-in setting of " + std::to_string(filters) + " filters").c_str()
                                 : document.c_str());
    int status = 0;
    timeRun(command, true, status); // warms the page cache; shows warnings about the document once
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        times.push_back(timeRun(command, false, status));
    }
    std::sort(times.begin(), times.end());
    std::printf("kw-whatif whole command: best %.1f ms, median %.1f ms of %d runs (exit status %d)\n", times.front(),
                times[times.size() / 2], runs, status);
    std::filesystem::remove_all(root);
    return 0;
}
