#pragma once

// A quick setting of about 16,000 filters that activation can load: the rule benchmark's kind
// of filters, on as many interfaces as the rule numbers allow. Shared by the agreement test and
// the kw-whatif benchmark.

#include "base/PlistValue.h"
#include "config/SettingsKeys.h"
#include "rules/ServiceFilter.h"

#include <string>

namespace kw::whatif::test {

inline constexpr int kInterfaceCount = 12;
inline constexpr int kFiltersPerInterface = 1350;

inline Value largeSetting()
{
    using namespace kw::keys;
    static const char* const kProtocols[] = { "tcp", "udp", "icmp", "tcp", "udp" };
    Value::Array interfaces;
    for (int n = 0; n < kInterfaceCount; ++n) {
        Value i;
        i.set(kInterfaceName, "en" + std::to_string(n));
        i.set(kEnableFirewall, Value::integer(1));
        for (const char* key : { kAdvAllowBootp, kAdvAllowBroadcast, kDenySourceRoute, kAdvAllowNtp,
                                 kAdvAllowRendezvous, kAdvAllowIcmp, kAdvAllowFtpData, kAdvAllowDns }) {
            i.set(key, Value::integer(1));
        }
        i.set(kAdvDnsType, Value::integer(0));
        i.set(kAdvDnsAddress, "");
        i.set(kIpHostAddressType, Value::integer(1));
        i.set(kIpHostAddress, "10.0." + std::to_string(n) + ".2");
        i.set(kDefaultOutgoingAllow, Value::integer(0));
        i.set(kDefaultIncomingAllow, Value::integer(1));
        Value::Array filters;
        for (int k = 0; k < kFiltersPerInterface; ++k) {
            Value f;
            f.set(ServiceFilterLabel, "Service " + std::to_string(k));
            f.set(ServiceFilterAction, k % 3 == 0 ? "deny" : "allow");
            f.set(ServiceFilterProtocol, kProtocols[k % 5]);
            f.set(ServiceFilterPort, std::to_string(1000 + k));
            f.set(ServiceFilterSourcePort, k % 4 == 0 ? "1024-65535" : "");
            f.set(ServiceFilterSrcHostType, Value::integer(k % 3));
            f.set(ServiceFilterSrcHost, k % 3 == 2 ? "192.168." + std::to_string(k % 256) + ".0/24" : "any");
            f.set(ServiceFilterDstHostType, Value::integer((k + 1) % 2));
            f.set(ServiceFilterDstHost, "any");
            // TCP flags only where the protocol is TCP: ipfw refuses them on other rules.
            f.set(ServiceFilterTCPFlags, k % 11 == 0 && k % 5 % 3 == 0 ? "syn" : "");
            f.set(ServiceFilterICMPTypes, k % 5 == 2 ? "0,8" : "");
            f.set(ServiceFilterShouldLog, Value::integer(k % 2));
            filters.push_back(std::move(f));
        }
        i.set(kFilterList, Value(std::move(filters)));
        interfaces.push_back(std::move(i));
    }
    Value s;
    s.set(kConfigMode, "0");
    s.set(kInterfaceList, Value(std::move(interfaces)));
    return s;
}

} // namespace kw::whatif::test
