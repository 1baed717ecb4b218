#pragma once

#include "common/StateFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kw::platform {

// One route of the emulated routing table.
struct Route {
    std::uint32_t destination = 0;
    int prefixLength = 32; // 32 for a host route, 0 for the default route
    std::uint32_t gateway = 0;
    std::string interfaceName;
    bool direct = false; // added with -interface: the gateway is an address of the interface

    bool isHost() const { return prefixLength == 32; }
    bool contains(std::uint32_t address) const;
    // "host 10.0.2.1", "net 192.168.2.0/24" or "net default", as route names them in messages.
    std::string describe() const;
};

// The routing table, kept in var/db/kw-platform/routes.plist (an array of routes).
class RoutingTable {
public:
    static StateFile stateFile();
    static std::vector<Route> defaults();

    static bool fromValue(const Value& state, std::vector<Route>& out, std::string& error);
    static Value toValue(const std::vector<Route>& routes);

    static bool load(std::vector<Route>& out, std::string& error);
    static bool update(const std::function<bool(std::vector<Route>&, std::string&)>& change, std::string& error);

    // The most specific route that holds the address.
    static const Route* lookup(const std::vector<Route>& routes, std::uint32_t address);
};

} // namespace kw::platform
