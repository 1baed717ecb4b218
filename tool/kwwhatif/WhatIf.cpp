#include "WhatIf.h"

#include "IPFWListing.h"
#include "IPFWSystem.h"
#include "PacketDescription.h"

#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/IPFWParser.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <unistd.h>

namespace kw::whatif {

namespace {

using ipfwemu::Packet;

std::vector<std::string> splitBlanks(std::string_view line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '\n') {
            ++i;
        }
        if (i > start) {
            words.emplace_back(line.substr(start, i - start));
        }
    }
    return words;
}

bool decimal(std::string_view text, std::uint64_t& out)
{
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

std::string dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + '.' + std::to_string((a >> 16) & 0xff) + '.' + std::to_string((a >> 8) & 0xff) +
           '.' + std::to_string(a & 0xff);
}

// Checks one "<address>[:port]" end and writes it with "me" replaced; false with the reason.
bool endpointWord(const std::string word, const char* side, std::uint32_t me, std::string& out, std::string& error)
{
    const auto colon = word.find(':');
    const std::string address = word.substr(0, colon);
    if (address == "me") {
        out = dotted(me);
    } else if (ipfwemu::parseDottedAddress(address)) {
        out = address;
    } else {
        error = std::string("bad ") + side + " address \"" + address + "\"";
        return false;
    }
    if (colon != std::string::npos) {
        const std::string port = word.substr(colon + 1);
        std::uint64_t n = 0;
        if (!decimal(port, n) || n > 65535) {
            error = std::string("bad ") + side + " port \"" + port + "\"";
            return false;
        }
        out += ':' + port;
    }
    return true;
}

} // namespace

WhatIf::WhatIf()
    : m_now(static_cast<std::int64_t>(std::time(nullptr)))
{}

WhatIf::~WhatIf() = default;

bool WhatIf::loadRuleText(std::string_view text, std::string& error)
{
    m_engine.reset();
    // The rules are added in number order at the end, which gives the table the loader's order
    // (ties in file order) without inserting each into the middle of a long table.
    std::vector<IPFWRule> rules;
    const auto addCollected = [&] {
        std::stable_sort(rules.begin(), rules.end(),
                         [](const IPFWRule& x, const IPFWRule& y) { return x.number < y.number; });
        m_table.rules().reserve(m_table.rules().size() + rules.size());
        for (const IPFWRule& rule : rules) {
            m_table.add(rule, 0);
        }
        rules.clear();
    };
    const auto refuse = [&](int lineNumber, const std::string& message) {
        error = "line " + std::to_string(lineNumber) + ": " + message;
        addCollected(); // as the loader, which keeps the rules before the line that failed
        return false;
    };
    int lineNumber = 0;
    std::string buffer;
    std::vector<const char*> words;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++lineNumber;
        buffer.assign(line.substr(0, line.find('#')));
        words.clear();
        ipfw::splitWords(buffer, words, static_cast<std::size_t>(kIPFWMaxWords) + 1);
        std::size_t i = 0;
        while (i < words.size() && words[i][0] == '-') {
            ++i; // "-q", "-f": options of the command line change nothing here
        }
        if (i >= words.size()) {
            continue;
        }
        const std::string_view command = words[i];
        if (ipfw::matchesKeyword(command, "flush")) {
            rules.clear();
            m_table.flush();
            continue;
        }
        if (!ipfw::matchesKeyword(command, "add")) {
            return refuse(lineNumber, "only \"add\" lines are loaded (\"" + std::string(command) + "\")");
        }
        IPFWRule rule;
        std::string message;
        const std::span<const char* const> ruleWords(words.data() + i, words.size() - i);
        if (!parseIPFWRule(
                ruleWords, m_names, rule, [&](const std::string& m) { message = message.empty() ? m : message; },
                IPFWGrammarMode::Release)) {
            return refuse(lineNumber, message.empty() ? "bad rule" : message);
        }
        if (rule.number >= ipfwemu::kDefaultRuleNumber) {
            return refuse(lineNumber, "illegal rule number " + std::to_string(rule.number));
        }
        if (rule.number == 0) {
            // The kernel numbers it from the last rule in the table.
            addCollected();
            m_table.add(rule, 0);
            continue;
        }
        rules.push_back(std::move(rule));
    }
    addCollected();
    return true;
}

