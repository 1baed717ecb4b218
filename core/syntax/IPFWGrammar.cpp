#include "syntax/IPFWGrammar.h"

#include "base/NotificationCenter.h"
#include "base/PlistValue.h"
#include "base/Release.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <locale.h>
#include <netinet/in.h>
#include <strings.h>
#include <utility>

namespace kw {

int lineno = 0;

std::recursive_mutex& ipfwCheckLock()
{
    static std::recursive_mutex lock;
    return lock;
}

namespace {

// The failure mark of the rule that add() examines on this thread, for report_error.
thread_local bool* t_ruleFailed = nullptr;

using ipfw::matchesKeyword;

// matchesKeyword for a word as the word list holds it, without measuring the word first: the
// grammar tries many keywords on every word.
bool matchesKeyword(const char* word, std::string_view keyword)
{
    std::size_t i = 0;
    for (; i < keyword.size(); ++i) {
        if (word[i] == '\0') {
            return i > 0;
        }
        if (word[i] != keyword[i]) {
            return false;
        }
    }
    return i > 0 && word[i] == '\0';
}

// Reads numbers as the C locale writes them, whatever locale the application has set.
locale_t cLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

std::uint32_t clampToUnsigned(std::int64_t v)
{
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, UINT32_MAX));
}

// strtoul with base 0 (0x hexadecimal, leading 0 octal) that must use the whole text.
bool wholeUnsigned(const char* text, unsigned long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0') {
        return false;
    }
    if (errno == ERANGE) {
        value = ULONG_MAX;
    }
    return true;
}

struct ActionWord {
    const char* keyword;
    IPFWAction action;
    int rejectCode; // for reject and reset
};

// The order decides which action an abbreviation selects.
constexpr ActionWord kActions[] = {
    { "accept", IPFWAction::Accept, 0 },   { "pass", IPFWAction::Accept, 0 },
    { "allow", IPFWAction::Accept, 0 },    { "permit", IPFWAction::Accept, 0 },
    { "count", IPFWAction::Count, 0 },     { "divert", IPFWAction::Divert, 0 },
    { "tee", IPFWAction::Tee, 0 },         { "fwd", IPFWAction::Forward, 0 },
    { "forward", IPFWAction::Forward, 0 }, { "skipto", IPFWAction::SkipTo, 0 },
    { "deny", IPFWAction::Deny, 0 },       { "drop", IPFWAction::Deny, 0 },
    { "reject", IPFWAction::Reject, 1 },   { "reset", IPFWAction::Reject, kIPFWRejectReset },
    { "unreach", IPFWAction::Reject, -1 }, { "check-state", IPFWAction::CheckState, 0 },
};

enum class Option {
    Uid,
    In,
    KeepState,
    Bridged,
    Out,
    Xmit,
    Recv,
    Via,
    Fragment,
    IpOptions,
    Established,
    Setup,
    TcpFlags,
    TcpOptions,
    IcmpTypes
};

struct OptionWord {
    const char* keyword;
    Option option;
    int protocol; // the only protocol the option is known for, or -1
};

constexpr OptionWord kOptions[] = {
    { "uid", Option::Uid, -1 },
    { "in", Option::In, -1 },
    { "keep-state", Option::KeepState, -1 },
    { "bridged", Option::Bridged, -1 },
    { "out", Option::Out, -1 },
    { "xmit", Option::Xmit, -1 },
    { "recv", Option::Recv, -1 },
    { "via", Option::Via, -1 },
    { "fragment", Option::Fragment, -1 },
    { "ipoptions", Option::IpOptions, -1 },
    { "established", Option::Established, IPPROTO_TCP },
    { "setup", Option::Setup, IPPROTO_TCP },
    { "tcpflags", Option::TcpFlags, IPPROTO_TCP },
    { "tcpflgs", Option::TcpFlags, IPPROTO_TCP },
    { "tcpoptions", Option::TcpOptions, IPPROTO_TCP },
    { "tcpopts", Option::TcpOptions, IPPROTO_TCP },
    { "icmptypes", Option::IcmpTypes, IPPROTO_ICMP },
};

using ipfw::NamedBit;

// Interface names are kept to this many characters.
constexpr std::size_t kInterfaceNameLength = 9;
// lookup_port reads at most this many characters of a port word.
constexpr std::size_t kPortTextLength = 31;

