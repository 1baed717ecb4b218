#include "IPFWCommand.h"

#include "IPFWEngine.h"
#include "IPFWListing.h"
#include "IPFWSystem.h"
#include "IPFWTable.h"
#include "PacketDescription.h"

#include "KernelBackend.h"
#include "NftCompiler.h"
#include "NftKernel.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/IPFWParser.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <unistd.h>

namespace kw::ipfwemu {

namespace {

using ipfw::matchesKeyword;

constexpr const char* kUsage = "usage: ipfw [-afqt] add [number] rule\n"
                               "       ipfw [-q] delete number ...\n"
                               "       ipfw [-aft] list|show [number ...]\n"
                               "       ipfw [-q] zero|resetlog [number ...]\n"
                               "       ipfw [-fq] flush\n"
                               "       ipfw [-q] pathname\n"
                               "       ipfw inject <packet file | -> [--me address,...]\n";

struct Options {
    bool counters = false;
    bool times = false;
    bool force = false;
    bool quiet = false;
    bool sets = false;
};

enum class Command { None, Add, Delete, Flush, List, Show, Zero, ResetLog };

Command commandOf(const std::string& word)
{
    static const std::pair<const char*, Command> kCommands[] = {
        { "add", Command::Add },           { "delete", Command::Delete }, { "flush", Command::Flush },
        { "list", Command::List },         { "show", Command::Show },     { "zero", Command::Zero },
        { "resetlog", Command::ResetLog },
    };
    for (const auto& [keyword, command] : kCommands) {
        if (matchesKeyword(word, keyword)) {
            return command;
        }
    }
    return Command::None;
}

// Reads the options in front of the command word; false for an unknown one.
bool takeOptions(const std::vector<std::string>& words, std::size_t& i, Options& o, std::string& bad)
{
    for (; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            ++i;
            return true;
        }
        if (w.size() < 2 || w[0] != '-') {
            return true;
        }
        for (std::size_t k = 1; k < w.size(); ++k) {
            switch (w[k]) {
            case 'a':
                o.counters = true;
                break;
            case 't':
                o.times = true;
                break;
            case 'f':
                o.force = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'S':
                o.sets = true;
                break;
            case 'd': // dynamic rules are always listed
            case 'e':
            case 'N': // addresses are always numeric
            case 's':
            case 'v':
                break;
            default:
                bad = std::string(1, w[k]);
                return false;
            }
        }
    }
    return true;
}

// A rule number as the commands take it: decimal digits only.
bool ruleNumber(const std::string& word, std::uint32_t& number)
{
    std::uint64_t n = 0;
    const auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), n);
    if (ec != std::errc() || ptr != word.data() + word.size() || word.empty() || n > kDefaultRuleNumber) {
        return false;
    }
    number = static_cast<std::uint32_t>(n);
    return true;
}

class Session {
public:
    Session(std::istream& in, std::ostream& out, std::ostream& err)
        : m_in(in)
        , m_out(out)
        , m_err(err)
    {}

    int run(const std::vector<std::string>& args);

private:
    int fail(int status, const std::string& message)
    {
        m_err << "ipfw: ";
        if (m_line > 0) {
            m_err << "Line " << m_line << ": ";
        }
        m_err << message << '\n';
        return status;
    }
    int usage(const std::string& message)
    {
        fail(kExitUsage, message);
        m_err << kUsage;
        return kExitUsage;
    }

    int execute(const std::vector<std::string>& words, std::size_t first, Options o);
    int add(const std::vector<std::string>& words, std::size_t first, const Options& o);
    int remove(const std::vector<std::string>& words, std::size_t first);
    int zero(const std::vector<std::string>& words, std::size_t first, const Options& o, bool logOnly);
    int list(const std::vector<std::string>& words, std::size_t first, const Options& o);
    int flush(const Options& o);
    int loadFile(const std::string& path, const Options& o);
    int inject(const std::vector<std::string>& words, std::size_t first);
    // The kernel backend: the table made the kernel's rule set, the kernel's counters read into
    // the table, and the kernel's counters zeroed.
    bool applyToKernel(std::string& error);
    bool readKernelCounters(std::string& error);

    std::istream& m_in;
    std::ostream& m_out;
    std::ostream& m_err;
    Table m_table;
    StateStore m_store;
    NameServices m_names;
    bool m_changed = false;
    int m_line = 0; // the rule file's line being applied, 0 on the command line
    std::int64_t m_verboseLimit = -1;
    nft::KernelBackend m_backend;
    std::unique_ptr<nft::NftKernel> m_kernel;
};

