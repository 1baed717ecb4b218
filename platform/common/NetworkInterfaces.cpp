#include "common/NetworkInterfaces.h"

#include "base/DottedQuad.h"
#include "common/Addresses.h"
#include "common/PlatformRoot.h"

#include <algorithm>
#include <cstdio>

namespace kw::platform {

namespace {

constexpr unsigned kUp = 0x1;
constexpr unsigned kBroadcast = 0x2;
constexpr unsigned kLoopback = 0x8;
constexpr unsigned kPointToPoint = 0x10;
constexpr unsigned kSmart = 0x20;
constexpr unsigned kRunning = 0x40;
constexpr unsigned kSimplex = 0x800;
constexpr unsigned kMulticast = 0x8000;

const char* kindName(NetworkInterface::Kind k)
{
    switch (k) {
    case NetworkInterface::Kind::Loopback:
        return "loopback";
    case NetworkInterface::Kind::PointToPoint:
        return "point-to-point";
    case NetworkInterface::Kind::Ethernet:
        break;
    }
    return "ethernet";
}

std::optional<NetworkInterface::Kind> kindFromName(const std::string& s)
{
    if (s == "loopback") {
        return NetworkInterface::Kind::Loopback;
    }
    if (s == "point-to-point") {
        return NetworkInterface::Kind::PointToPoint;
    }
    if (s == "ethernet") {
        return NetworkInterface::Kind::Ethernet;
    }
    return std::nullopt;
}

InterfaceAddress addr(const char* a, const char* m, bool broadcast)
{
    InterfaceAddress ia;
    ia.address = *parseIPv4(a);
    ia.netmask = *parseIPv4(m);
    if (broadcast) {
        ia.broadcast = ia.address | ~ia.netmask;
    }
    return ia;
}

} // namespace

std::string NetworkInterface::flagsText() const
{
    unsigned flags = kMulticast;
    if (up) {
        flags |= kUp | kRunning;
    }
    switch (kind) {
    case Kind::Loopback:
        flags |= kLoopback;
        break;
    case Kind::Ethernet:
        flags |= kBroadcast | kSmart | kSimplex;
        break;
    case Kind::PointToPoint:
        flags |= kPointToPoint;
        break;
    }
    static const std::pair<unsigned, const char*> names[] = {
        { kUp, "UP" },       { kBroadcast, "BROADCAST" }, { kLoopback, "LOOPBACK" }, { kPointToPoint, "POINTOPOINT" },
        { kSmart, "SMART" }, { kRunning, "RUNNING" },     { kSimplex, "SIMPLEX" },   { kMulticast, "MULTICAST" },
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", flags);
    std::string text = std::string(hex) + "<";
    bool first = true;
    for (const auto& [bit, n] : names) {
        if ((flags & bit) != 0) {
            text += first ? "" : ",";
            text += n;
            first = false;
        }
    }
    return text + ">";
}

std::string NetworkInterface::listing() const
{
    std::string out = name + ": flags=" + flagsText() + " mtu " + std::to_string(mtu) + "\n";
    for (const auto& a : addresses) {
        out += "\tinet " + kw::dottedQuad(a.address);
        if (a.destination) {
            out += " --> " + kw::dottedQuad(*a.destination);
        }
        out += " netmask " + formatHexNetmask(a.netmask);
        if (a.broadcast) {
            out += " broadcast " + kw::dottedQuad(*a.broadcast);
        }
        out += "\n";
    }
    if (!ether.empty()) {
        out += "\tether " + ether + "\n";
    }
    return out;
}

StateFile NetworkInterfaces::stateFile()
{
    return StateFile(stateFolder() + "/interfaces.plist");
}

std::vector<NetworkInterface> NetworkInterfaces::defaults()
{
    NetworkInterface lo0;
    lo0.name = "lo0";
    lo0.kind = NetworkInterface::Kind::Loopback;
    lo0.up = true;
    lo0.mtu = 16384;
    lo0.addresses.push_back(addr("127.0.0.1", "255.0.0.0", false));

    NetworkInterface en0;
    en0.name = "en0";
    en0.up = true;
    en0.ether = "02:00:00:00:00:01";
    en0.addresses.push_back(addr("192.168.1.2", "255.255.255.0", true));

    NetworkInterface en1;
    en1.name = "en1";
    en1.up = true;
    en1.ether = "02:00:00:00:00:02";
    en1.addresses.push_back(addr("10.0.1.3", "255.255.255.0", true));

    NetworkInterface ppp0;
    ppp0.name = "ppp0";
    ppp0.kind = NetworkInterface::Kind::PointToPoint;
    ppp0.up = false;

    return { lo0, en0, en1, ppp0 };
}

Value NetworkInterfaces::toValue(const std::vector<NetworkInterface>& interfaces)
{
    Value::Array list;
    for (const auto& i : interfaces) {
        Value v;
        v.set("Name", Value(i.name));
        v.set("Kind", Value(kindName(i.kind)));
        v.set("Up", Value::boolean(i.up));
        v.set("MTU", Value::integer(i.mtu));
        if (!i.ether.empty()) {
            v.set("Ether", Value(i.ether));
        }
        Value::Array addresses;
        for (const auto& a : i.addresses) {
            Value av;
            av.set("Address", Value(kw::dottedQuad(a.address)));
            av.set("Netmask", Value(kw::dottedQuad(a.netmask)));
            if (a.broadcast) {
                av.set("Broadcast", Value(kw::dottedQuad(*a.broadcast)));
            }
            if (a.destination) {
                av.set("Destination", Value(kw::dottedQuad(*a.destination)));
            }
            addresses.push_back(std::move(av));
        }
        v.set("Addresses", Value(std::move(addresses)));
        list.push_back(std::move(v));
    }
    return Value(std::move(list));
}

bool NetworkInterfaces::fromValue(const Value& state, std::vector<NetworkInterface>& out, std::string& error)
{
    const std::string corrupt = "state file " + stateFile().path() + " is corrupt: ";
    const Value::Array* list = state.array();
    if (list == nullptr) {
        error = corrupt + "not an array of interfaces";
        return false;
    }
    out.clear();
    for (const auto& v : *list) {
        NetworkInterface i;
        i.name = stringValueOf(v.get("Name"));
        const auto kind = kindFromName(stringValueOf(v.get("Kind")));
        const Value* up = v.get("Up");
        const Value* addresses = v.get("Addresses");
        if (i.name.empty() || !kind || up == nullptr || !up->boolean() || addresses == nullptr ||
            addresses->array() == nullptr) {
            error = corrupt + "an interface entry lacks its name, kind, state or addresses";
            return false;
        }
        i.kind = *kind;
        i.up = *up->boolean();
        i.mtu = static_cast<int>(integerValueOf(v.get("MTU")));
        i.ether = stringValueOf(v.get("Ether"));
        for (const auto& av : *addresses->array()) {
            InterfaceAddress a;
            const auto address = parseIPv4(stringValueOf(av.get("Address")));
            const auto netmask = parseNetmask(stringValueOf(av.get("Netmask")));
            if (!address || !netmask) {
                error = corrupt + "interface " + i.name + " has an unreadable address";
                return false;
            }
            a.address = *address;
            a.netmask = *netmask;
            if (const Value* b = av.get("Broadcast")) {
                a.broadcast = parseIPv4(stringValueOf(b));
            }
            if (const Value* d = av.get("Destination")) {
                a.destination = parseIPv4(stringValueOf(d));
            }
            i.addresses.push_back(a);
        }
        out.push_back(std::move(i));
    }
    return true;
}

bool NetworkInterfaces::load(std::vector<NetworkInterface>& out, std::string& error)
{
    Value state;
    switch (stateFile().read(state, error)) {
    case StateFile::Status::Failed:
        return false;
    case StateFile::Status::Missing:
        error = "no interface state " + stateFile().path() + " (make the root with kw-sandbox)";
        return false;
    case StateFile::Status::Loaded:
        break;
    }
    return fromValue(state, out, error);
}

bool NetworkInterfaces::update(const std::function<bool(std::vector<NetworkInterface>&, std::string&)>& change,
                               std::string& error)
{
    return stateFile().update(
        [&](Value& state, std::string& err) {
            std::vector<NetworkInterface> interfaces;
            if (!fromValue(state, interfaces, err) || !change(interfaces, err)) {
                return false;
            }
            state = toValue(interfaces);
            return true;
        },
        Value(), error);
}

const NetworkInterface* NetworkInterfaces::owning(const std::vector<NetworkInterface>& interfaces,
                                                  std::uint32_t address, bool onSubnet)
{
    for (const auto& i : interfaces) {
        for (const auto& a : i.addresses) {
            if (a.address == address || (a.destination && *a.destination == address)) {
                return &i;
            }
        }
    }
    if (!onSubnet) {
        return nullptr;
    }
    for (const auto& i : interfaces) {
        if (!i.up) {
            continue;
        }
        for (const auto& a : i.addresses) {
            if ((a.address & a.netmask) == (address & a.netmask)) {
                return &i;
            }
        }
    }
    return nullptr;
}

} // namespace kw::platform