// Examines one rule. Each step returns false when the examination of the rule ends there.
class RuleParser {
public:
    RuleParser(std::span<const char* const> words, NameServices& names, IPFWRule& rule,
               const std::function<void(const std::string&)>& onError, IPFWGrammarMode mode)
        : m_words(words)
        , m_names(names)
        , m_rule(rule)
        , m_onError(onError)
        , m_mode(mode)
        , m_newer(mode == IPFWGrammarMode::AnyRelease || (mode == IPFWGrammarMode::Release && KWRunningOnTiger))
    {}

    bool run()
    {
        const bool completed = parse() && releaseAllows();
        return completed && !m_failed;
    }

private:
    std::size_t remaining() const { return m_words.size() - m_next; }
    const char* peek() const { return m_words[m_next]; }
    const char* take() { return m_words[m_next++]; }
    bool nextMatches(std::string_view keyword) const { return remaining() > 0 && matchesKeyword(peek(), keyword); }

    void error(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        char message[kIPFWMessageBufferSize];
        va_list args;
        va_start(args, format);
        std::vsnprintf(message, sizeof message, format, args);
        va_end(args);
        m_failed = true;
        if (m_onError) {
            m_onError(std::string(message));
        }
    }

    bool parse();
    bool releaseAllows()
    {
        if (m_mode != IPFWGrammarMode::Release) {
            return true;
        }
        if (const auto refusal = releaseRuleRefusal(m_rule)) {
            error("%s", refusal->c_str());
            return false;
        }
        return true;
    }
    bool parseAction();
    bool parseLogging();
    bool parseProtocol();
    bool parseSet();
    bool parseEndpoint(const char* keyword, IPFWAddress& address, int& portCount, IPFWPortKind& kind);
    std::string_view takePortWord();
    bool portsFitProtocol();
    bool parseOptions();
    bool parseNewerOption(const char* word, bool& handled);
    bool parsePortOption(bool source);
    bool parseLimit();
    bool endTests();

    bool lookup_host(const std::string& text, std::uint32_t& address);
    bool fill_ip(std::string_view word, std::uint32_t& address, std::uint32_t& mask);
    bool fill_reject_code(int& code, const char* word);
    bool add_port(int& sideCount, int port);
    int lookup_port(std::string_view text, bool quiet, bool dashEndsName);
    int fill_port(int& sideCount, std::string_view word);
    void fill_flags(std::uint8_t& set, std::uint8_t& clear, const char* word, std::span<const NamedBit> table,
                    const char* what);
    void fill_tcpflag(const char* word)
    {
        fill_flags(m_rule.tcpFlagsSet, m_rule.tcpFlagsClear, word, ipfw::kTcpFlagNames, "flag");
    }
    void fill_tcpopts(const char* word)
    {
        fill_flags(m_rule.tcpOptionsSet, m_rule.tcpOptionsClear, word, ipfw::kTcpOptionNames, "option");
    }
    void fill_ipopt(const char* word);
    void fill_icmptypes(const char* word);
    enum class IfaceResult { Ok, BadAddress, Missing };
    IfaceResult fill_iface(const char* keyword, IPFWInterface& iface);

    std::span<const char* const> m_words;
    std::size_t m_next = 0;
    NameServices& m_names;
    IPFWRule& m_rule;
    const std::function<void(const std::string&)>& m_onError;
    IPFWGrammarMode m_mode;
    bool m_newer; // the 10.4 command's additions
    std::string m_joinedPortWord;
    bool m_failed = false;
};

bool RuleParser::parse()
{
    if (remaining() > 0) {
        take(); // the command word
    }
    if (remaining() > 0 && peek()[0] >= '0' && peek()[0] <= '9') {
        const char* word = take();
        m_rule.number = clampToUnsigned(leadingInteger(word));
        // 65535 is the kernel's default rule, always there: no rule can be added with it.
        if (m_rule.number >= kIPFWDefaultRuleNumber) {
            error("illegal rule number %s (rules are numbered 1 to 65534)", word);
            return false;
        }
    }
    if (m_newer && !parseSet()) {
        return false;
    }
    if (remaining() >= 2 && matchesKeyword(peek(), "prob")) {
        take();
        const char* word = take();
        const double p = strtod_l(word, nullptr, cLocale());
        if (!(p > 0) || p > 1) {
            error("illegal match prob. %s", word);
            return false;
        }
        m_rule.probability = p;
    }
    if (!parseAction()) {
        return false;
    }
    if (m_rule.action == IPFWAction::CheckState) {
        m_rule.in = m_rule.out = true;
        return true;
    }
    return parseLogging() && parseProtocol() &&
           parseEndpoint("from", m_rule.source, m_rule.sourcePortCount, m_rule.sourcePortKind) &&
           parseEndpoint("to", m_rule.destination, m_rule.destinationPortCount, m_rule.destinationPortKind) &&
           portsFitProtocol() && parseOptions() && endTests();
}

