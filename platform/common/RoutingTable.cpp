#include "common/RoutingTable.h"

#include "base/DottedQuad.h"
#include "common/Addresses.h"
#include "common/PlatformRoot.h"

namespace kw::platform {

bool Route::contains(std::uint32_t address) const
{
    const std::uint32_t mask = netmaskForPrefix(prefixLength);
    return (address & mask) == (destination & mask);
}

std::string Route::describe() const
{
    if (isHost()) {
        return "host " + kw::dottedQuad(destination);
    }
    if (prefixLength == 0) {
        return "net default";
    }
    return "net " + kw::dottedQuad(destination) + "/" + std::to_string(prefixLength);
}

StateFile RoutingTable::stateFile()
{
    return StateFile(stateFolder() + "/routes.plist");
}

std::vector<Route> RoutingTable::defaults()
{
    Route def;
    def.destination = 0;
    def.prefixLength = 0;
    def.gateway = *parseIPv4("192.168.1.1");
    def.interfaceName = "en0";

    Route loopback;
    loopback.destination = *parseIPv4("127.0.0.1");
    loopback.gateway = loopback.destination;
    loopback.interfaceName = "lo0";
    loopback.direct = true;
    return { def, loopback };
}

Value RoutingTable::toValue(const std::vector<Route>& routes)
{
    Value::Array list;
    for (const auto& r : routes) {
        Value v;
        v.set("Destination", Value(kw::dottedQuad(r.destination)));
        v.set("PrefixLength", Value::integer(r.prefixLength));
        v.set("Gateway", Value(kw::dottedQuad(r.gateway)));
        v.set("Interface", Value(r.interfaceName));
        v.set("Direct", Value::boolean(r.direct));
        list.push_back(std::move(v));
    }
    return Value(std::move(list));
}

bool RoutingTable::fromValue(const Value& state, std::vector<Route>& out, std::string& error)
{
    const std::string corrupt = "state file " + stateFile().path() + " is corrupt: ";
    const Value::Array* list = state.array();
    if (list == nullptr) {
        error = corrupt + "not an array of routes";
        return false;
    }
    out.clear();
    for (const auto& v : *list) {
        Route r;
        const auto destination = parseIPv4(stringValueOf(v.get("Destination")));
        const auto gateway = parseIPv4(stringValueOf(v.get("Gateway")));
        const Value* prefix = v.get("PrefixLength");
        const Value* direct = v.get("Direct");
        if (!destination || !gateway || prefix == nullptr || !prefix->integer() || *prefix->integer() < 0 ||
            *prefix->integer() > 32 || direct == nullptr || !direct->boolean()) {
            error = corrupt + "a route entry is unreadable";
            return false;
        }
        r.destination = *destination;
        r.gateway = *gateway;
        r.prefixLength = static_cast<int>(*prefix->integer());
        r.interfaceName = stringValueOf(v.get("Interface"));
        r.direct = *direct->boolean();
        out.push_back(r);
    }
    return true;
}

bool RoutingTable::load(std::vector<Route>& out, std::string& error)
{
    Value state;
    switch (stateFile().read(state, error)) {
    case StateFile::Status::Failed:
        return false;
    case StateFile::Status::Missing:
        error = "no routing state " + stateFile().path() + " (make the root with kw-sandbox)";
        return false;
    case StateFile::Status::Loaded:
        break;
    }
    return fromValue(state, out, error);
}

bool RoutingTable::update(const std::function<bool(std::vector<Route>&, std::string&)>& change, std::string& error)
{
    return stateFile().update(
        [&](Value& state, std::string& err) {
            std::vector<Route> routes;
            if (!fromValue(state, routes, err) || !change(routes, err)) {
                return false;
            }
            state = toValue(routes);
            return true;
        },
        Value(), error);
}

const Route* RoutingTable::lookup(const std::vector<Route>& routes, std::uint32_t address)
{
    const Route* best = nullptr;
    for (const auto& r : routes) {
        if (r.contains(address) && (best == nullptr || r.prefixLength > best->prefixLength)) {
            best = &r;
        }
    }
    return best;
}

} // namespace kw::platform
