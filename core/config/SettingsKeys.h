#pragma once

// Every key of the settings document, defined once. The key texts are stored in users'
// documents and exchanged between the application and the tool, so they never change.

namespace kw::keys {

// Document identifier and top level.
inline constexpr char kPrefsIdentifier[] = "com.wallworks.keepwall";
inline constexpr char kStoredSettings[] = "STORED_SETTINGS";
inline constexpr char kCurrentSetting[] = "CURRENT_SETTING";
inline constexpr char kDefaultConfiguration[] = "DEFAULT_CONFIGURATION";
inline constexpr char kEnableLogging[] = "ENABLE_LOGGING";

// Setting dictionary.
inline constexpr char kSettingName[] = "SETTING_NAME";
inline constexpr char kConfigMode[] = "CONFIG_MODE";
inline constexpr char kExpertConfigEdit[] = "EXPERT_CONFIG_EDIT";
inline constexpr char kExpertConfigText[] = "EXPERT_CONFIG_TEXT";
inline constexpr char kNatdExpertText[] = "NATD_EXPERT_TEXT";
inline constexpr char kInterfaceList[] = "INTERFACE_LIST";
inline constexpr char kNatConfig[] = "NAT_CONFIG";
inline constexpr char kAssociatedScset[] = "ASSOCIATED_SCSET";

// Interface dictionary (entries of INTERFACE_LIST).
inline constexpr char kInterfaceName[] = "INTERFACE_NAME";
inline constexpr char kInterfaceLabel[] = "INTERFACE_LABEL";
inline constexpr char kEnableFirewall[] = "ENABLE_FIREWALL";
inline constexpr char kAddressType[] = "ADDRESS_TYPE";
inline constexpr char kIpAddress[] = "IP_ADDRESS";
inline constexpr char kDefaultOutgoingAllow[] = "DEFAULT_OUTGOING_ALLOW";
inline constexpr char kDefaultIncomingAllow[] = "DEFAULT_INCOMING_ALLOW";
inline constexpr char kAdvAllowBootp[] = "ADV_ALLOW_BOOTP";
inline constexpr char kAdvAllowBroadcast[] = "ADV_ALLOW_BROADCAST";
inline constexpr char kDenySourceRoute[] = "DENY_SOURCE_ROUTE";
inline constexpr char kAdvAllowNtp[] = "ADV_ALLOW_NTP";
inline constexpr char kAdvAllowRendezvous[] = "ADV_ALLOW_RENDEZVOUS";
inline constexpr char kAdvAllowIcmp[] = "ADV_ALLOW_ICMP";
inline constexpr char kAdvAllowFtpData[] = "ADV_ALLOW_FTPDATA";
inline constexpr char kAdvAllowDns[] = "ADV_ALLOW_DNS";
inline constexpr char kAdvDnsType[] = "ADV_DNS_TYPE";
inline constexpr char kAdvDnsAddress[] = "ADV_DNS_ADDRESS";
inline constexpr char kIpHostAddressType[] = "IP_HOST_ADDRESS_TYPE";
inline constexpr char kIpHostAddress[] = "IP_HOST_ADDRESS";
inline constexpr char kFilterList[] = "FILTER_LIST";

// IP sharing dictionary (NAT_CONFIG).
inline constexpr char kNatdInterfaceName[] = "NATD_INTERFACENAME";
inline constexpr char kNatdInterface[] = "NATD_INTERFACE";
inline constexpr char kNatDynAddress[] = "NAT_DYNADDRESS";
inline constexpr char kNatdStartup[] = "NATD_STARTUP";
inline constexpr char kGateways[] = "GATEWAYS";

// Gateway dictionary (entries of GATEWAYS).
inline constexpr char kNatGatewayIp[] = "NAT_GATEWAY_IP";
inline constexpr char kNatInterface[] = "NAT_INTERFACE";
inline constexpr char kNatGatewayExternal[] = "NAT_GATEWAY_EXTERNAL";
inline constexpr char kNatAllowLocal[] = "NAT_ALLOW_LOCAL";
inline constexpr char kPortmapList[] = "PORTMAP_LIST";

// Port-map dictionary (entries of PORTMAP_LIST).
inline constexpr char kPortmapProtocol[] = "PORTMAP_PROTOCOL";
inline constexpr char kPortmapIp[] = "PORTMAP_IP";
inline constexpr char kPortmapPort[] = "PORTMAP_PORT";
inline constexpr char kPortmapInPort[] = "PORTMAP_IN_PORT";
inline constexpr char kPortmapLabel[] = "PORTMAP_LABEL";

// The external gateway that stands for the shared interface's own address.
inline constexpr char kDefaultGatewayText[] = "Default Gateway";

} // namespace kw::keys

namespace kw::notifications {

inline constexpr char kSettingsChanged[] = "KWSettingsChangedNotification";
inline constexpr char kLogItemsChanged[] = "KWLogItemsChangedNotification";
inline constexpr char kDistributedError[] = "KWDistributedErrorNotification";
inline constexpr char kNotificationObject[] = "com.wallworks.keepwall";

} // namespace kw::notifications