// "set N" between the rule number and the action. Only the whole word: "s" and "se" keep
// the meanings the older grammar gives them.
bool RuleParser::parseSet()
{
    if (remaining() < 2 || std::strcmp(peek(), "set") != 0) {
        return true;
    }
    take();
    const char* word = take();
    char* end = nullptr;
    errno = 0;
    const unsigned long set = std::strtoul(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || word[0] == '-' || set > IPFWRule::kMaxSet) {
        error("illegal set %s", word);
        return false;
    }
    m_rule.set = static_cast<int>(set);
    return true;
}

bool RuleParser::parseAction()
{
    if (remaining() == 0) {
        error("missing action");
        return false;
    }
    const char* word = take();
    const ActionWord* found = nullptr;
    for (const auto& a : kActions) {
        if (matchesKeyword(word, a.keyword)) {
            found = &a;
            break;
        }
    }
    if (found == nullptr) {
        error("invalid action ``%s''", word);
        return false;
    }
    m_rule.action = found->action;
    switch (found->action) {
    case IPFWAction::Divert:
    case IPFWAction::Tee: {
        const char* which = found->action == IPFWAction::Divert ? "divert" : "tee divert";
        if (remaining() == 0) {
            error("missing %s port", which);
            return false;
        }
        const char* portWord = take();
        auto port = static_cast<std::uint16_t>(std::strtoul(portWord, nullptr, 0));
        if (port == 0) {
            const auto service = m_names.servicePort(portWord, "divert");
            if (!service) {
                error("illegal %s port", which);
                return false;
            }
            port = *service;
        }
        m_rule.divertPort = port;
        return true;
    }
    case IPFWAction::Forward: {
        if (remaining() == 0) {
            error("missing forwarding IP address");
            return false;
        }
        std::string_view addressText = take();
        auto cut = addressText.find(':');
        if (cut == std::string_view::npos) {
            cut = addressText.find(',');
        }
        if (cut != std::string_view::npos) {
            const std::string portText(addressText.substr(cut + 1));
            addressText = addressText.substr(0, cut);
            const int port = lookup_port(portText, true, false);
            if (port < 0) {
                error("illegal forwarding port ``%s''", portText.c_str());
                return false;
            }
            m_rule.forwardPort = static_cast<std::uint16_t>(port);
        }
        std::uint32_t mask = 0;
        if (!fill_ip(addressText, m_rule.forwardAddress, mask) || m_rule.forwardAddress == 0) {
            error("illegal forwarding IP address");
            return false;
        }
        return true;
    }
    case IPFWAction::SkipTo:
        if (remaining() == 0) {
            error("missing skipto rule number");
            return false;
        }
        m_rule.skipToRule = clampToUnsigned(leadingInteger(take()));
        return true;
    case IPFWAction::Reject:
        if (found->rejectCode >= 0) {
            m_rule.rejectCode = found->rejectCode;
            return true;
        }
        if (remaining() == 0) {
            error("missing ICMP unreachable code");
            return false;
        }
        fill_reject_code(m_rule.rejectCode, take());
        return true;
    default:
        return true;
    }
}

bool RuleParser::parseLogging()
{
    if (nextMatches("log")) {
        take();
        m_rule.log = true;
    }
    if (nextMatches("logamount")) {
        if (!m_rule.log) {
            error("``logamount'' not valid without ``log''");
            return false;
        }
        take();
        if (remaining() == 0) {
            error("``logamount'' requires argument");
            return false;
        }
        const std::int64_t amount = leadingInteger(take());
        if (amount < 0) {
            error("``logamount'' argument must be positive");
            return false;
        }
        m_rule.logAmount = clampToUnsigned(amount);
    }
    return true;
}

bool RuleParser::parseProtocol()
{
    if (remaining() == 0) {
        error("missing protocol");
        return false;
    }
    const char* word = take();
    const std::int64_t number = leadingInteger(word);
    if (number % 256 != 0) {
        m_rule.protocol = static_cast<int>(static_cast<std::uint64_t>(number) & 0xff);
    } else if (matchesKeyword(word, "all")) {
        m_rule.protocol = 0;
    } else if (const auto p = m_names.protocolNumber(word); p && *p >= 0 && *p <= 255) {
        m_rule.protocol = *p;
    } else {
        error("invalid protocol ``%s''", word);
        return false;
    }
    if (m_rule.action == IPFWAction::Reject && m_rule.rejectCode == kIPFWRejectReset &&
        m_rule.protocol != IPPROTO_TCP) {
        error("``reset'' is only valid for tcp packets");
        return false;
    }
    return true;
}

