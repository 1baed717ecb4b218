#include "rules/ServiceFilter.h"

#include "base/Release.h"
#include "rules/FilterRules.h"
#include "rules/TextFields.h"

#include <iterator>

namespace kw {

using rules_detail::strictText;
using rules_detail::strictTextOrEmpty;

namespace {

constexpr std::string_view kSeparator = "#################################################\n";

Value ownCopy(const Value& attributes)
{
    if (attributes.isNone()) {
        return Value(Value::Dictionary {});
    }
    if (!attributes.isDictionary()) {
        rules_detail::throwNotKind(attributes, "the service filter", "a dictionary");
    }
    return attributes;
}

// A host text: the stored text when it is not empty, otherwise "any".
std::string_view hostText(const Value* stored, const char* key, std::optional<std::string_view> replacement)
{
    if (replacement) {
        return *replacement;
    }
    const std::string_view host = strictTextOrEmpty(stored, key);
    return host.empty() ? std::string_view("any") : host;
}

void appendOption(std::string& out, const Value* stored, const char* key, std::string_view word)
{
    const std::string_view text = strictTextOrEmpty(stored, key);
    if (!text.empty()) {
        out += word;
        out += text;
    }
}

using rules_detail::FilterFields;

struct FieldSlot {
    std::string_view key;
    const Value* FilterFields::*member;
};

// In the dictionary's (byte-wise) key order, so that one merged walk finds them all.
constexpr FieldSlot kFieldSlots[] = {
    { ServiceFilterAction, &FilterFields::action },       { ServiceFilterCustomLabel, &FilterFields::customLabel },
    { ServiceFilterDstHost, &FilterFields::dstHost },     { ServiceFilterDstHostType, &FilterFields::dstHostType },
    { ServiceFilterICMPTypes, &FilterFields::icmpTypes }, { ServiceFilterIPOptions, &FilterFields::ipOptions },
    { ServiceFilterLabel, &FilterFields::label },         { ServiceFilterOrderNumber, &FilterFields::orderNumber },
    { ServiceFilterPort, &FilterFields::port },           { ServiceFilterProtocol, &FilterFields::protocol },
    { ServiceFilterShouldLog, &FilterFields::shouldLog }, { ServiceFilterSourcePort, &FilterFields::sourcePort },
    { ServiceFilterSrcHost, &FilterFields::srcHost },     { ServiceFilterSrcHostType, &FilterFields::srcHostType },
    { ServiceFilterTCPFlags, &FilterFields::tcpFlags },
};

constexpr bool slotsSorted()
{
    for (size_t i = 1; i < std::size(kFieldSlots); ++i) {
        if (!(kFieldSlots[i - 1].key < kFieldSlots[i].key)) {
            return false;
        }
    }
    return true;
}
static_assert(slotsSorted(), "filter field slots must follow the dictionary's key order");

} // namespace

namespace rules_detail {

FilterFields FilterFields::read(const Value& attributes)
{
    FilterFields fields;
    const Value::Dictionary* d = attributes.dictionary();
    if (d == nullptr) {
        return fields;
    }
    auto it = d->begin();
    size_t slot = 0;
    while (it != d->end() && slot < std::size(kFieldSlots)) {
        const int order = std::string_view(it->first).compare(kFieldSlots[slot].key);
        if (order < 0) {
            ++it;
        } else if (order > 0) {
            ++slot;
        } else {
            fields.*(kFieldSlots[slot].member) = &it->second;
            ++it;
            ++slot;
        }
    }
    return fields;
}

void appendRuleLine(std::string& out, const FilterView& filter, std::optional<std::string_view> interfaceName,
                    std::optional<std::string_view> direction, bool reversePorts, bool keepState)
{
    const FilterFields& f = filter.fields;
    out += "add";
    if (filter.ruleNumber) {
        out += ' ';
        appendInteger(out, *filter.ruleNumber);
    } else if (f.orderNumber != nullptr && !f.orderNumber->isNone()) {
        out += ' ';
        appendFormatted(out, f.orderNumber, ServiceFilterOrderNumber);
    }

    out += ' ';
    out += strictText(f.action, ServiceFilterAction).value_or("allow");
    if (integerValueOf(f.shouldLog) > 0) {
        out += " log";
    }
    const std::optional<std::string_view> protocol = strictText(f.protocol, ServiceFilterProtocol);
    out += ' ';
    out += protocol.value_or("ip");
    const bool usePorts = protocol == "tcp" || protocol == "udp";

    const std::string_view srcHost = hostText(f.srcHost, ServiceFilterSrcHost, filter.srcHost);
    const std::string_view dstHost = hostText(f.dstHost, ServiceFilterDstHost, filter.dstHost);
    const std::string_view srcPort = strictTextOrEmpty(f.sourcePort, ServiceFilterSourcePort);
    const std::string_view dstPort = strictTextOrEmpty(f.port, ServiceFilterPort);
    const auto appendEnd = [&](std::string_view word, std::string_view host, std::string_view port) {
        out += word;
        out += host;
        if (!port.empty() && usePorts) {
            out += ' ';
            out += port;
        }
    };
    if (reversePorts) {
        appendEnd(" from ", dstHost, dstPort);
        appendEnd(" to ", srcHost, srcPort);
    } else {
        appendEnd(" from ", srcHost, srcPort);
        appendEnd(" to ", dstHost, dstPort);
    }

    // Deny filters get " setup" too: the stored rule files have always been written so.
    if (protocol == "tcp") {
        out += " setup";
    }
    if (keepState) {
        out += " keep-state";
    }
    if (direction) {
        out += ' ';
        out += *direction;
    }
    if (interfaceName) {
        out += " via ";
        out += *interfaceName;
    }
    appendOption(out, f.ipOptions, ServiceFilterIPOptions, " ipoptions ");
    appendOption(out, f.tcpFlags, ServiceFilterTCPFlags, " tcpflags ");
    appendOption(out, f.icmpTypes, ServiceFilterICMPTypes, " icmptype ");
}

void appendRuleText(std::string& out, const FilterView& filter, std::string_view interfaceName)
{
    const FilterFields& f = filter.fields;
    out += kSeparator;
    if (const auto label = strictText(f.label, ServiceFilterLabel)) {
        out += "## ";
        if (*label == kCustomServiceLabel) {
            out += strictTextOrEmpty(f.customLabel, ServiceFilterCustomLabel);
        } else {
            out += *label;
        }
        out += '\n';
    } else {
        out += "## Custom Filter\n";
    }
    out += kSeparator;

    // An absent action is written as "allow" by the rule line but counts as no "allow" here.
    const auto action = strictText(f.action, ServiceFilterAction);
    const auto protocol = strictText(f.protocol, ServiceFilterProtocol);
    const bool allows = action == "allow";
    const bool keep = KWRunningOnJaguar && allows;
    const bool twin = protocol == "udp" && allows;

    const std::int64_t s = integerValueOf(f.srcHostType);
    const std::int64_t d = integerValueOf(f.dstHostType);
    std::optional<std::string_view> direction;
    std::optional<std::string_view> mirrored;
    if (s == kHostInternet || (s != kHostMyComputer && d == kHostMyComputer)) {
        direction = "in";
        mirrored = "out";
    } else if (s == kHostMyComputer || d == kHostInternet) {
        direction = "out";
        mirrored = "in";
    }

    if (!direction) {
        appendRuleLine(out, filter, interfaceName, std::nullopt, false, keep);
        return;
    }
    appendRuleLine(out, filter, interfaceName, direction, false, keep);
    out += '\n';
    // Without stateful rules the answers of an allowed UDP service need a rule of their own.
    if (twin && !KWRunningOnJaguar) {
        appendRuleLine(out, filter, interfaceName, mirrored, true, false);
        out += '\n';
    }
}

} // namespace rules_detail

ServiceFilter::ServiceFilter()
    : m_serviceAttributes(Value::Dictionary {})
{}

ServiceFilter::ServiceFilter(const Value& serviceAttributes)
    : m_serviceAttributes(ownCopy(serviceAttributes))
{}

void ServiceFilter::setServiceAttributes(const Value& serviceAttributes)
{
    m_serviceAttributes = ownCopy(serviceAttributes);
}

void ServiceFilter::setRuleNumber(std::int64_t ruleNumber)
{
    m_serviceAttributes.set(ServiceFilterOrderNumber, Value::integer(ruleNumber));
}

const Value* ServiceFilter::protocol() const
{
    return m_serviceAttributes.get(ServiceFilterProtocol);
}
const Value* ServiceFilter::dstPort() const
{
    return m_serviceAttributes.get(ServiceFilterPort);
}
const Value* ServiceFilter::srcPort() const
{
    return m_serviceAttributes.get(ServiceFilterSourcePort);
}
const Value* ServiceFilter::action() const
{
    return m_serviceAttributes.get(ServiceFilterAction);
}
const Value* ServiceFilter::ipOptions() const
{
    return m_serviceAttributes.get(ServiceFilterIPOptions);
}
const Value* ServiceFilter::tcpFlags() const
{
    return m_serviceAttributes.get(ServiceFilterTCPFlags);
}
const Value* ServiceFilter::icmpTypes() const
{
    return m_serviceAttributes.get(ServiceFilterICMPTypes);
}
const Value* ServiceFilter::ruleNumber() const
{
    return m_serviceAttributes.get(ServiceFilterOrderNumber);
}

std::string ServiceFilter::srcHost() const
{
    return std::string(hostText(m_serviceAttributes.get(ServiceFilterSrcHost), ServiceFilterSrcHost, std::nullopt));
}

std::string ServiceFilter::dstHost() const
{
    return std::string(hostText(m_serviceAttributes.get(ServiceFilterDstHost), ServiceFilterDstHost, std::nullopt));
}

bool ServiceFilter::shouldLog() const
{
    return rules_detail::integerOf(m_serviceAttributes, ServiceFilterShouldLog) > 0;
}

bool ServiceFilter::canUsePorts() const
{
    const auto p = strictText(protocol(), ServiceFilterProtocol);
    return p == "tcp" || p == "udp";
}

const Value* ServiceFilter::valueForColumn(std::string_view columnIdentifier) const
{
    struct Column {
        std::string_view identifier;
        const char* key;
    };
    static constexpr Column kColumns[] = {
        { "ruleNo", ServiceFilterOrderNumber },    { "ruleAction", ServiceFilterAction },
        { "ruleServiceName", ServiceFilterLabel }, { "ruleSourceHost", ServiceFilterSrcHost },
        { "ruleDestHost", ServiceFilterDstHost },  { "ruleOptions", ServiceFilterIPOptions },
    };
    for (const Column& c : kColumns) {
        if (c.identifier == columnIdentifier) {
            return m_serviceAttributes.get(c.key);
        }
    }
    return nullptr;
}

std::string ServiceFilter::ruleForInterface(std::optional<std::string_view> interfaceName,
                                            std::optional<std::string_view> direction, bool reversePorts,
                                            bool keepState) const
{
    std::string out;
    rules_detail::appendRuleLine(
        out, { rules_detail::FilterFields::read(m_serviceAttributes), std::nullopt, std::nullopt, std::nullopt },
        interfaceName, direction, reversePorts, keepState);
    return out;
}

std::string ServiceFilter::ruleTextWithInterface(std::string_view interfaceName) const
{
    std::string out;
    rules_detail::appendRuleText(
        out, { rules_detail::FilterFields::read(m_serviceAttributes), std::nullopt, std::nullopt, std::nullopt },
        interfaceName);
    return out;
}

} // namespace kw
