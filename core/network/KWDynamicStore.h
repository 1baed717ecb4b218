#pragma once

#include "base/PlistValue.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kw {

class KWService;

// One configured location (a set of services) of the network preferences. Its attributes are
// read once, on first use.
class KWLocation {
public:
    static KWLocation currentLocation();
    explicit KWLocation(std::string locationID)
        : m_setID(std::move(locationID))
    {}

    const std::string& setID() const { return m_setID; }
    std::string locationPath() const;
    const Value* attributes() const;
    std::optional<std::string> name() const;
    std::vector<KWService> services() const;

private:
    std::string m_setID;
    mutable std::optional<Value> m_attributes;
};

// One configured network service. Its attributes are read once, on first use.
class KWService {
public:
    static std::optional<KWService> currentService();
    explicit KWService(std::string serviceID)
        : m_serviceID(std::move(serviceID))
    {}

    const std::string& serviceID() const { return m_serviceID; }
    std::string servicePath() const;
    const Value* attributes() const;
    std::optional<std::string> name() const;
    const Value* ipv4Info() const;
    const Value* interfaceInfo() const;
    std::optional<std::vector<std::string>> IPAddresses() const;
    std::optional<std::string> configMethod() const;
    bool hasStaticAddress() const;
    std::optional<std::string> interfaceType() const;
    bool isPPP() const;
    std::optional<std::string> deviceName() const;

private:
    std::string m_serviceID;
    mutable std::optional<Value> m_attributes;
};

// The live network state, and alias addresses.
class KWDynamicStore {
public:
    static KWDynamicStore& sharedInstance();

    // The store's current value for a key (a copy), or none.
    std::optional<Value> valueForKeyPath(const std::string& key) const;
    static KWLocation currentLocation() { return KWLocation::currentLocation(); }
    static std::optional<KWService> currentService() { return KWService::currentService(); }

    // Adds the address to the interface (netmask 255.255.255.0) and a host route for it to the
    // loopback address. The address and the name reach ifconfig and route as single arguments;
    // an address that is not dotted IPv4 is refused with an error notification. Answers yes.
    bool addAddress(const std::string& address, const std::string& interfaceName);

private:
    KWDynamicStore() = default;
};

} // namespace kw