bool RuleParser::parseEndpoint(const char* keyword, IPFWAddress& address, int& portCount, IPFWPortKind& kind)
{
    if (!nextMatches(keyword)) {
        error("missing ``%s''", keyword);
        return false;
    }
    take();
    if (nextMatches("not")) {
        take();
        address.negated = true;
    }
    if (remaining() == 0) {
        error("missing arguments");
        return false;
    }
    if (nextMatches("me")) {
        take();
        address.me = true;
    } else {
        if (!fill_ip(peek(), address.address, address.mask)) {
            return false;
        }
        take();
    }
    if (remaining() > 0) {
        const char* word = peek();
        if ((word[0] >= '0' && word[0] <= '9') || lookup_port(word, true, true) >= 0) {
            const int k = fill_port(portCount, takePortWord());
            kind = k == 1 ? IPFWPortKind::Range : k == 2 ? IPFWPortKind::Mask : IPFWPortKind::List;
        }
    }
    return true;
}

// A port word. The newer command joined a word that ends in a comma with the next one, so a
// list written with blanks after its commas ("25, 110, 143") is one list there.
std::string_view RuleParser::takePortWord()
{
    std::string_view word = take();
    if (!m_newer || word.empty() || word.back() != ',' || remaining() == 0) {
        return word;
    }
    m_joinedPortWord.assign(word);
    while (m_joinedPortWord.back() == ',' && remaining() > 0) {
        m_joinedPortWord += take();
    }
    return m_joinedPortWord;
}

bool RuleParser::portsFitProtocol()
{
    // The newer command takes ports on protocol ip too; they match TCP and UDP packets only.
    const bool fits =
        m_rule.protocol == IPPROTO_TCP || m_rule.protocol == IPPROTO_UDP || (m_newer && m_rule.protocol == 0);
    if (!fits && (m_rule.sourcePortCount > 0 || m_rule.destinationPortCount > 0)) {
        error("only TCP and UDP protocols are valid with port specifications");
        return false;
    }
    return true;
}

bool RuleParser::parseOptions()
{
    bool sawVia = false;
    bool sawXmitOrRecv = false;
    while (remaining() > 0) {
        const char* word = take();
        if (m_newer) {
            bool handled = false;
            if (!parseNewerOption(word, handled)) {
                return false;
            }
            if (handled) {
                continue;
            }
        }
        const OptionWord* found = nullptr;
        for (const auto& o : kOptions) {
            if ((o.protocol < 0 || o.protocol == m_rule.protocol) && matchesKeyword(word, o.keyword)) {
                found = &o;
                break;
            }
        }
        if (found == nullptr) {
            error("unknown argument ``%s''", word);
            return false;
        }
        switch (found->option) {
        case Option::Uid: {
            if (remaining() == 0) {
                error("``uid'' requires argument");
                return false;
            }
            const char* userWord = take();
            unsigned long id = 0;
            std::optional<NameServices::User> user;
            if (wholeUnsigned(userWord, id)) {
                if (id <= UINT32_MAX) {
                    user = m_names.userById(static_cast<std::uint32_t>(id));
                }
            } else {
                user = m_names.userByName(userWord);
            }
            if (!user) {
                error("uid \"%s\" is nonexistant", userWord);
                return false;
            }
            m_rule.hasUid = true;
            m_rule.uid = user->uid;
            m_rule.userName = user->name;
            break;
        }
        case Option::In:
            m_rule.in = true;
            break;
        case Option::Out:
            m_rule.out = true;
            break;
        case Option::Bridged:
            m_rule.bridged = true;
            break;
        case Option::Fragment:
            m_rule.fragment = true;
            break;
        case Option::KeepState:
            if (m_rule.hasLimit()) {
                error("only one of keep-state and limit is allowed");
                return false;
            }
            m_rule.keepState = true;
            if (remaining() > 0) {
                if (const std::int64_t type = leadingInteger(peek()); type != 0) {
                    take();
                    m_rule.stateType = static_cast<int>(std::clamp<std::int64_t>(type, INT_MIN, INT_MAX));
                }
            }
            break;
        case Option::Xmit:
        case Option::Recv:
        case Option::Via: {
            const bool isVia = found->option == Option::Via;
            if (isVia ? sawXmitOrRecv : sawVia) {
                error("``via'' is incompatible with ``xmit'' and ``recv''");
                return false;
            }
            (isVia ? sawVia : sawXmitOrRecv) = true;
            IPFWInterface& iface = isVia ? m_rule.via : found->option == Option::Xmit ? m_rule.xmit : m_rule.recv;
            if (fill_iface(found->keyword, iface) == IfaceResult::Missing) {
                return false;
            }
            break;
        }
        case Option::IpOptions:
            if (remaining() == 0) {
                error("missing argument for ``ipoptions''");
                return false;
            }
            fill_ipopt(take());
            break;
        case Option::Established:
            m_rule.established = true;
            break;
        case Option::Setup:
            m_rule.tcpFlagsSet |= ipfw::kTcpSyn;
            m_rule.tcpFlagsClear |= ipfw::kTcpAck;
            break;
        case Option::TcpFlags:
            if (remaining() == 0) {
                error("missing argument for ``tcpflags''");
                return false;
            }
            fill_tcpflag(take());
            break;
        case Option::TcpOptions:
            if (remaining() == 0) {
                error("missing argument for ``tcpoptions''");
                return false;
            }
            fill_tcpopts(take());
            break;
        case Option::IcmpTypes:
            if (remaining() == 0) {
                error("missing argument for ``icmptypes''");
                return false;
            }
            fill_icmptypes(take());
            break;
        }
    }
    return true;
}