bool WhatIf::loadLoadedRules(std::string& error)
{
    m_engine.reset();
    if (!ipfwemu::establishRoot(error)) {
        return false;
    }
    ipfwemu::StateStore store;
    if (!store.open(ipfwemu::StateStore::Lock::Shared, m_table, m_names, error)) {
        return false;
    }
    store.close();
    m_table.expireDynamic(m_now);
    return true;
}

void WhatIf::setMyAddresses(std::vector<std::uint32_t> addresses)
{
    m_me = std::move(addresses);
    m_engine.reset();
}

void WhatIf::ensureEngine()
{
    if (m_engine) {
        return;
    }
    m_engine.emplace(m_table);
    ipfwemu::configureEngine(*m_engine, m_me);
    // A question about a packet writes no log lines.
    m_engine->setLogSink(nullptr, false);
}

bool WhatIf::parsePacket(std::string_view line, Packet& packet, std::string& error)
{
    ensureEngine();
    std::uint32_t me = 0x7f000001u;
    if (m_me && !m_me->empty()) {
        me = m_me->front();
    } else if (const auto interfaces = ipfwemu::interfaceAddresses(); !interfaces.empty()) {
        me = interfaces.front().second;
    }
    std::vector<std::string> w = splitBlanks(line.substr(0, line.find('#')));
    if (w.empty()) {
        error = "empty packet";
        return false;
    }
    if (w[0] != "in" && w[0] != "out") {
        error = "bad direction \"" + w[0] + "\" (a packet starts with \"in\" or \"out\")";
        return false;
    }
    std::size_t i = 1;
    for (; i < w.size() && (w[i] == "via" || w[i] == "recv" || w[i] == "xmit"); i += 2) {
        if (i + 1 >= w.size()) {
            error = "missing interface after \"" + w[i] + "\"";
            return false;
        }
        if (!m_knownInterfaces.empty() && m_knownInterfaces.count(w[i + 1]) == 0) {
            error = "unknown interface \"" + w[i + 1] + "\"";
            return false;
        }
    }
    if (i >= w.size()) {
        error = "missing protocol";
        return false;
    }
    ++i; // the protocol; the injector's reader names a bad one
    if (i + 3 > w.size() || w[i + 1] != "->") {
        error = "missing addresses (\"<address>[:port] -> <address>[:port]\")";
        return false;
    }
    if (!endpointWord(w[i], "source", me, w[i], error) || !endpointWord(w[i + 2], "destination", me, w[i + 2], error)) {
        return false;
    }
    for (i += 3; i < w.size(); ++i) {
        if (w[i] == "setup") {
            w[i] = "syn";
        } else if (w[i] == "established") {
            w[i] = "ack";
        } else if ((w[i] == "len" || w[i] == "uid" || w[i] == "type" || w[i] == "code") && i + 1 < w.size()) {
            std::uint64_t n = 0;
            const std::uint64_t most = w[i] == "type" || w[i] == "code" ? 255 : 0xffffffffu;
            if (!decimal(w[i + 1], n) || n > most) {
                error = "bad " + w[i] + " \"" + w[i + 1] + "\"";
                return false;
            }
            ++i;
        }
    }
    std::string normal;
    for (const auto& word : w) {
        normal += (normal.empty() ? "" : " ") + word;
    }
    ipfwemu::PacketLine parsed;
    if (!ipfwemu::parsePacketLine(normal, *m_engine, parsed, error)) {
        return false;
    }
    if (parsed.kind != ipfwemu::PacketLine::Kind::Packet) {
        error = "not a packet";
        return false;
    }
    packet = parsed.packet;
    return true;
}

