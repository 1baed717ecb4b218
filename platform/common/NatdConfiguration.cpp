#include "common/NatdConfiguration.h"

#include "common/Addresses.h"
#include "syntax/NameServices.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace kw::platform {

namespace {

enum class Option {
    UnregisteredOnly,
    Log,
    DenyIncoming,
    UseSockets,
    SamePorts,
    Verbose,
    Dynamic,
    Reverse,
    ProxyOnly,
    LogDenied,
    LogIpfwDenied,
    Interface,
    AliasAddress,
    TargetAddress,
    Port,
    InPort,
    OutPort,
    Instance,
    RedirectPort,
    RedirectProto,
    RedirectAddress,
    ProxyRule,
    LogFacility,
    PidFile,
    ExitDelay,
    GlobalPort,
    PunchFirewall,
    Config,
};

const std::map<std::string, Option>& options()
{
    static const std::map<std::string, Option> table = {
        { "unregistered_only", Option::UnregisteredOnly },
        { "u", Option::UnregisteredOnly },
        { "log", Option::Log },
        { "l", Option::Log },
        { "deny_incoming", Option::DenyIncoming },
        { "d", Option::DenyIncoming },
        { "use_sockets", Option::UseSockets },
        { "s", Option::UseSockets },
        { "same_ports", Option::SamePorts },
        { "m", Option::SamePorts },
        { "verbose", Option::Verbose },
        { "v", Option::Verbose },
        { "dynamic", Option::Dynamic },
        { "reverse", Option::Reverse },
        { "proxy_only", Option::ProxyOnly },
        { "log_denied", Option::LogDenied },
        { "log_ipfw_denied", Option::LogIpfwDenied },
        { "interface", Option::Interface },
        { "n", Option::Interface },
        { "alias_address", Option::AliasAddress },
        { "a", Option::AliasAddress },
        { "target_address", Option::TargetAddress },
        { "t", Option::TargetAddress },
        { "port", Option::Port },
        { "p", Option::Port },
        { "in_port", Option::InPort },
        { "i", Option::InPort },
        { "out_port", Option::OutPort },
        { "o", Option::OutPort },
        { "instance", Option::Instance },
        { "redirect_port", Option::RedirectPort },
        { "redirect_proto", Option::RedirectProto },
        { "redirect_address", Option::RedirectAddress },
        { "proxy_rule", Option::ProxyRule },
        { "log_facility", Option::LogFacility },
        { "pid_file", Option::PidFile },
        { "P", Option::PidFile },
        { "exit_delay", Option::ExitDelay },
        { "globalport", Option::GlobalPort },
        { "punch_fw", Option::PunchFirewall },
        { "config", Option::Config },
        { "f", Option::Config },
    };
    return table;
}

bool isBoolean(Option o)
{
    return o <= Option::LogIpfwDenied;
}

std::vector<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> w;
    std::string s;
    while (in >> s) {
        w.push_back(s);
    }
    return w;
}

bool validInterfaceName(const std::string& name)
{
    return !name.empty() && name.size() < 16 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
    });
}

// A port number, or a service name of the protocol ("natd" with "divert") as the rule grammar
// looks it up: the root's etc/services, then the system's services database.
std::optional<int> servicePort(const std::string& nameOrNumber, const std::string& protocol)
{
    if (const auto n = parseDecimal(nameOrNumber, 0, 65535)) {
        return static_cast<int>(*n);
    }
    if (nameOrNumber.empty()) {
        return std::nullopt;
    }
    NameServices names;
    if (const auto port = names.servicePort(nameOrNumber, protocol)) {
        return *port;
    }
    return std::nullopt;
}

// "80", "8000-8010", or a service name of the protocol.
bool parsePortRange(const std::string& text, const std::string& protocol, PortRange& out)
{
    const auto dash = text.find('-');
    const auto first = servicePort(text.substr(0, dash), protocol);
    if (!first || *first == 0) {
        return false;
    }
    out.first = *first;
    out.count = 1;
    if (dash != std::string::npos) {
        const auto last = servicePort(text.substr(dash + 1), protocol);
        if (!last || *last < *first) {
            return false;
        }
        out.count = *last - *first + 1;
    }
    return true;
}