// The options only the newer command knows; handled is false for any other word.
bool RuleParser::parseNewerOption(const char* word, bool& handled)
{
    handled = true;
    if (std::strcmp(word, "dst-port") == 0) {
        return parsePortOption(false);
    }
    if (std::strcmp(word, "src-port") == 0) {
        return parsePortOption(true);
    }
    if (std::strcmp(word, "limit") == 0) {
        return parseLimit();
    }
    handled = false;
    return true;
}

// "dst-port 80" and "src-port 1024-65535": the side's ports, as if written after its address.
bool RuleParser::parsePortOption(bool source)
{
    const char* side = source ? "source" : "destination";
    if (remaining() == 0) {
        error("missing %s port", side);
        return false;
    }
    int& count = source ? m_rule.sourcePortCount : m_rule.destinationPortCount;
    if (count > 0) {
        error("%s ports given twice", side);
        return false;
    }
    // Source ports come first in the shared list: the destination ports move behind them.
    std::vector<std::uint16_t> destination;
    if (source) {
        const auto ports = m_rule.destinationPorts();
        destination.assign(ports.begin(), ports.end());
        m_rule.destinationPortCount = 0;
    }
    const int k = fill_port(count, takePortWord());
    (source ? m_rule.sourcePortKind : m_rule.destinationPortKind) = k == 1   ? IPFWPortKind::Range
                                                                    : k == 2 ? IPFWPortKind::Mask
                                                                             : IPFWPortKind::List;
    for (const auto port : destination) {
        if (!add_port(m_rule.destinationPortCount, port)) {
            break;
        }
    }
    return true;
}

// "limit src-addr 2": one or more mask words, then the most flows that may share them.
bool RuleParser::parseLimit()
{
    if (m_rule.keepState || m_rule.hasLimit()) {
        error("only one of keep-state and limit is allowed");
        return false;
    }
    static constexpr std::pair<const char*, std::uint8_t> kMasks[] = {
        { "src-addr", ipfw::kLimitSrcAddr },
        { "src-port", ipfw::kLimitSrcPort },
        { "dst-addr", ipfw::kLimitDstAddr },
        { "dst-port", ipfw::kLimitDstPort },
    };
    std::uint8_t mask = 0;
    while (remaining() > 0) {
        const auto found = std::find_if(std::begin(kMasks), std::end(kMasks),
                                        [this](const auto& m) { return std::strcmp(peek(), m.first) == 0; });
        if (found == std::end(kMasks)) {
            break;
        }
        mask |= found->second;
        take();
    }
    if (mask == 0) {
        error("missing limit mask");
        return false;
    }
    if (remaining() == 0) {
        error("limit needs mask and # of connections");
        return false;
    }
    const char* word = take();
    char* end = nullptr;
    errno = 0;
    const unsigned long count = std::strtoul(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || word[0] == '-' || count == 0 || count > 0xffff) {
        error("illegal limit ``%s'' (1 to 65535 connections)", word);
        return false;
    }
    m_rule.limitMask = mask;
    m_rule.limitCount = static_cast<std::uint32_t>(count);
    return true;
}