Answer WhatIf::evaluate(const Packet& packet, bool details)
{
    ensureEngine();
    Answer answer;
    std::vector<std::uint64_t> before;
    if (details) {
        before.reserve(m_table.rules().size());
        for (const auto& r : m_table.rules()) {
            before.push_back(r.packets);
        }
    }
    const auto flow = ipfwemu::FlowKey::of(packet.protocol, packet.src, packet.srcPort, packet.dst, packet.dstPort);
    const bool hadFlow = m_table.dynamic().count(flow) != 0;
    answer.verdict = m_engine->evaluate(packet, m_now);
    answer.ruleNumber = answer.verdict.ruleNumber;
    answer.dynamicCreated = !hadFlow && m_table.dynamic().count(flow) != 0;
    if (!details) {
        return answer;
    }
    const auto& rules = m_table.rules();
    for (std::size_t k = 0; k < rules.size(); ++k) {
        const auto& r = rules[k];
        if (&r.rule == answer.verdict.rule) {
            answer.ruleText = ruleTextFor(r, ipfwemu::configuredListingRelease());
        } else if (r.packets > before[k]) {
            answer.passed.emplace_back(r.rule.number, ruleTextFor(r, ipfwemu::configuredListingRelease()));
        }
    }
    return answer;
}

std::set<std::string> settingInterfaceNames(const Value& setting)
{
    std::set<std::string> names;
    const Value* list = setting.get(keys::kInterfaceList);
    if (list == nullptr || list->array() == nullptr) {
        return names;
    }
    for (const auto& entry : *list->array()) {
        const Value* name = entry.get(keys::kInterfaceName);
        if (name != nullptr && name->string() != nullptr && !name->string()->empty()) {
            names.insert(*name->string());
        }
    }
    return names;
}

namespace {

constexpr const char* kUsage =
    "usage: kw-whatif [--setting N | --key KEY | --rules FILE | --loaded] [--me a.b.c.d,...] PACKET...\n"
    "  PACKET: \"<in|out> via IF <proto> <addr>[:port] -> <addr>[:port] [flags] [options]\"\n"
    "  e.g. \"in via en0 tcp 203.0.113.9:40000 -> me:22 setup\"\n";

int usage(std::ostream& err, const std::string& message)
{
    err << "kw-whatif: " << message << '\n' << kUsage;
    return kExitUsage;
}

} // namespace

