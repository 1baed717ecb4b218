#include "IPFWTable.h"

#include "syntax/IPFWGrammar.h"

#include <algorithm>
#include <charconv>

namespace kw::ipfwemu {

namespace {

constexpr std::string_view kStateHeader = "kw-ipfw-state 1";

// Reads the next space-separated unsigned number of a state line.
template <typename T> bool takeNumber(std::string_view& rest, T& out)
{
    while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
    }
    const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), out);
    if (ec != std::errc() || ptr == rest.data()) {
        return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(ptr - rest.data()));
    return rest.empty() || rest.front() == ' ';
}

void appendNumbers(std::string& s, std::initializer_list<std::uint64_t> numbers)
{
    char buf[24];
    for (const auto n : numbers) {
        s += ' ';
        const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
        s.append(buf, end);
    }
}

} // namespace

FlowKey FlowKey::of(std::uint8_t protocol, std::uint32_t src, std::uint16_t sport, std::uint32_t dst,
                    std::uint16_t dport)
{
    FlowKey k;
    k.protocol = protocol;
    if (src < dst || (src == dst && sport <= dport)) {
        k.addressA = src;
        k.portA = sport;
        k.addressB = dst;
        k.portB = dport;
    } else {
        k.addressA = dst;
        k.portA = dport;
        k.addressB = src;
        k.portB = sport;
    }
    return k;
}

IPFWRule defaultRule()
{
    IPFWRule r;
    r.number = kDefaultRuleNumber;
    // The platform's kernel accepts by default: a flushed filter lets everything through.
    r.action = IPFWAction::Accept;
    r.in = r.out = true;
    return r;
}

Table::Table()
{
    ensureDefaultRule();
}

void Table::ensureDefaultRule()
{
    if (!m_rules.empty() && m_rules.back().rule.number == kDefaultRuleNumber) {
        return;
    }
    TableRule t;
    t.id = m_nextId++;
    t.rule = defaultRule();
    t.text = ruleText(t.rule);
    m_rules.push_back(std::move(t));
}

const TableRule& Table::add(const IPFWRule& rule, std::uint64_t logLimit)
{
    TableRule t;
    t.id = m_nextId++;
    t.rule = rule;
    if (t.rule.number == 0) {
        // The last rule before the default one, plus 100 while that stays below the default.
        std::uint32_t last = 0;
        if (m_rules.size() >= 2) {
            last = m_rules[m_rules.size() - 2].rule.number;
        }
        t.rule.number = last < kDefaultRuleNumber - kAutoNumberStep ? last + kAutoNumberStep : last;
    }
    t.text = ruleText(t.rule);
    if (t.rule.log) {
        t.logLimit = t.rule.logAmount != 0 ? t.rule.logAmount : logLimit;
    }
    // After every rule with the same or a lower number, before the default rule.
    auto pos = std::upper_bound(m_rules.begin(), m_rules.end() - 1, t.rule.number,
                                [](std::uint32_t n, const TableRule& r) { return n < r.rule.number; });
    touch();
    return *m_rules.insert(pos, std::move(t));
}

bool Table::remove(std::uint32_t number)
{
    if (number == kDefaultRuleNumber) {
        return false;
    }
    std::vector<std::uint64_t> removed;
    for (const auto& r : m_rules) {
        if (r.rule.number == number) {
            removed.push_back(r.id);
        }
    }
    if (removed.empty()) {
        return false;
    }
    std::erase_if(m_rules, [number](const TableRule& r) { return r.rule.number == number; });
    std::erase_if(m_dynamic, [&](const auto& entry) {
        return std::find(removed.begin(), removed.end(), entry.second.parentId) != removed.end();
    });
    touch();
    return true;
}

bool Table::zero(std::optional<std::uint32_t> number)
{
    bool found = false;
    for (auto& r : m_rules) {
        if (!number || r.rule.number == *number) {
            r.packets = r.bytes = 0;
            r.lastMatch = 0;
            r.logged = 0;
            found = true;
        }
    }
    return found;
}

void Table::flush()
{
    m_rules.erase(m_rules.begin(), m_rules.end() - 1);
    m_dynamic.clear();
    touch();
}

std::size_t Table::firstIndexAtLeast(std::uint32_t number) const
{
    const auto it = std::lower_bound(m_rules.begin(), m_rules.end(), number,
                                     [](const TableRule& r, std::uint32_t n) { return r.rule.number < n; });
    return std::min(static_cast<std::size_t>(it - m_rules.begin()), m_rules.size() - 1);
}

void Table::expireDynamic(std::int64_t now)
{
    std::erase_if(m_dynamic, [now](const auto& entry) { return entry.second.expire < now; });
}

std::string Table::serialize() const
{
    std::string s;
    s.reserve(64 + m_rules.size() * 96 + m_dynamic.size() * 96);
    s += kStateHeader;
    s += "\nnext";
    appendNumbers(s, { m_nextId, m_nextSerial });
    s += '\n';
    for (const auto& r : m_rules) {
        s += "rule";
        appendNumbers(s, { r.id, r.rule.number, r.packets, r.bytes, static_cast<std::uint64_t>(r.lastMatch), r.logged,
                           r.logLimit });
        s += ' ';
        if (r.rule.set != 0) {
            s += "set " + std::to_string(r.rule.set) + ' '; // the listing text leaves the set out
        }
        s += r.text;
        s += '\n';
    }
    std::vector<const DynamicRule*> dyn;
    dyn.reserve(m_dynamic.size());
    for (const auto& [key, d] : m_dynamic) {
        dyn.push_back(&d);
    }
    std::sort(dyn.begin(), dyn.end(), [](const DynamicRule* a, const DynamicRule* b) { return a->serial < b->serial; });
    for (const auto* d : dyn) {
        s += "dynamic";
        appendNumbers(s, { d->parentId, d->serial, d->protocol, d->src, d->srcPort, d->dst, d->dstPort,
                           static_cast<std::uint64_t>(d->expire), d->packets, d->bytes, d->tcpState });
        s += '\n';
    }
    s += "end";
    appendNumbers(s, { m_rules.size(), m_dynamic.size() });
    s += '\n';
    return s;
}

