// Changes and queries the emulated routing table like route(8):
//   route [-n] [-q] add [-host | -net] <dest>[/bits] <gateway> [-netmask <mask>] [-interface]
//   route [-n] [-q] delete [-host | -net] <dest>[/bits]
//   route [-n] get <address>
// "default" names the default route. With -interface the gateway is an address of the
// interface that reaches the destination directly ("add -host 10.0.2.1 -interface 127.0.0.1"
// routes that address through the loopback interface).
#include "base/DottedQuad.h"
#include "common/Addresses.h"
#include "common/NetworkInterfaces.h"
#include "common/PlatformRoot.h"
#include "common/RoutingTable.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace kw::platform;

namespace {

constexpr int kUsage = 64; // EX_USAGE, as the real tool exits on a malformed command line

int usage(const std::string& why = {})
{
    if (!why.empty()) {
        complain(why);
    }
    std::fprintf(stderr,
                 "usage: route [-nq] add|delete [-host|-net] destination [gateway] [-netmask mask] [-interface]\n"
                 "       route [-n] get destination\n");
    return kUsage;
}

struct Spec {
    std::optional<bool> host; // -host / -net
    std::string destinationText;
    std::string gatewayText;
    std::optional<std::uint32_t> netmask;
    bool direct = false;
};

bool parseSpec(const std::vector<std::string>& w, bool needGateway, Spec& s, std::string& why)
{
    for (size_t k = 0; k < w.size(); ++k) {
        const std::string& a = w[k];
        if (a == "-host") {
            s.host = true;
        } else if (a == "-net") {
            s.host = false;
        } else if (a == "-interface" || a == "-iface") {
            s.direct = true;
        } else if (a == "-netmask") {
            if (k + 1 >= w.size()) {
                why = "-netmask: missing value";
                return false;
            }
            s.netmask = parseNetmask(w[++k]);
            if (!s.netmask) {
                why = "bad netmask: " + w[k];
                return false;
            }
        } else if (!a.empty() && a[0] == '-') {
            why = "unknown modifier " + a;
            return false;
        } else if (s.destinationText.empty()) {
            s.destinationText = a;
        } else if (s.gatewayText.empty()) {
            s.gatewayText = a;
        } else {
            why = "too many arguments: " + a;
            return false;
        }
    }
    if (s.destinationText.empty()) {
        why = "no destination given";
        return false;
    }
    if (needGateway && s.gatewayText.empty()) {
        why = "no gateway given";
        return false;
    }
    return true;
}

bool resolveDestination(const Spec& s, Route& r, std::string& why)
{
    std::string text = s.destinationText;
    why = "bad address: " + s.destinationText;
    if (text == "default") {
        if (s.host.value_or(false)) {
            return false;
        }
        r.destination = 0;
        r.prefixLength = 0;
        return true;
    }
    std::optional<int> prefix;
    if (const auto slash = text.find('/'); slash != std::string::npos) {
        const auto bits = parseDecimal(text.substr(slash + 1), 0, 32);
        if (!bits) {
            return false;
        }
        prefix = static_cast<int>(*bits);
        text.erase(slash);
    } else if (s.netmask) {
        prefix = prefixLength(*s.netmask);
    }
    const auto a = parseIPv4(text);
    if (!a) {
        return false;
    }
    if (!prefix) {
        // A network without a mask takes its class's mask; anything else is one host.
        const bool net = !s.host.value_or(true);
        prefix = !net ? 32 : ((*a >> 31) == 0 ? 8 : ((*a >> 30) == 2 ? 16 : 24));
    }
    if (s.host.value_or(false) && *prefix != 32) {
        return false;
    }
    r.prefixLength = *prefix;
    r.destination = *a & netmaskForPrefix(*prefix);
    why.clear();
    return true;
}

int add(const Spec& s, bool quiet)
{
    Route r;
    std::string why;
    if (!resolveDestination(s, r, why)) {
        complain(why);
        return 1;
    }
    const auto gateway = parseIPv4(s.gatewayText);
    if (!gateway) {
        complain("bad address: " + s.gatewayText);
        return 1;
    }
    r.gateway = *gateway;
    r.direct = s.direct;
    if (!isSuperUser()) {
        complain("must be root to alter routing table");
        return 1;
    }
    std::string error;
    std::string failure;
    const bool ok = RoutingTable::update(
        [&](std::vector<Route>& routes, std::string& err) {
            std::vector<NetworkInterface> interfaces;
            if (!NetworkInterfaces::load(interfaces, err)) {
                return false;
            }
            // -interface: the gateway is an address of the interface; otherwise it must lie on
            // a network an interface reaches directly.
            const NetworkInterface* via = NetworkInterfaces::owning(interfaces, r.gateway, !r.direct);
            if (via == nullptr) {
                failure = "Network is unreachable";
                return false;
            }
            r.interfaceName = via->name;
            const bool exists = std::any_of(routes.begin(), routes.end(), [&](const Route& o) {
                return o.destination == r.destination && o.prefixLength == r.prefixLength;
            });
            if (exists) {
                failure = "File exists";
                return false;
            }
            routes.push_back(r);
            return true;
        },
        error);
    if (!ok) {
        if (!failure.empty()) {
            complain("writing to routing socket: " + failure);
            std::printf("add %s: gateway %s: %s\n", r.describe().c_str(), s.gatewayText.c_str(), failure.c_str());
        } else {
            complain(error);
        }
        return 1;
    }
    if (!quiet) {
        std::printf("add %s: gateway %s\n", r.describe().c_str(), s.gatewayText.c_str());
    }
    return 0;
}

int remove(const Spec& s, bool quiet)
{
    Route r;
    std::string why;
    if (!resolveDestination(s, r, why)) {
        complain(why);
        return 1;
    }
    if (!isSuperUser()) {
        complain("must be root to alter routing table");
        return 1;
    }
    std::string error;
    bool missing = false;
    const bool ok = RoutingTable::update(
        [&](std::vector<Route>& routes, std::string&) {
            const auto it = std::find_if(routes.begin(), routes.end(), [&](const Route& o) {
                return o.destination == r.destination && o.prefixLength == r.prefixLength;
            });
            if (it == routes.end()) {
                missing = true;
                return false;
            }
            routes.erase(it);
            return true;
        },
        error);
    if (!ok) {
        if (missing) {
            complain("writing to routing socket: No such process");
            std::printf("delete %s: not in table\n", r.describe().c_str());
        } else {
            complain(error);
        }
        return 1;
    }
    if (!quiet) {
        std::printf("delete %s\n", r.describe().c_str());
    }
    return 0;
}

int get(const Spec& s)
{
    const auto a = s.destinationText == "default" ? std::optional<std::uint32_t>(0) : parseIPv4(s.destinationText);
    if (!a) {
        complain("bad address: " + s.destinationText);
        return 1;
    }
    std::vector<Route> routes;
    std::string error;
    if (!RoutingTable::load(routes, error)) {
        complain(error);
        return 1;
    }
    const Route* r = RoutingTable::lookup(routes, *a);
    if (r == nullptr) {
        complain("writing to routing socket: No such process");
        return 1;
    }
    std::printf("   route to: %s\n", s.destinationText.c_str());
    std::printf("destination: %s\n", r->prefixLength == 0 ? "default" : kw::dottedQuad(r->destination).c_str());
    if (!r->isHost()) {
        std::printf("       mask: %s\n",
                    r->prefixLength == 0 ? "default" : kw::dottedQuad(netmaskForPrefix(r->prefixLength)).c_str());
    }
    if (!r->direct) {
        std::printf("    gateway: %s\n", kw::dottedQuad(r->gateway).c_str());
    }
    std::printf("  interface: %s\n", r->interfaceName.c_str());
    std::printf("      flags: <UP,%s%sDONE,STATIC>\n", r->direct ? "" : "GATEWAY,", r->isHost() ? "HOST," : "");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("route");
    bool quiet = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string opt = argv[i];
        for (size_t k = 1; k < opt.size(); ++k) {
            if (opt[k] == 'q') {
                quiet = true;
            } else if (opt[k] != 'n' && opt[k] != 'v' && opt[k] != 'd' && opt[k] != 't') {
                return usage(std::string("illegal option -- ") + opt[k]);
            }
        }
    }
    if (i >= argc) {
        return usage();
    }
    const std::string command = argv[i];
    const std::vector<std::string> words(argv + i + 1, argv + argc);
    Spec spec;
    std::string why;
    if (command == "add") {
        if (!parseSpec(words, true, spec, why)) {
            return usage(why);
        }
    } else if (command == "delete" || command == "get") {
        if (!parseSpec(words, false, spec, why)) {
            return usage(why);
        }
    } else {
        return usage(command + ": unknown command");
    }
    if (!establishRoot("/sbin/route")) {
        return 1;
    }
    if (command == "add") {
        return add(spec, quiet);
    }
    if (command == "delete") {
        return remove(spec, quiet);
    }
    return get(spec);
}