int Session::run(const std::vector<std::string>& args)
{
    Options o;
    std::size_t i = 0;
    std::string bad;
    if (!takeOptions(args, i, o, bad)) {
        return usage("illegal option -- " + bad);
    }
    if (i >= args.size()) {
        return usage("missing command");
    }
    const bool injecting = args[i] == "inject";
    const Command command = injecting ? Command::None : commandOf(args[i]);
    if (!injecting && command == Command::None && i + 1 != args.size()) {
        return usage("bad command `" + args[i] + "'");
    }
    if (::geteuid() != 0) {
        return fail(kExitOSError, "socket: Operation not permitted");
    }
    const bool readOnly = command == Command::List || command == Command::Show;
    std::string error;
    if (!nft::loadKernelBackend(m_backend, error)) {
        return fail(kExitIOError, error);
    }
    if (m_backend.isKernel()) {
        if (injecting) {
            return usage("inject: the kernel backend filters real packets");
        }
        if (!nft::enterNamespace(m_backend, error)) {
            return fail(kExitOSError, error);
        }
        m_kernel = std::make_unique<nft::NftKernel>();
        if (!m_kernel->available(error)) {
            return fail(kExitOSError, error);
        }
    }
    // With the kernel backend a listing records when counters last moved, so it writes too.
    const bool sharedLock = readOnly && !m_backend.isKernel();
    if (!m_store.open(sharedLock ? StateStore::Lock::Shared : StateStore::Lock::Exclusive, m_table, m_names, error)) {
        return fail(kExitIOError, error);
    }
    int status = 0;
    if (injecting) {
        status = inject(args, i + 1);
    } else if (command == Command::None) {
        status = loadFile(args[i], o);
    } else {
        status = execute(args, i, o);
    }
    if (m_kernel && m_changed) {
        const bool tableCommand = command != Command::List && command != Command::Show && command != Command::Zero &&
                                  command != Command::ResetLog;
        if (command == Command::None && status != 0) {
            // A rule file that fails leaves the rules in force as they were, in the kernel and
            // in the table.
            return status;
        }
        if (tableCommand && !applyToKernel(error)) {
            m_line = 0;
            return fail(kExitOSError, error);
        }
    }
    if (m_changed && !m_store.save(m_table, error)) {
        m_line = 0;
        return fail(kExitIOError, error);
    }
    return status;
}

int Session::execute(const std::vector<std::string>& words, std::size_t first, Options o)
{
    switch (commandOf(words[first])) {
    case Command::Add:
        return add(words, first, o);
    case Command::Delete:
        return remove(words, first + 1);
    case Command::Flush:
        return flush(o);
    case Command::Show:
        o.counters = true;
        return list(words, first + 1, o);
    case Command::List:
        return list(words, first + 1, o);
    case Command::Zero:
        return zero(words, first + 1, o, false);
    case Command::ResetLog:
        return zero(words, first + 1, o, true);
    case Command::None:
        break;
    }
    return usage("bad command `" + words[first] + "'");
}

int Session::add(const std::vector<std::string>& words, std::size_t first, const Options& o)
{
    std::vector<const char*> av;
    av.reserve(words.size() - first);
    for (std::size_t i = first; i < words.size(); ++i) {
        av.push_back(words[i].c_str());
    }
    if (av.size() >= 2 && av[1][0] >= '0' && av[1][0] <= '9') {
        std::uint32_t n = 0;
        if (!ruleNumber(av[1], n) || n == kDefaultRuleNumber) {
            return fail(kExitUsage, std::string("illegal rule number ") + av[1] + " (rules are numbered 1 to 65534)");
        }
    }
    IPFWRule rule;
    std::vector<std::string> errors;
    // Read as the configured release's ipfw reads rules: no dynamic rules on 10.1, the newer
    // forms on 10.4.
    if (!parseIPFWRule(
            av, m_names, rule, [&](const std::string& m) { errors.push_back(m); }, IPFWGrammarMode::Release)) {
        if (errors.empty()) {
            errors.emplace_back("bad rule");
        }
        for (const auto& e : errors) {
            fail(kExitUsage, e);
        }
        return kExitUsage;
    }
    if (m_kernel) {
        if (const auto refusal = nft::kernelRefusal(rule)) {
            return fail(kExitUsage, *refusal);
        }
    }
    if (m_verboseLimit < 0) {
        m_verboseLimit = std::max<std::int64_t>(0, kernelVariable("net.inet.ip.fw.verbose_limit", 0));
    }
    const TableRule& added = m_table.add(rule, static_cast<std::uint64_t>(m_verboseLimit));
    m_changed = true;
    if (!o.quiet) {
        m_out << ruleNumberText(added.rule.number) << ' ' << ruleTextFor(added, configuredListingRelease()) << '\n';
    }
    return 0;
}

