#pragma once

#include "common/StateFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kw::platform {

struct InterfaceAddress {
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
    std::optional<std::uint32_t> broadcast;   // broadcast-capable interfaces
    std::optional<std::uint32_t> destination; // point-to-point interfaces
};

// One network interface of the emulated machine.
struct NetworkInterface {
    enum class Kind { Loopback, Ethernet, PointToPoint };

    std::string name;
    Kind kind = Kind::Ethernet;
    bool up = false;
    int mtu = 1500;
    std::string ether; // hardware address of Ethernet interfaces
    std::vector<InterfaceAddress> addresses;

    // The BSD flag word and names ("8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST>").
    std::string flagsText() const;
    // The lines ifconfig prints for this interface.
    std::string listing() const;
};

// The machine's interfaces, kept in var/db/kw-platform/interfaces.plist (an array, in the
// order ifconfig lists them). kw-sandbox seeds lo0, en0, en1 and ppp0.
class NetworkInterfaces {
public:
    static StateFile stateFile();
    static std::vector<NetworkInterface> defaults();

    static bool fromValue(const Value& state, std::vector<NetworkInterface>& out, std::string& error);
    static Value toValue(const std::vector<NetworkInterface>& interfaces);

    // Reads the interfaces; a missing state file is an error (the root was not made by kw-sandbox).
    static bool load(std::vector<NetworkInterface>& out, std::string& error);
    // Changes them under the state lock.
    static bool update(const std::function<bool(std::vector<NetworkInterface>&, std::string&)>& change,
                       std::string& error);

    // The interface that holds the address, or whose subnet holds it when onSubnet.
    static const NetworkInterface* owning(const std::vector<NetworkInterface>& interfaces, std::uint32_t address,
                                          bool onSubnet);
};

} // namespace kw::platform
