#include "network/KWDynamicStore.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "network/NetworkKeys.h"

#include <gtest/gtest.h>

using kw::Value;

namespace {

Value service(const std::string& name, const std::string& type, const std::string& device, const std::string& method,
              Value::Array addresses = {})
{
    Value iface;
    iface.set("Type", Value(type));
    iface.set("DeviceName", Value(device));
    Value ipv4;
    ipv4.set("ConfigMethod", Value(method));
    if (!addresses.empty()) {
        ipv4.set("Addresses", Value(std::move(addresses)));
    }
    Value s;
    s.set("UserDefinedName", Value(name));
    s.set("Interface", iface);
    s.set("IPv4", ipv4);
    return s;
}

class NetworkEnvironment : public ::testing::Test {
protected:
    void SetUp() override
    {
        Value services;
        services.set("S1", service("Built-in Ethernet", "Ethernet", "en0", "Manual", { Value("192.168.1.10") }));
        services.set("S2", service("AirPort", "Ethernet", "en1", "DHCP"));
        services.set("S3", service("PPPoE", "PPP", "en0", "PPP"));
        Value setServices;
        for (const char* id : { "S1", "S2", "S3" }) {
            setServices.set(id, Value(Value::Dictionary {}));
        }
        Value network;
        network.set("Service", setServices);
        Value set;
        set.set("UserDefinedName", Value("Home"));
        set.set("Network", network);
        Value sets;
        sets.set("L1", set);
        Value prefs;
        prefs.set("Sets", sets);
        prefs.set("NetworkServices", services);
        prefs.set("CurrentSet", Value("/Sets/L1"));
        m_root.writeFile("/Library/Preferences/SystemConfiguration/preferences.plist", kw::valueToXml(prefs));
        writeDynamicStore(true);
    }

    void writeDynamicStore(bool networkUp)
    {
        Value setup;
        setup.set("CurrentSet", Value("/Sets/L1"));
        Value store;
        store.set("Setup:", setup);
        if (networkUp) {
            Value ipv4;
            ipv4.set("PrimaryService", Value("S1"));
            store.set("State:/Network/Global/IPv4", ipv4);
        }
        m_root.writeFile(kw::netkeys::kDynamicStorePath, kw::valueToXml(store));
    }

    kw::testing::TempRoot m_root;
};

} // namespace

TEST_F(NetworkEnvironment, CurrentLocationListsItsServices)
{
    const auto location = kw::KWDynamicStore::currentLocation();
    EXPECT_EQ(location.setID(), "L1");
    EXPECT_EQ(location.name(), "Home");
    const auto services = location.services();
    ASSERT_EQ(services.size(), 3u);
    struct Row {
        std::string name;
        std::optional<std::string> device;
        bool ppp;
        bool manual;
    };
    const Row rows[] = {
        { "Built-in Ethernet", "en0", false, true },
        { "AirPort", "en1", false, false },
        { "PPPoE", "ppp0", true, false }, // PPP answers ppp0 whatever device it is configured on
    };
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(services[i].name(), rows[i].name);
        EXPECT_EQ(services[i].deviceName(), rows[i].device);
        EXPECT_EQ(services[i].isPPP(), rows[i].ppp);
        EXPECT_EQ(services[i].hasStaticAddress(), rows[i].manual);
    }
}

TEST_F(NetworkEnvironment, PrimaryServiceWithStaticAddress)
{
    const auto primary = kw::KWDynamicStore::currentService();
    ASSERT_TRUE(primary.has_value());
    EXPECT_EQ(primary->serviceID(), "S1");
    EXPECT_TRUE(primary->hasStaticAddress());
    EXPECT_EQ(primary->IPAddresses(), std::vector<std::string> { "192.168.1.10" });
}

TEST_F(NetworkEnvironment, NoNetworkUpMeansNoCurrentService)
{
    writeDynamicStore(false);
    EXPECT_FALSE(kw::KWDynamicStore::currentService().has_value());
}

TEST_F(NetworkEnvironment, UnknownIdentifiersReadAsNone)
{
    const kw::KWService missing("S9");
    EXPECT_EQ(missing.attributes(), nullptr);
    EXPECT_FALSE(missing.deviceName().has_value());
    EXPECT_FALSE(missing.hasStaticAddress());
    EXPECT_FALSE(missing.IPAddresses().has_value());
    EXPECT_FALSE(kw::KWLocation("L9").name().has_value());
    EXPECT_TRUE(kw::KWLocation("L9").services().empty());
}

TEST_F(NetworkEnvironment, AttributesAreASnapshot)
{
    const kw::KWService s("S2");
    EXPECT_EQ(s.name(), "AirPort");
    m_root.writeFile("/Library/Preferences/SystemConfiguration/preferences.plist", kw::valueToXml(Value()));
    EXPECT_EQ(s.name(), "AirPort");
    EXPECT_FALSE(kw::KWService("S2").name().has_value());
}

TEST_F(NetworkEnvironment, AddAddressRunsIfconfigAndRouteWithSingleArguments)
{
    m_root.writeScript("/sbin/ifconfig", "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"$KEEPWALL_ROOT/calls\"; "
                                         "echo >> \"$KEEPWALL_ROOT/calls\"\n");
    m_root.writeScript("/sbin/route", "for a in \"$@\"; do printf '<%s>' \"$a\"; done >> \"$KEEPWALL_ROOT/calls\"; "
                                      "echo >> \"$KEEPWALL_ROOT/calls\"\n");
    auto& store = kw::KWDynamicStore::sharedInstance();
    EXPECT_TRUE(store.addAddress("10.0.2.1", "en1"));
    EXPECT_TRUE(store.addAddress("10.0.2.2", "en0; touch x"));
    EXPECT_EQ(m_root.readFile("/calls"), "[en1][inet][10.0.2.1][netmask][255.255.255.0][alias][up]\n"
                                         "<add><-host><10.0.2.1><-interface><127.0.0.1>\n"
                                         "[en0; touch x][inet][10.0.2.2][netmask][255.255.255.0][alias][up]\n"
                                         "<add><-host><10.0.2.2><-interface><127.0.0.1>\n");
    EXPECT_FALSE(std::filesystem::exists(m_root / "/x"));
}

TEST_F(NetworkEnvironment, AddAddressRefusesWhatIsNotDottedIPv4)
{
    m_root.writeScript("/sbin/ifconfig", "echo called >> \"$KEEPWALL_ROOT/calls\"\n");
    m_root.writeScript("/sbin/route", "echo called >> \"$KEEPWALL_ROOT/calls\"\n");
    kw::DistributedObserver observer;
    for (const std::string bad : { "$(id)", "10.0.2", "10.0.2.256", "", "10.0.2.1; reboot", "fe80::1" }) {
        EXPECT_TRUE(kw::KWDynamicStore::sharedInstance().addAddress(bad, "en1"));
        const auto n = observer.receive(std::chrono::seconds(1));
        ASSERT_TRUE(n.has_value()) << bad;
        EXPECT_NE(n->object.find("not a dotted IPv4 address"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(m_root / "/calls"));
}