int runWhatIf(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
              bool leaveToProcessEnd)
{
    enum class Source { Current, Index, Key, Loaded, RuleFile } source = Source::Current;
    std::string which;
    std::optional<std::vector<std::uint32_t>> me;
    std::vector<std::string> packets;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if ((a == "--setting" || a == "--key" || a == "--rules") && hasValue && source == Source::Current) {
            source = a == "--setting" ? Source::Index : a == "--key" ? Source::Key : Source::RuleFile;
            which = args[++i];
        } else if (a == "--loaded" && source == Source::Current) {
            source = Source::Loaded;
        } else if (a == "--me" && hasValue) {
            me.emplace();
            std::string_view list = args[++i];
            while (!list.empty()) {
                const auto comma = list.find(',');
                const auto address = ipfwemu::parseDottedAddress(list.substr(0, comma));
                if (!address) {
                    return usage(err, "bad address list \"" + args[i] + "\"");
                }
                me->push_back(*address);
                list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            }
        } else if (a == "--") {
            packets.insert(packets.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage(err, "unknown option \"" + a + "\"");
        } else {
            packets.push_back(a);
        }
    }
    if (packets.empty()) {
        return usage(err, "no packet given");
    }
    if (const auto problem = releaseEnvironmentProblem()) {
        return usage(err, *problem);
    }
    setReleaseFlagsFromEnvironment();

    // A settings document of tens of thousands of filters, and its rule table, take longer to
    // free value by value than to read; a command that ends right after leaves them to the end
    // of the process, as wallctl does (held by a static, so leak checkers see them in use).
    static WhatIf* leftToProcessEnd = nullptr;
    std::unique_ptr<WhatIf> owned;
    WhatIf& whatIf = leaveToProcessEnd ? *(leftToProcessEnd = new WhatIf) : *(owned = std::make_unique<WhatIf>());
    if (me) {
        whatIf.setMyAddresses(*me);
    }
    std::set<std::string> known;
    std::string error;
    if (source == Source::RuleFile) {
        std::string text;
        if (which == "-") {
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else {
            std::ifstream file(which, std::ios::binary);
            if (!file) {
                err << "kw-whatif: " << which << ": cannot be read\n";
                return kExitNoRules;
            }
            text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
        if (!whatIf.loadRuleText(text, error)) {
            err << "kw-whatif: warning: " << error
                << "; activation stops loading there, so the answers use the rules before it\n";
        }
    } else if (source == Source::Loaded) {
        if (::geteuid() != 0) {
            err << "kw-whatif: the loaded rules can only be read as root\n";
            return kExitNoRules;
        }
        if (!whatIf.loadLoadedRules(error)) {
            err << "kw-whatif: " << error << '\n';
            return kExitNoRules;
        }
    } else {
        try {
            static KeepwallPrefs* prefsLeftToProcessEnd = nullptr;
            std::unique_ptr<KeepwallPrefs> ownedPrefs;
            KeepwallPrefs& prefs = leaveToProcessEnd ? *(prefsLeftToProcessEnd = new KeepwallPrefs)
                                                     : *(ownedPrefs = std::make_unique<KeepwallPrefs>());
            std::optional<std::string> key;
            if (source == Source::Index) {
                std::uint64_t index = 0;
                if (!decimal(which, index)) {
                    return usage(err, "bad setting index \"" + which + "\"");
                }
                key = prefs.settingKeyAtIndex(static_cast<std::int64_t>(index));
            } else if (source == Source::Key) {
                key = which;
            } else {
                key = prefs.currentSettingsKey();
            }
            const Value* setting = key ? prefs.settingForKey(*key) : nullptr;
            if (setting == nullptr) {
                err << "kw-whatif: no such setting" << (source == Source::Current ? " (no current setting)" : "")
                    << '\n';
                return kExitNoRules;
            }
            const CheckedRuleText checked = prefs.checkedIpfwTextForSettingKey(*key);
            if (checked.unsafe) {
                err << "kw-whatif: " << KeepwallPrefs::refusalText(*key, *checked.unsafe) << '\n';
                return kExitNoRules;
            }
            if (!whatIf.loadRuleText(checked.text, error)) {
                // Activation stops loading at the same line: the kernel then holds the rules
                // before it, and those are what the answers use.
                err << "kw-whatif: warning: setting \"" << *key << "\": " << error
                    << "; activation stops loading there, so the answers use the rules before it\n";
            }
            known = settingInterfaceNames(*setting);
        } catch (const std::exception& e) {
            err << "kw-whatif: " << e.what() << '\n';
            return kExitNoRules;
        }
    }
    if (!known.empty()) {
        known.insert("lo0");
        for (const auto& [name, address] : ipfwemu::interfaceAddresses()) {
            known.insert(name);
        }
        whatIf.setKnownInterfaces(std::move(known));
    }

    int status = kExitPass;
    for (std::size_t n = 0; n < packets.size(); ++n) {
        ipfwemu::Packet packet;
        if (!whatIf.parsePacket(packets[n], packet, error)) {
            err << "kw-whatif: packet " << n + 1 << ": " << error << '\n';
            return kExitUsage;
        }
        const Answer answer = whatIf.evaluate(packet);
        if (n > 0) {
            out << '\n';
        }
        out << "packet: " << packets[n] << '\n';
        for (const auto& [number, text] : answer.passed) {
            out << "passed: " << number << ' ' << text << '\n';
        }
        out << "decided: " << answer.ruleNumber << ' ' << answer.ruleText << '\n';
        out << "verdict: " << ipfwemu::verdictText(answer.verdict) << '\n';
        out << "dynamic: " << (answer.verdict.dynamic ? "matched" : answer.dynamicCreated ? "created" : "none") << '\n';
        out << "result: " << (answer.passes() ? "pass" : "deny") << '\n';
        if (!answer.passes()) {
            status = kExitDeny;
        }
    }
    return status;
}

} // namespace kw::whatif