// "addr:ports" (port required) into address and ports.
bool parseAddressAndPorts(const std::string& text, const std::string& protocol, std::string& address, PortRange& ports)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    address = text.substr(0, colon);
    return parseIPv4(address).has_value() && parsePortRange(text.substr(colon + 1), protocol, ports);
}

bool parseRedirectPort(const std::string& value, PortRedirect& r, std::string& error)
{
    const auto w = words(value);
    if (w.size() < 3 || w.size() > 4) {
        error = "redirect_port: expected \"proto target:port [alias:]port [remote[:port]]\"";
        return false;
    }
    r.protocol = w[0];
    if (r.protocol != "tcp" && r.protocol != "udp") {
        error = "redirect_port: unknown protocol '" + w[0] + "' (tcp or udp)";
        return false;
    }
    // Several targets, separated by commas, share the load of one public port.
    std::string rest = w[1];
    for (;;) {
        const auto comma = rest.find(',');
        std::pair<std::string, PortRange> target;
        if (!parseAddressAndPorts(rest.substr(0, comma), r.protocol, target.first, target.second)) {
            error = "redirect_port: invalid target '" + w[1] + "' (address:port)";
            return false;
        }
        r.targets.push_back(target);
        if (comma == std::string::npos) {
            break;
        }
        rest = rest.substr(comma + 1);
    }
    const std::string& alias = w[2];
    const auto colon = alias.find(':');
    std::string aliasPorts = alias;
    if (colon != std::string::npos) {
        r.aliasAddress = alias.substr(0, colon);
        aliasPorts = alias.substr(colon + 1);
        if (!parseIPv4(r.aliasAddress)) {
            error = "redirect_port: invalid alias address '" + r.aliasAddress + "'";
            return false;
        }
    }
    if (!parsePortRange(aliasPorts, r.protocol, r.aliasPorts)) {
        error = "redirect_port: invalid public port '" + aliasPorts + "'";
        return false;
    }
    if (r.targets.size() == 1 && r.targets[0].second.count != r.aliasPorts.count) {
        error = "redirect_port: port ranges must be equal in size";
        return false;
    }
    if (r.targets.size() > 1 && r.aliasPorts.count != 1) {
        error = "redirect_port: several targets need a single public port";
        return false;
    }
    if (w.size() == 4) {
        const auto rc = w[3].find(':');
        r.remoteAddress = w[3].substr(0, rc);
        if (!parseIPv4(r.remoteAddress)) {
            error = "redirect_port: invalid remote address '" + r.remoteAddress + "'";
            return false;
        }
        if (rc != std::string::npos) {
            PortRange remote;
            if (!parsePortRange(w[3].substr(rc + 1), r.protocol, remote)) {
                error = "redirect_port: invalid remote port '" + w[3].substr(rc + 1) + "'";
                return false;
            }
            r.remotePorts = remote;
        }
    }
    return true;
}

Value rangeValue(const PortRange& p)
{
    Value v;
    v.set("First", Value::integer(p.first));
    v.set("Count", Value::integer(p.count));
    return v;
}

} // namespace

NatdConfiguration::NatdConfiguration()
    : instances(1)
{}

NatdConfiguration::Arity NatdConfiguration::arity(const std::string& keyword)
{
    const auto it = options().find(keyword);
    if (it == options().end()) {
        return Arity::Unknown;
    }
    if (it->second == Option::Config) {
        return Arity::Config;
    }
    return isBoolean(it->second) ? Arity::Boolean : Arity::Value;
}

