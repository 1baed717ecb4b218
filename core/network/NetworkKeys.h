#pragma once

// Key texts of the network preferences document and the dynamic store.
namespace kw::netkeys {

inline constexpr const char* kSCPrefSets = "Sets";
inline constexpr const char* kSCPrefNetworkServices = "NetworkServices";
inline constexpr const char* kSCPrefCurrentSet = "CurrentSet";
inline constexpr const char* kSCPropUserDefinedName = "UserDefinedName";
inline constexpr const char* kSCEntNetIPv4 = "IPv4";
inline constexpr const char* kSCEntNetInterface = "Interface";
inline constexpr const char* kSCPropNetIPv4Addresses = "Addresses";
inline constexpr const char* kSCPropNetIPv4ConfigMethod = "ConfigMethod";
inline constexpr const char* kSCValNetIPv4ConfigMethodManual = "Manual";
inline constexpr const char* kSCPropNetInterfaceType = "Type";
inline constexpr const char* kSCValNetInterfaceTypePPP = "PPP";
inline constexpr const char* kSCPropNetInterfaceDeviceName = "DeviceName";
inline constexpr const char* kSCDynamicStorePropNetPrimaryService = "PrimaryService";

inline constexpr const char* kSetupKey = "Setup:";
inline constexpr const char* kGlobalIPv4Key = "State:/Network/Global/IPv4";

// The dynamic store: one property-list dictionary from store key to value, kept by the
// platform under the system root.
inline constexpr const char* kDynamicStorePath = "/var/run/dynamic-store.plist";

} // namespace kw::netkeys