bool RuleParser::endTests()
{
    if (m_newer && !portsFitProtocol()) {
        return false; // ports given as options
    }
    if (!m_rule.in && !m_rule.out) {
        m_rule.in = m_rule.out = true;
    }
    if (!m_rule.via.isSet() && m_rule.in && m_rule.xmit.isSet()) {
        error("can't check xmit interface of incoming packets");
        return false;
    }
    if (m_rule.fragment) {
        if (m_rule.tcpFlagsSet != 0 || m_rule.tcpFlagsClear != 0) {
            error("can't mix 'frag' and tcpflags");
        }
        if (m_rule.sourcePortCount > 0 || m_rule.destinationPortCount > 0) {
            error("can't mix 'frag' and port specifications");
            return false;
        }
    }
    return true;
}

bool RuleParser::lookup_host(const std::string& text, std::uint32_t& address)
{
    const auto found = m_names.hostAddress(text);
    if (!found) {
        return false;
    }
    address = *found;
    return true;
}

bool RuleParser::fill_ip(std::string_view word, std::uint32_t& address, std::uint32_t& mask)
{
    if (matchesKeyword(word, "any")) {
        address = mask = 0;
        return true;
    }
    char separator = '\0';
    auto cut = word.find('/');
    if (cut == std::string_view::npos) {
        cut = word.find(':');
    }
    std::string after;
    if (cut != std::string_view::npos) {
        separator = word[cut];
        after = word.substr(cut + 1);
        word = word.substr(0, cut);
    }
    const std::string host(word);
    if (!lookup_host(host, address)) {
        error("hostname ``%s'' unknown", host.c_str());
        return false;
    }
    mask = 0xffffffffu;
    if (separator == '/') {
        const std::int64_t width = leadingInteger(after);
        if (width < 0 || width > 32) {
            error("bad width ``%s''", after.c_str());
            return false;
        }
        mask = width == 0 ? 0 : 0xffffffffu << (32 - width);
    } else if (separator == ':') {
        in_addr m {};
        if (inet_aton(after.c_str(), &m) == 0) {
            error("bad netmask ``%s''", after.c_str());
            return false;
        }
        mask = ntohl(m.s_addr);
    }
    address &= mask;
    return true;
}

bool RuleParser::fill_reject_code(int& code, const char* word)
{
    unsigned long value = 0;
    if (wholeUnsigned(word, value) && value < 256) {
        code = static_cast<int>(value);
        return true;
    }
    for (int c = 0; c < 256; ++c) {
        const char* name = icmpUnreachName(c);
        if (name == nullptr) {
            break;
        }
        if (strcasecmp(word, name) == 0) {
            code = c;
            return true;
        }
    }
    error("unknown ICMP unreachable code ``%s''", word);
    return false;
}

bool RuleParser::add_port(int& sideCount, int port)
{
    const int used = m_rule.sourcePortCount + m_rule.destinationPortCount;
    if (used >= IPFWRule::kMaxPorts) {
        error("too many ports (max is %d)", IPFWRule::kMaxPorts);
        return false;
    }
    // A port whose lookup failed keeps its place (the rule is rejected already).
    m_rule.ports[static_cast<std::size_t>(used)] = static_cast<std::uint16_t>(port);
    ++sideCount;
    return true;
}

int RuleParser::lookup_port(std::string_view text, bool quiet, bool dashEndsName)
{
    text = text.substr(0, std::min(text.size(), kPortTextLength));
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            if (i + 1 < text.size()) {
                ++i;
            }
            name.push_back(text[i]);
            continue;
        }
        if (c == ',' || (dashEndsName && c == '-')) {
            break;
        }
        name.push_back(c);
    }
    unsigned long value = 0;
    if (wholeUnsigned(name.c_str(), value)) {
        if (value > 0xffff) {
            if (!quiet) {
                error("port ``%s'' out of range", name.c_str());
            }
            return -1;
        }
        return static_cast<int>(value);
    }
    std::string protocol;
    if (m_rule.protocol != 0) {
        protocol = m_names.protocolName(m_rule.protocol).value_or("");
    }
    if (const auto port = m_names.servicePort(name, protocol)) {
        return *port;
    }
    if (!quiet) {
        error("unknown port ``%s''", name.c_str());
    }
    return -1;
}

