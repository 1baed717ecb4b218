#pragma once

// Every key of the settings document, defined once. The key texts are stored in users'
// documents and exchanged with the tool, so they never change.
namespace kw::keys {

inline constexpr const char* kPrefsIdentifier = "com.wallworks.keepwall";

// Top level.
inline constexpr const char* STORED_SETTINGS = "STORED_SETTINGS";
inline constexpr const char* CURRENT_SETTING = "CURRENT_SETTING";
inline constexpr const char* DEFAULT_CONFIGURATION = "DEFAULT_CONFIGURATION";
inline constexpr const char* ENABLE_LOGGING = "ENABLE_LOGGING";

// Setting dictionary.
inline constexpr const char* SETTING_NAME = "SETTING_NAME";
inline constexpr const char* CONFIG_MODE = "CONFIG_MODE";
inline constexpr const char* EXPERT_CONFIG_EDIT = "EXPERT_CONFIG_EDIT";
inline constexpr const char* EXPERT_CONFIG_TEXT = "EXPERT_CONFIG_TEXT";
inline constexpr const char* NATD_EXPERT_TEXT = "NATD_EXPERT_TEXT";
inline constexpr const char* INTERFACE_LIST = "INTERFACE_LIST";
inline constexpr const char* NAT_CONFIG = "NAT_CONFIG";
inline constexpr const char* ASSOCIATED_SCSET = "ASSOCIATED_SCSET";

// Interface dictionary.
inline constexpr const char* INTERFACE_NAME = "INTERFACE_NAME";
inline constexpr const char* INTERFACE_LABEL = "INTERFACE_LABEL";
inline constexpr const char* ENABLE_FIREWALL = "ENABLE_FIREWALL";
inline constexpr const char* ADDRESS_TYPE = "ADDRESS_TYPE";
inline constexpr const char* IP_ADDRESS = "IP_ADDRESS";
inline constexpr const char* DEFAULT_OUTGOING_ALLOW = "DEFAULT_OUTGOING_ALLOW";
inline constexpr const char* DEFAULT_INCOMING_ALLOW = "DEFAULT_INCOMING_ALLOW";
inline constexpr const char* ADV_ALLOW_BOOTP = "ADV_ALLOW_BOOTP";
inline constexpr const char* ADV_ALLOW_BROADCAST = "ADV_ALLOW_BROADCAST";
inline constexpr const char* DENY_SOURCE_ROUTE = "DENY_SOURCE_ROUTE";
inline constexpr const char* ADV_ALLOW_NTP = "ADV_ALLOW_NTP";
inline constexpr const char* ADV_ALLOW_RENDEZVOUS = "ADV_ALLOW_RENDEZVOUS";
inline constexpr const char* ADV_ALLOW_ICMP = "ADV_ALLOW_ICMP";
inline constexpr const char* ADV_ALLOW_FTPDATA = "ADV_ALLOW_FTPDATA";
inline constexpr const char* ADV_ALLOW_DNS = "ADV_ALLOW_DNS";
inline constexpr const char* ADV_DNS_TYPE = "ADV_DNS_TYPE";
inline constexpr const char* ADV_DNS_ADDRESS = "ADV_DNS_ADDRESS";
inline constexpr const char* IP_HOST_ADDRESS_TYPE = "IP_HOST_ADDRESS_TYPE";
inline constexpr const char* IP_HOST_ADDRESS = "IP_HOST_ADDRESS";
inline constexpr const char* FILTER_LIST = "FILTER_LIST";

// IP sharing dictionary.
inline constexpr const char* NATD_INTERFACENAME = "NATD_INTERFACENAME";
inline constexpr const char* NATD_INTERFACE = "NATD_INTERFACE";
inline constexpr const char* NAT_DYNADDRESS = "NAT_DYNADDRESS";
inline constexpr const char* NATD_STARTUP = "NATD_STARTUP";
inline constexpr const char* GATEWAYS = "GATEWAYS";

// Gateway dictionary.
inline constexpr const char* NAT_GATEWAY_IP = "NAT_GATEWAY_IP";
inline constexpr const char* NAT_INTERFACE = "NAT_INTERFACE";
inline constexpr const char* NAT_GATEWAY_EXTERNAL = "NAT_GATEWAY_EXTERNAL";
inline constexpr const char* NAT_ALLOW_LOCAL = "NAT_ALLOW_LOCAL";
inline constexpr const char* PORTMAP_LIST = "PORTMAP_LIST";

// Port-map dictionary.
inline constexpr const char* PORTMAP_PROTOCOL = "PORTMAP_PROTOCOL";
inline constexpr const char* PORTMAP_IP = "PORTMAP_IP";
inline constexpr const char* PORTMAP_PORT = "PORTMAP_PORT";
inline constexpr const char* PORTMAP_IN_PORT = "PORTMAP_IN_PORT";
inline constexpr const char* PORTMAP_LABEL = "PORTMAP_LABEL";

inline constexpr const char* kDefaultGateway = "Default Gateway";

} // namespace kw::keys

namespace kw::notifications {

inline constexpr const char* kSettingsChanged = "KWSettingsChangedNotification";
inline constexpr const char* kLogItemsChanged = "KWLogItemsChangedNotification";
inline constexpr const char* kDistributedError = "KWDistributedErrorNotification";
inline constexpr const char* kNotificationObject = "com.wallworks.keepwall";

} // namespace kw::notifications