bool NatdConfiguration::apply(const std::string& keyword, const std::optional<std::string>& value, std::string& error)
{
    const auto it = options().find(keyword);
    if (it == options().end()) {
        error = "unknown keyword '" + keyword + "'";
        return false;
    }
    const Option o = it->second;
    if (isBoolean(o)) {
        bool on = true;
        if (value) {
            if (*value == "yes") {
                on = true;
            } else if (*value == "no") {
                on = false;
            } else {
                error = keyword + ": expected yes or no, not '" + *value + "'";
                return false;
            }
        }
        NatdInstance& i = current();
        switch (o) {
        case Option::UnregisteredOnly:
            i.unregisteredOnly = on;
            break;
        case Option::Log:
            i.log = on;
            break;
        case Option::DenyIncoming:
            i.denyIncoming = on;
            break;
        case Option::UseSockets:
            i.useSockets = on;
            break;
        case Option::SamePorts:
            i.samePorts = on;
            break;
        case Option::Verbose:
            i.verbose = on;
            break;
        case Option::Dynamic:
            i.dynamic = on;
            break;
        case Option::Reverse:
            i.reverse = on;
            break;
        case Option::ProxyOnly:
            i.proxyOnly = on;
            break;
        case Option::LogDenied:
            i.logDenied = on;
            break;
        case Option::LogIpfwDenied:
            i.logIpfwDenied = on;
            break;
        default:
            break;
        }
        return true;
    }
    if (!value || value->empty()) {
        error = keyword + ": a value is required";
        return false;
    }
    const std::string& v = *value;
    const auto single = [&]() {
        if (words(v).size() != 1) {
            error = keyword + ": expected one value, not '" + v + "'";
            return false;
        }
        return true;
    };
    const auto address = [&](std::string& into) {
        if (!single()) {
            return false;
        }
        if (!parseIPv4(v)) {
            error = keyword + ": invalid address '" + v + "'";
            return false;
        }
        into = v;
        return true;
    };
    const auto divertPort = [&](int& into) {
        if (!single()) {
            return false;
        }
        const auto p = servicePort(v, "divert");
        if (!p || *p == 0) {
            error = keyword + ": unknown service '" + v + "'";
            return false;
        }
        into = *p;
        return true;
    };
    NatdInstance& i = current();
    switch (o) {
    case Option::Interface:
        if (!single()) {
            return false;
        }
        if (!validInterfaceName(v)) {
            error = "interface: invalid interface name '" + v + "'";
            return false;
        }
        i.interfaceName = v;
        return true;
    case Option::AliasAddress:
        return address(i.aliasAddress);
    case Option::TargetAddress:
        return address(i.targetAddress);
    case Option::Port:
        return divertPort(i.divertPort);
    case Option::InPort: {
        int p = 0;
        if (!divertPort(p)) {
            return false;
        }
        i.inPort = p;
        return true;
    }
    case Option::OutPort: {
        int p = 0;
        if (!divertPort(p)) {
            return false;
        }
        i.outPort = p;
        return true;
    }
    case Option::GlobalPort: {
        int p = 0;
        if (!divertPort(p)) {
            return false;
        }
        globalPort = p;
        return true;
    }
    case Option::Instance:
        if (!single() || !validInterfaceName(v)) {
            error = "instance: invalid instance name '" + v + "'";
            return false;
        }
        if (v == "default" && instances.size() == 1) {
            return true;
        }
        if (std::any_of(instances.begin(), instances.end(), [&](const NatdInstance& n) { return n.name == v; })) {
            error = "instance: '" + v + "' is given twice";
            return false;
        }
        if (instances.size() == 1 && instances[0].name == "default" && instances[0].interfaceName.empty() &&
            instances[0].aliasAddress.empty() && instances[0].redirects.empty()) {
            instances[0].name = v; // nothing was set before the first instance line
        } else {
            instances.emplace_back();
            instances.back().name = v;
        }
        return true;
    case Option::RedirectPort: {
        PortRedirect r;
        if (!parseRedirectPort(v, r, error)) {
            return false;
        }
        i.redirects.push_back(std::move(r));
        return true;
    }
    case Option::RedirectAddress: {
        const auto w = words(v);
        if (w.size() != 2 || !parseIPv4(w[0]) || !parseIPv4(w[1])) {
            error = "redirect_address: expected \"local_address public_address\"";
            return false;
        }
        i.addressRedirects.push_back(w[0] + " " + w[1]);
        return true;
    }
    case Option::RedirectProto: {
        const auto w = words(v);
        const bool ok =
            w.size() >= 2 && w.size() <= 4 && !w[0].empty() &&
            std::all_of(w.begin() + 1, w.end(), [](const std::string& a) { return parseIPv4(a).has_value(); });
        if (!ok) {
            error = "redirect_proto: expected \"proto local_address [public_address [remote_address]]\"";
            return false;
        }
        i.protoRedirects.push_back(v);
        return true;
    }
    case Option::ProxyRule:
        i.proxyRules.push_back(v);
        return true;
    case Option::LogFacility:
        if (!single()) {
            return false;
        }
        logFacility = v;
        return true;
    case Option::PidFile:
        if (!single()) {
            return false;
        }
        if (v.front() != '/' || v.find("/../") != std::string::npos || v.size() < 3 ||
            v.compare(v.size() - 3, 3, "/..") == 0) {
            error = "pid_file: expected an absolute path without \"..\", not '" + v + "'";
            return false;
        }
        pidFile = v;
        return true;
    case Option::ExitDelay: {
        const auto d = parseDecimal(v, 0, 3600000);
        if (!d) {
            error = "exit_delay: invalid delay '" + v + "'";
            return false;
        }
        exitDelay = static_cast<int>(*d);
        return true;
    }
    case Option::PunchFirewall: {
        const auto colon = v.find(':');
        if (colon == std::string::npos || !parseDecimal(v.substr(0, colon), 1, 65534) ||
            !parseDecimal(v.substr(colon + 1), 1, 65534)) {
            error = "punch_fw: expected \"basenumber:count\"";
            return false;
        }
        punchFirewall = v;
        return true;
    }
    case Option::Config:
        error = "config: a configuration file cannot name another";
        return false;
    default:
        break;
    }
    error = "unknown keyword '" + keyword + "'";
    return false;
}

