// Lists processes like ps(1), but only those of the system root in force (see
// ProcessRegistry: the root's daemons and every process started with the same KEEPWALL_ROOT),
// so two sandboxes never see each other's natd.
//   ps [-aAewx] [-o keyword[,keyword...]] [-p pid[,pid...]]
// Keywords: pid, ppid, uid, user, command (args), comm (ucomm); "pid=" drops the header. Without -a only the caller's
// own processes, without -x only processes with a terminal, as the real tool does; -A or -e
// shows all. Command lines are cut at 79 columns, 131 with -w, not at all with -ww. An
// executable path inside the root shows as its system path ("/usr/sbin/natd").
#include "common/Addresses.h"
#include "common/PlatformRoot.h"
#include "common/ProcessTable.h"

#include "base/SystemRoot.h"

#include <cstdio>
#include <pwd.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kw::platform;

namespace {

enum class Column { Pid, Ppid, Uid, User, Command, Comm };

struct ColumnSpec {
    Column column;
    const char* header;
    bool rightAligned;
    int width;
};

bool columnFor(const std::string& keyword, ColumnSpec& spec)
{
    if (keyword == "pid") {
        spec = { Column::Pid, "PID", true, 5 };
    } else if (keyword == "ppid") {
        spec = { Column::Ppid, "PPID", true, 5 };
    } else if (keyword == "uid") {
        spec = { Column::Uid, "UID", true, 5 };
    } else if (keyword == "user") {
        spec = { Column::User, "USER", false, 8 };
    } else if (keyword == "command" || keyword == "args") {
        spec = { Column::Command, "COMMAND", false, 0 };
    } else if (keyword == "comm" || keyword == "ucomm") {
        spec = { Column::Comm, "COMMAND", false, 0 };
    } else {
        return false;
    }
    return true;
}

std::string displayCommand(const ProcessInfo& p, const std::string& rootPrefix)
{
    if (p.arguments.empty()) {
        return "(" + p.name + ")";
    }
    std::string text;
    for (size_t i = 0; i < p.arguments.size(); ++i) {
        std::string word = p.arguments[i];
        if (i == 0 && !rootPrefix.empty() && word.size() > rootPrefix.size() &&
            word.compare(0, rootPrefix.size(), rootPrefix) == 0 && word[rootPrefix.size()] == '/') {
            word.erase(0, rootPrefix.size());
        }
        text += (i == 0 ? "" : " ") + word;
    }
    return text;
}

std::string userName(uid_t uid)
{
    passwd pw {};
    passwd* result = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &result) == 0 && result != nullptr) {
        return pw.pw_name;
    }
    return std::to_string(uid);
}

std::string pad(const std::string& text, int width, bool right)
{
    if (static_cast<int>(text.size()) >= width) {
        return text;
    }
    const std::string fill(static_cast<size_t>(width) - text.size(), ' ');
    return right ? fill + text : text + fill;
}

bool addKeywords(const std::string& list, std::vector<ColumnSpec>& columns)
{
    std::string word;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || list[i] == ',' || list[i] == ' ') {
            if (!word.empty()) {
                // "pid=" asks for the column without its header.
                const bool noHeader = word.back() == '=';
                if (noHeader) {
                    word.pop_back();
                }
                ColumnSpec spec {};
                if (!columnFor(word, spec)) {
                    complain(word + ": keyword not found");
                    return false;
                }
                if (noHeader) {
                    spec.header = "";
                }
                columns.push_back(spec);
            }
            word.clear();
        } else {
            word += list[i];
        }
    }
    return true;
}

