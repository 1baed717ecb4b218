#include "KWDynamicStore.h"

#include "NetworkKeys.h"
#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"
#include "config/KWPreferences.h"

#include <arpa/inet.h>

namespace kw {

namespace {

// The network preferences value at a path, read from a freshly opened document.
std::optional<Value> networkPreferencesValue(const std::string& path)
{
    KWPreferences prefs(std::nullopt);
    if (const Value* v = prefs.valueForPath(path)) {
        return *v;
    }
    return std::nullopt;
}

const Value* cachedAttributes(std::optional<Value>& cache, const std::string& path)
{
    if (!cache) {
        cache = networkPreferencesValue(path).value_or(Value());
    }
    return cache->isNone() ? nullptr : &*cache;
}

std::optional<std::string> stringAt(const Value* dict, const char* key)
{
    const Value* v = dict ? dict->get(key) : nullptr;
    if (v == nullptr || !v->isString()) {
        return std::nullopt;
    }
    return *v->string();
}

bool isDottedIPv4(const std::string& address)
{
    in_addr parsed {};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

} // namespace

// ---- KWLocation ----

KWLocation KWLocation::currentLocation()
{
    const auto setup = KWDynamicStore::sharedInstance().valueForKeyPath(netkeys::kSetupKey);
    std::string path = setup ? stringValueOf(setup->get(netkeys::kSCPrefCurrentSet)) : std::string();
    const auto slash = path.find_last_of('/');
    return KWLocation(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string KWLocation::locationPath() const
{
    return std::string("/") + netkeys::kSCPrefSets + "/" + m_setID;
}

const Value* KWLocation::attributes() const
{
    return cachedAttributes(m_attributes, locationPath());
}

std::optional<std::string> KWLocation::name() const
{
    return stringAt(attributes(), netkeys::kSCPropUserDefinedName);
}

std::vector<KWService> KWLocation::services() const
{
    std::vector<KWService> result;
    const auto services = networkPreferencesValue(locationPath() + "/Network/Service");
    if (services && services->isDictionary()) {
        for (const auto& [id, ignored] : *services->dictionary()) {
            result.emplace_back(id);
        }
    }
    return result;
}

// ---- KWService ----

std::optional<KWService> KWService::currentService()
{
    const auto state = KWDynamicStore::sharedInstance().valueForKeyPath(netkeys::kGlobalIPv4Key);
    if (!state) {
        return std::nullopt;
    }
    return KWService(stringValueOf(state->get(netkeys::kSCDynamicStorePropNetPrimaryService)));
}

std::string KWService::servicePath() const
{
    return std::string("/") + netkeys::kSCPrefNetworkServices + "/" + m_serviceID;
}

const Value* KWService::attributes() const
{
    return cachedAttributes(m_attributes, servicePath());
}

std::optional<std::string> KWService::name() const
{
    return stringAt(attributes(), netkeys::kSCPropUserDefinedName);
}

const Value* KWService::ipv4Info() const
{
    const Value* a = attributes();
    return a ? a->get(netkeys::kSCEntNetIPv4) : nullptr;
}

const Value* KWService::interfaceInfo() const
{
    const Value* a = attributes();
    return a ? a->get(netkeys::kSCEntNetInterface) : nullptr;
}

std::optional<std::vector<std::string>> KWService::IPAddresses() const
{
    const Value* info = ipv4Info();
    const Value* addresses = info ? info->get(netkeys::kSCPropNetIPv4Addresses) : nullptr;
    if (addresses == nullptr || !addresses->isArray()) {
        return std::nullopt;
    }
    std::vector<std::string> result;
    for (const auto& a : *addresses->array()) {
        result.push_back(a.stringValue());
    }
    return result;
}

std::optional<std::string> KWService::configMethod() const
{
    return stringAt(ipv4Info(), netkeys::kSCPropNetIPv4ConfigMethod);
}

bool KWService::hasStaticAddress() const
{
    return configMethod() == netkeys::kSCValNetIPv4ConfigMethodManual;
}

std::optional<std::string> KWService::interfaceType() const
{
    return stringAt(interfaceInfo(), netkeys::kSCPropNetInterfaceType);
}

bool KWService::isPPP() const
{
    return interfaceType() == netkeys::kSCValNetInterfaceTypePPP;
}

std::optional<std::string> KWService::deviceName() const
{
    if (isPPP()) {
        return "ppp0";
    }
    return stringAt(interfaceInfo(), netkeys::kSCPropNetInterfaceDeviceName);
}

// ---- KWDynamicStore ----

KWDynamicStore& KWDynamicStore::sharedInstance()
{
    static KWDynamicStore store;
    return store;
}

std::optional<Value> KWDynamicStore::valueForKeyPath(const std::string& key) const
{
    std::string bytes;
    if (!readFile(SystemRoot::path(netkeys::kDynamicStorePath), bytes)) {
        return std::nullopt;
    }
    const auto store = valueFromXml(bytes);
    const Value* v = store ? store->get(key) : nullptr;
    if (v == nullptr) {
        return std::nullopt;
    }
    return *v;
}

bool KWDynamicStore::addAddress(const std::string& address, const std::string& interfaceName)
{
    if (!isDottedIPv4(address)) {
        sendKWErrorNotification(0, "Refusing to add the address \"" + address + "\" to " + interfaceName +
                                       ": not a dotted IPv4 address");
        return true;
    }
    runCommand("/sbin/ifconfig", { interfaceName, "inet", address, "netmask", "255.255.255.0", "alias", "up" });
    runCommand("/sbin/route", { "add", "-host", address, "-interface", "127.0.0.1" });
    return true;
}

} // namespace kw