bool Table::deserialize(std::string_view text, NameServices& names, std::string& error)
{
    std::vector<TableRule> rules;
    std::unordered_map<FlowKey, DynamicRule, FlowKeyHash> dynamic;
    std::uint64_t nextId = 0;
    std::uint64_t nextSerial = 0;
    bool ended = false;
    std::size_t lineNumber = 0;
    const auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    std::string ruleLine;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        if (eol == std::string_view::npos) {
            ++lineNumber;
            return fail("incomplete line (the file is cut short)");
        }
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        ++lineNumber;
        if (ended) {
            return fail("text after the end line");
        }
        if (lineNumber == 1) {
            if (line != kStateHeader) {
                return fail("not an ipfw state file");
            }
            continue;
        }
        const auto space = line.find(' ');
        const std::string_view word = line.substr(0, space);
        std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space);
        if (word == "next") {
            if (!takeNumber(rest, nextId) || !takeNumber(rest, nextSerial) || !rest.empty()) {
                return fail("bad next line");
            }
        } else if (word == "rule") {
            TableRule t;
            std::uint64_t number = 0;
            std::uint64_t last = 0;
            if (!takeNumber(rest, t.id) || !takeNumber(rest, number) || !takeNumber(rest, t.packets) ||
                !takeNumber(rest, t.bytes) || !takeNumber(rest, last) || !takeNumber(rest, t.logged) ||
                !takeNumber(rest, t.logLimit) || rest.size() < 2 || number == 0 || number > kDefaultRuleNumber) {
                return fail("bad rule line");
            }
            t.lastMatch = static_cast<std::int64_t>(last);
            t.text = std::string(rest.substr(1));
            // Read without its number: the default rule's 65535 is not one a rule can be added with.
            // Any release's forms: the table holds what the release that added a rule accepted.
            ruleLine = "add " + t.text;
            auto parsed = parseIPFWRuleLine(ruleLine, names, IPFWGrammarMode::AnyRelease);
            parsed.rule.number = static_cast<std::uint32_t>(number);
            if (!parsed.accepted) {
                return fail("rule " + std::to_string(number) + " does not read back: " +
                            (parsed.errors.empty() ? std::string("bad rule") : parsed.errors.front()));
            }
            if (!rules.empty() && rules.back().rule.number > number) {
                return fail("rules out of order");
            }
            t.rule = std::move(parsed.rule);
            if (t.rule.set != 0) {
                t.text = ruleText(t.rule);
            }
            rules.push_back(std::move(t));
        } else if (word == "dynamic") {
            DynamicRule d;
            std::uint32_t protocol = 0;
            std::uint64_t expire = 0;
            if (!takeNumber(rest, d.parentId) || !takeNumber(rest, d.serial) || !takeNumber(rest, protocol) ||
                !takeNumber(rest, d.src) || !takeNumber(rest, d.srcPort) || !takeNumber(rest, d.dst) ||
                !takeNumber(rest, d.dstPort) || !takeNumber(rest, expire) || !takeNumber(rest, d.packets) ||
                !takeNumber(rest, d.bytes) || !takeNumber(rest, d.tcpState) || !rest.empty() || protocol > 255) {
                return fail("bad dynamic line");
            }
            d.protocol = static_cast<std::uint8_t>(protocol);
            d.expire = static_cast<std::int64_t>(expire);
            if (std::none_of(rules.begin(), rules.end(), [&](const TableRule& r) { return r.id == d.parentId; })) {
                return fail("dynamic rule without its rule");
            }
            dynamic[FlowKey::of(d.protocol, d.src, d.srcPort, d.dst, d.dstPort)] = d;
        } else if (word == "end") {
            std::uint64_t ruleCount = 0;
            std::uint64_t dynamicCount = 0;
            if (!takeNumber(rest, ruleCount) || !takeNumber(rest, dynamicCount) || !rest.empty() ||
                ruleCount != rules.size() || dynamicCount != dynamic.size()) {
                return fail("the end line does not match the rules read");
            }
            ended = true;
        } else {
            return fail("unknown line");
        }
    }
    if (!ended) {
        ++lineNumber;
        return fail("no end line (the file is cut short)");
    }
    if (rules.empty() || rules.back().rule.number != kDefaultRuleNumber) {
        return fail("the default rule 65535 is missing");
    }
    for (const auto& r : rules) {
        if (r.id >= nextId) {
            return fail("rule id " + std::to_string(r.id) + " is not below the next id");
        }
    }
    m_rules = std::move(rules);
    m_dynamic = std::move(dynamic);
    m_nextId = nextId;
    m_nextSerial = std::max<std::uint64_t>(nextSerial, 1);
    touch();
    return true;
}

} // namespace kw::ipfwemu