int Session::remove(const std::vector<std::string>& words, std::size_t first)
{
    if (first >= words.size()) {
        return usage("rule number required");
    }
    int status = 0;
    for (std::size_t i = first; i < words.size(); ++i) {
        std::uint32_t n = 0;
        if (!ruleNumber(words[i], n)) {
            return usage("illegal rule number " + words[i]);
        }
        if (!m_table.remove(n)) {
            status = fail(kExitUnavailable, "rule " + std::to_string(n) + ": setsockopt(IP_FW_DEL): Invalid argument");
        } else {
            m_changed = true;
        }
    }
    return status;
}

int Session::zero(const std::vector<std::string>& words, std::size_t first, const Options& o, bool logOnly)
{
    const auto clear = [&](std::optional<std::uint32_t> number) {
        bool found = false;
        for (auto& r : m_table.rules()) {
            if (!number || r.rule.number == *number) {
                if (!logOnly) {
                    r.packets = r.bytes = 0;
                    r.lastMatch = 0;
                }
                r.logged = 0;
                found = true;
            }
        }
        return found;
    };
    std::string error;
    if (first >= words.size()) {
        clear(std::nullopt);
        m_changed = true;
        if (m_kernel && !logOnly && !m_kernel->resetCounters({}, error)) {
            return fail(kExitOSError, error);
        }
        if (!o.quiet) {
            m_out << (logOnly ? "Logging counts reset.\n" : "Accounting cleared.\n");
        }
        return 0;
    }
    int status = 0;
    for (std::size_t i = first; i < words.size(); ++i) {
        std::uint32_t n = 0;
        if (!ruleNumber(words[i], n)) {
            return usage("illegal rule number " + words[i]);
        }
        if (!clear(n)) {
            status = fail(kExitUnavailable, "rule " + std::to_string(n) + ": setsockopt(" +
                                                (logOnly ? "IP_FW_RESETLOG" : "IP_FW_ZERO") + "): Invalid argument");
            continue;
        }
        m_changed = true;
        if (m_kernel && !logOnly) {
            std::vector<std::uint64_t> ids;
            for (const auto& r : m_table.rules()) {
                if (r.rule.number == n) {
                    ids.push_back(r.id);
                }
            }
            if (!m_kernel->resetCounters(ids, error)) {
                return fail(kExitOSError, error);
            }
        }
        if (!o.quiet) {
            m_out << "Entry " << n << (logOnly ? " logging count reset\n" : " cleared\n");
        }
    }
    return status;
}

int Session::list(const std::vector<std::string>& words, std::size_t first, const Options& o)
{
    ListingOptions lo;
    lo.counters = o.counters;
    lo.times = o.times;
    lo.sets = o.sets;
    lo.release = configuredListingRelease();
    for (std::size_t i = first; i < words.size(); ++i) {
        std::uint32_t n = 0;
        if (!ruleNumber(words[i], n)) {
            return usage("illegal rule number " + words[i]);
        }
        lo.numbers.push_back(n);
    }
    for (const auto n : lo.numbers) {
        bool found = false;
        for (const auto& r : m_table.rules()) {
            found = found || r.rule.number == n;
        }
        if (!found) {
            return fail(kExitUnavailable, "rule " + std::to_string(n) + " does not exist");
        }
    }
    if (m_kernel) {
        std::string error;
        if (!readKernelCounters(error)) {
            return fail(kExitOSError, error);
        }
    }
    m_out << listing(m_table, lo, static_cast<std::int64_t>(std::time(nullptr)));
    return 0;
}

bool Session::applyToKernel(std::string& error)
{
    const auto& rules = m_table.rules();
    if (rules.size() == 1) {
        return m_kernel->removeTable(error); // the default rule alone: an open host, no table of ours
    }
    std::vector<nft::KernelRule> compiled;
    compiled.reserve(rules.size());
    for (const auto& r : rules) {
        compiled.push_back({ r.id, &r.rule });
    }
    if (const auto refusal = nft::tableRefusal(compiled)) {
        error = *refusal;
        return false;
    }
    return m_kernel->run(nft::compileRuleset(compiled), error);
}