int RuleParser::fill_port(int& sideCount, std::string_view word)
{
    std::size_t i = 0;
    for (; i < word.size(); ++i) {
        if (word[i] == '\\' && i + 1 < word.size()) {
            ++i;
        } else if (word[i] == ',' || word[i] == '-' || word[i] == ':') {
            break;
        }
    }
    int kind = 0;
    std::string_view rest = word;
    bool more = true;
    if (i < word.size() && word[i] != ',') {
        const bool isMask = word[i] == ':';
        const std::string_view low = word.substr(0, i);
        if (low.find(',') != std::string_view::npos) {
            error(isMask ? "port/mask must be first in list" : "port range must be first in list");
            return -1;
        }
        add_port(sideCount, low.empty() ? 0 : lookup_port(low, false, false));
        rest = word.substr(i + 1);
        const auto comma = rest.find(',');
        const std::string_view high = rest.substr(0, comma);
        add_port(sideCount, high.empty() ? 0xffff : lookup_port(high, false, false));
        more = comma != std::string_view::npos;
        rest = more ? rest.substr(comma + 1) : std::string_view();
        kind = isMask ? 2 : 1;
    }
    while (more) {
        const auto comma = rest.find(',');
        add_port(sideCount, lookup_port(rest.substr(0, comma), false, false));
        more = comma != std::string_view::npos;
        rest = more ? rest.substr(comma + 1) : std::string_view();
    }
    return kind;
}

// Calls item(name, negated) for each comma-separated item of a list word ("syn,!ack"), until
// it answers false.
template <typename F> void forEachListItem(std::string_view rest, F item)
{
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const bool negated = !name.empty() && name.front() == '!';
        if (negated) {
            name.remove_prefix(1);
        }
        if (!item(name, negated)) {
            return;
        }
    }
}

void RuleParser::fill_flags(std::uint8_t& set, std::uint8_t& clear, const char* word, std::span<const NamedBit> table,
                            const char* what)
{
    forEachListItem(word, [&](std::string_view name, bool negated) {
        const auto entry = std::find_if(table.begin(), table.end(),
                                        [name](const NamedBit& b) { return matchesKeyword(name, b.name); });
        if (entry == table.end()) {
            error("invalid tcp %s ``%s''", what, std::string(name).c_str());
            return false;
        }
        (negated ? clear : set) |= entry->bit;
        return true;
    });
}

void RuleParser::fill_ipopt(const char* word)
{
    forEachListItem(word, [this](std::string_view name, bool negated) {
        for (const auto& o : ipfw::kIpOptionNames) {
            if (matchesKeyword(name, o.name)) {
                (negated ? m_rule.ipOptionsClear : m_rule.ipOptionsSet) |= o.bit;
            }
        }
        return true;
    });
}

void RuleParser::fill_icmptypes(const char* word)
{
    m_rule.hasIcmpTypes = true;
    const char* p = word;
    while (*p != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long type = std::strtoul(p, &end, 0);
        if (errno == ERANGE) {
            type = ULONG_MAX;
        }
        if (end == p || (*end != ',' && *end != '\0')) {
            error("invalid ICMP type");
            return;
        }
        if (type > 127) {
            error("ICMP type out of range");
        } else {
            m_rule.icmpTypes[type / 32] |= 1u << (type % 32);
        }
        p = *end == ',' ? end + 1 : end;
    }
}

RuleParser::IfaceResult RuleParser::fill_iface(const char* keyword, IPFWInterface& iface)
{
    if (remaining() == 0) {
        error("missing argument for ``%s''", keyword);
        return IfaceResult::Missing;
    }
    const char* word = take();
    iface = IPFWInterface {};
    if (std::strcmp(word, "any") == 0) {
        iface.kind = IPFWInterface::Kind::Any;
        return IfaceResult::Ok;
    }
    if (word[0] >= '0' && word[0] <= '9') {
        in_addr a {};
        if (inet_aton(word, &a) == 0) {
            error("bad ip address ``%s''", word);
            return IfaceResult::BadAddress;
        }
        iface.kind = IPFWInterface::Kind::Address;
        iface.address = ntohl(a.s_addr);
        return IfaceResult::Ok;
    }
    const std::string_view name = std::string_view(word).substr(0, kInterfaceNameLength);
    const auto unitAt = name.find_first_of("0123456789*");
    iface.kind = IPFWInterface::Kind::Name;
    iface.name = std::string(name.substr(0, unitAt));
    if (unitAt != std::string_view::npos) {
        if (name[unitAt] == '*') {
            iface.anyUnit = true;
        } else {
            iface.unit = static_cast<int>(leadingInteger(name.substr(unitAt)));
        }
    }
    return IfaceResult::Ok;
}

} // namespace