bool addPids(const std::string& list, std::set<pid_t>& pids)
{
    std::string word;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || list[i] == ',' || list[i] == ' ') {
            if (!word.empty()) {
                const auto pid = parseDecimal(word, 1, 0x3fffffff);
                if (!pid) {
                    complain("illegal process id: " + word);
                    return false;
                }
                pids.insert(static_cast<pid_t>(*pid));
            }
            word.clear();
        } else {
            word += list[i];
        }
    }
    if (pids.empty()) {
        complain("illegal process id: " + list);
        return false;
    }
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: ps [-aAewx] [-o fmt] [-p pid[,pid]]\n");
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("ps");
    bool allUsers = false;
    bool withoutTerminal = false;
    int wide = 0;
    std::vector<ColumnSpec> columns;
    std::set<pid_t> pids;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i == 1 && !arg.empty() && arg[0] != '-') {
            arg = "-" + arg; // "ps axww", the old form without a dash
        }
        if (arg.size() < 2 || arg[0] != '-') {
            return usage();
        }
        for (size_t k = 1; k < arg.size(); ++k) {
            const char c = arg[k];
            if (c == 'a') {
                allUsers = true;
            } else if (c == 'x') {
                withoutTerminal = true;
            } else if (c == 'A' || c == 'e') {
                allUsers = withoutTerminal = true;
            } else if (c == 'w') {
                ++wide;
            } else if (c == 'o' || c == 'p') {
                // The value is the rest of this word or the next argument.
                std::string value = arg.substr(k + 1);
                if (value.empty()) {
                    if (i + 1 >= argc) {
                        complain(std::string("option requires an argument -- ") + c);
                        return usage();
                    }
                    value = argv[++i];
                }
                if (c == 'o' ? !addKeywords(value, columns) : !addPids(value, pids)) {
                    return 1;
                }
                break;
            } else {
                complain(std::string("illegal option -- ") + c);
                return usage();
            }
        }
    }
    if (!establishRoot("/bin/ps")) {
        return 1;
    }
    if (columns.empty()) {
        addKeywords("pid,command", columns);
    }
    const std::string prefix = kw::SystemRoot::prefix();
    const size_t maxWidth = wide >= 2 ? std::string::npos : (wide == 1 ? 131 : 79);
    const uid_t me = ::getuid();

    std::string header;
    for (size_t c = 0; c < columns.size(); ++c) {
        const bool last = c + 1 == columns.size();
        header += (c == 0 ? "" : " ") + (last && !columns[c].rightAligned
                                             ? std::string(columns[c].header)
                                             : pad(columns[c].header, columns[c].width, columns[c].rightAligned));
    }
    // No header line when every column was asked for without one.
    if (header.find_first_not_of(' ') != std::string::npos) {
        std::printf("%s\n", header.c_str());
    }

    bool anyListed = false;
    for (const auto& p : processesOfRoot()) {
        if (!pids.empty()) {
            if (pids.count(p.pid) == 0) {
                continue;
            }
        } else if ((!allUsers && p.uid != me) || (!withoutTerminal && !p.hasTerminal)) {
            continue;
        }
        std::string line;
        for (size_t c = 0; c < columns.size(); ++c) {
            const ColumnSpec& col = columns[c];
            std::string cell;
            switch (col.column) {
            case Column::Pid:
                cell = std::to_string(p.pid);
                break;
            case Column::Ppid:
                cell = std::to_string(p.ppid);
                break;
            case Column::Uid:
                cell = std::to_string(p.uid);
                break;
            case Column::User:
                cell = userName(p.uid);
                break;
            case Column::Command:
                cell = displayCommand(p, prefix);
                break;
            case Column::Comm:
                cell = p.name;
                break;
            }
            const bool last = c + 1 == columns.size();
            line += (c == 0 ? "" : " ") + (last && !col.rightAligned ? cell : pad(cell, col.width, col.rightAligned));
        }
        if (line.size() > maxWidth) {
            line.resize(maxWidth);
        }
        std::printf("%s\n", line.c_str());
        anyListed = true;
    }
    std::fflush(stdout);
    // As the real tool: asking for processes of which none is listed is a failure.
    return !pids.empty() && !anyListed ? 1 : 0;
}