bool Session::readKernelCounters(std::string& error)
{
    std::unordered_map<std::uint64_t, nft::RuleCounter> counters;
    if (!m_kernel->readCounters(counters, error)) {
        return false;
    }
    // The kernel keeps no time of the last match: a rule whose count grew since the last look
    // gets the time of this look.
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    for (auto& r : m_table.rules()) {
        const auto found = counters.find(r.id);
        const nft::RuleCounter c = found == counters.end() ? nft::RuleCounter {} : found->second;
        if (c.packets > r.packets) {
            r.lastMatch = now;
        } else if (c.packets == 0) {
            r.lastMatch = 0;
        }
        if (c.packets != r.packets || c.bytes != r.bytes) {
            m_changed = true;
        }
        r.packets = c.packets;
        r.bytes = c.bytes;
    }
    return true;
}

int Session::flush(const Options& o)
{
    if (!o.force && !o.quiet) {
        m_out << "Are you sure? [yn] " << std::flush;
        std::string answer;
        std::getline(m_in, answer);
        if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y')) {
            return 0;
        }
    }
    m_table.flush();
    m_changed = true;
    if (!o.quiet) {
        m_out << "Flushed all rules.\n";
    }
    return 0;
}

int Session::loadFile(const std::string& path, const Options& outer)
{
    if (m_line > 0) {
        return usage("bad command `" + path + "'");
    }
    const std::string hostPath = SystemRoot::path(path);
    std::string text;
    if (!readFile(hostPath, text)) {
        return fail(kExitNoInput, path + ": " + std::strerror(errno));
    }
    std::string_view rest = text;
    int lineNumber = 0;
    std::string buffer;
    std::vector<const char*> pointers;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        m_line = ++lineNumber;
        if (line.size() > kIPFWMaxLineLength) {
            return fail(kExitUsage, "line too long (max is " + std::to_string(kIPFWMaxLineLength) + " bytes)");
        }
        line = line.substr(0, line.find('#'));
        buffer.assign(line);
        pointers.clear();
        const std::size_t count = ipfw::splitWords(buffer, pointers, static_cast<std::size_t>(kIPFWMaxWords) + 1);
        if (count == 0) {
            continue;
        }
        if (count > static_cast<std::size_t>(kIPFWMaxWords)) {
            return fail(kExitUsage, "too many arguments");
        }
        const std::vector<std::string> words(pointers.begin(), pointers.end());
        Options o = outer;
        std::size_t i = 0;
        std::string bad;
        if (!takeOptions(words, i, o, bad)) {
            return usage("illegal option -- " + bad);
        }
        if (i >= words.size()) {
            continue;
        }
        if (commandOf(words[i]) == Command::None) {
            return usage("bad command `" + words[i] + "'");
        }
        if (const int status = execute(words, i, o); status != 0) {
            return status;
        }
    }
    m_line = 0;
    return 0;
}

int Session::inject(const std::vector<std::string>& words, std::size_t first)
{
    std::optional<std::vector<std::uint32_t>> me;
    std::string source;
    for (std::size_t i = first; i < words.size(); ++i) {
        if (words[i] == "--me" && i + 1 < words.size()) {
            me.emplace();
            std::string_view list = words[++i];
            while (!list.empty()) {
                const auto comma = list.find(',');
                const auto a = parseDottedAddress(list.substr(0, comma));
                if (!a) {
                    return usage("inject: bad address list " + words[i]);
                }
                me->push_back(*a);
                list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            }
        } else if (source.empty()) {
            source = words[i];
        } else {
            return usage("inject: unexpected " + words[i]);
        }
    }
    if (source.empty()) {
        return usage("inject: packet file required (\"-\" for standard input)");
    }
    std::ifstream file;
    std::istream* input = &m_in;
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            return fail(kExitNoInput, source + ": " + std::strerror(errno));
        }
        input = &file;
    }
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    m_table.expireDynamic(now);
    Engine engine(m_table);
    configureEngine(engine, me);
    m_changed = true;
    int status = 0;
    std::string line;
    int lineNumber = 0;
    PacketLine packet;
    std::string error;
    while (std::getline(*input, line)) {
        ++lineNumber;
        if (!parsePacketLine(line, engine, packet, error)) {
            m_err << "ipfw: inject: line " << lineNumber << ": " << error << '\n';
            status = kExitDataError;
            continue;
        }
        switch (packet.kind) {
        case PacketLine::Kind::Nothing:
            break;
        case PacketLine::Kind::Sleep:
            now += packet.seconds;
            break;
        case PacketLine::Kind::Time:
            now = packet.seconds;
            break;
        case PacketLine::Kind::Packet:
            m_out << verdictText(engine.evaluate(packet.packet, now)) << '\n';
            break;
        }
    }
    return status;
}

} // namespace

int runIPFW(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err)
{
    Session session(in, out, err);
    return session.run(args);
}

} // namespace kw::ipfwemu