bool NatdConfiguration::readText(std::string_view text, const std::string& where, std::string& error)
{
    int lineNumber = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const auto end = text.find('\n', pos);
        std::string line(text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
        pos = end == std::string_view::npos ? text.size() + 1 : end + 1;
        ++lineNumber;
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) {
            continue;
        }
        const auto keyEnd = line.find_first_of(" \t\r", first);
        const std::string keyword = line.substr(first, keyEnd - first);
        std::optional<std::string> value;
        if (keyEnd != std::string::npos) {
            const auto vStart = line.find_first_not_of(" \t\r", keyEnd);
            if (vStart != std::string::npos) {
                const auto vEnd = line.find_last_not_of(" \t\r");
                value = line.substr(vStart, vEnd - vStart + 1);
            }
        }
        std::string why;
        if (!apply(keyword, value, why)) {
            error = where + ":" + std::to_string(lineNumber) + ": " + why;
            return false;
        }
    }
    return true;
}

bool NatdConfiguration::validate(std::string& error) const
{
    for (const auto& i : instances) {
        if (i.interfaceName.empty() && i.aliasAddress.empty() && !i.reverse && !i.proxyOnly) {
            error = "instance " + i.name + ": no interface or alias address given";
            return false;
        }
        for (const auto& other : instances) {
            if (&other != &i && other.divertPort == i.divertPort) {
                error = "instances " + i.name + " and " + other.name + " use the same divert port " +
                        std::to_string(i.divertPort);
                return false;
            }
        }
    }
    return true;
}

Value NatdInstance::toValue() const
{
    Value v;
    v.set("Instance", Value(name));
    v.set("Interface", Value(interfaceName));
    if (!aliasAddress.empty()) {
        v.set("AliasAddress", Value(aliasAddress));
    }
    v.set("DivertPort", Value::integer(divertPort));
    v.set("Dynamic", Value::boolean(dynamic));
    v.set("UseSockets", Value::boolean(useSockets));
    v.set("SamePorts", Value::boolean(samePorts));
    Value::Array redirectList;
    for (const auto& r : redirects) {
        Value rv;
        rv.set("Protocol", Value(r.protocol));
        Value::Array targets;
        for (const auto& [address, ports] : r.targets) {
            Value t = rangeValue(ports);
            t.set("Address", Value(address));
            targets.push_back(std::move(t));
        }
        rv.set("Targets", Value(std::move(targets)));
        if (!r.aliasAddress.empty()) {
            rv.set("AliasAddress", Value(r.aliasAddress));
        }
        rv.set("AliasPorts", rangeValue(r.aliasPorts));
        if (!r.remoteAddress.empty()) {
            rv.set("RemoteAddress", Value(r.remoteAddress));
        }
        redirectList.push_back(std::move(rv));
    }
    v.set("RedirectPorts", Value(std::move(redirectList)));
    return v;
}

} // namespace kw::platform