namespace ipfw {

bool matchesKeyword(std::string_view word, std::string_view keyword)
{
    return !word.empty() && word.size() <= keyword.size() && keyword.compare(0, word.size(), word) == 0;
}

std::size_t splitWords(std::string& buffer, std::vector<const char*>& words, std::size_t limit)
{
    static constexpr auto isSeparator = [](char c) {
        return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\n' || c == '\r' || c == '\0';
    };
    std::size_t count = 0;
    const std::size_t size = buffer.size();
    char* data = buffer.data();
    std::size_t i = 0;
    while (count < limit) {
        while (i < size && isSeparator(data[i])) {
            ++i;
        }
        if (i >= size) {
            break;
        }
        words.push_back(data + i);
        ++count;
        while (i < size && !isSeparator(data[i])) {
            ++i;
        }
        if (i < size) {
            data[i++] = '\0';
        }
    }
    return count;
}

} // namespace ipfw

std::optional<std::string> releaseRuleRefusal(const IPFWRule& rule)
{
    if (KWRunningOnJaguar) {
        return std::nullopt;
    }
    // 10.1's kernel keeps no dynamic rules and its ipfw knows none of their words.
    if (rule.action == IPFWAction::CheckState) {
        return std::string("invalid action ``check-state''");
    }
    if (rule.keepState) {
        return std::string("unknown argument ``keep-state''");
    }
    return std::nullopt;
}

bool parseIPFWRule(std::span<const char* const> words, NameServices& names, IPFWRule& rule,
                   const std::function<void(const std::string&)>& onError, IPFWGrammarMode mode)
{
    rule = IPFWRule {};
    RuleParser parser(words, names, rule, onError, mode);
    return parser.run();
}

IPFWParseResult parseIPFWRule(std::span<const char* const> words, NameServices& names, IPFWGrammarMode mode)
{
    IPFWParseResult result;
    result.accepted = parseIPFWRule(
        words, names, result.rule, [&result](const std::string& m) { result.errors.push_back(m); }, mode);
    return result;
}

IPFWParseResult parseIPFWRuleLine(std::string_view line, NameServices& names, IPFWGrammarMode mode)
{
    std::string buffer(line.substr(0, line.find('#')));
    std::vector<const char*> words;
    ipfw::splitWords(buffer, words, buffer.size());
    return parseIPFWRule(words, names, mode);
}

void postIPFWSyntaxError(const std::string& message)
{
    std::lock_guard lock(ipfwCheckLock());
    std::fprintf(stderr, "error: %s", message.c_str());
    Value::Dictionary info;
    info.emplace(IPFWParserLineNumberItem, Value::integer(lineno));
    info.emplace(IPFWParserEventTypeItem, Value(IPFWParserErrorEvent));
    NotificationCenter::defaultCenter().post(
        Notification { IPFWParserSyntaxEventNotification, Value(message), Value(std::move(info)) });
}

void report_error(const char* format, ...)
{
    char message[kIPFWMessageBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::lock_guard lock(ipfwCheckLock());
    if (t_ruleFailed != nullptr) {
        *t_ruleFailed = true;
    }
    postIPFWSyntaxError(message);
}

int add(int ac, const char* const av[], NameServices& names)
{
    return add(ac, av, names, IPFWGrammarMode::Checker);
}

int add(int ac, const char* const av[], NameServices& names, IPFWGrammarMode mode)
{
    std::lock_guard lock(ipfwCheckLock());
    std::size_t count = 0;
    while (av != nullptr && static_cast<int>(count) < ac && av[count] != nullptr) {
        ++count;
    }
    bool failed = false;
    struct FailureMark {
        bool* previous;
        explicit FailureMark(bool* mark)
            : previous(t_ruleFailed)
        {
            t_ruleFailed = mark;
        }
        ~FailureMark() { t_ruleFailed = previous; }
        FailureMark(const FailureMark&) = delete;
        FailureMark& operator=(const FailureMark&) = delete;
    } mark(&failed);
    IPFWRule rule;
    const bool accepted = parseIPFWRule(
        std::span<const char* const>(av, count), names, rule,
        [](const std::string& message) { postIPFWSyntaxError(message); }, mode);
    return accepted && !failed ? 1 : 0;
}

int add(int ac, const char* const av[])
{
    NameServices names;
    return add(ac, av, names);
}

} // namespace kw
