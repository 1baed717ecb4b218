// Lists and configures the emulated network interfaces like ifconfig(8):
//   ifconfig [-a | -u | -d]           lists interfaces (all, up only, down only)
//   ifconfig -l                       names the interfaces on one line
//   ifconfig <if>                     lists one interface
//   ifconfig <if> [inet] <addr> [netmask <mask>] [broadcast <addr>] [<dest>] [alias | -alias | delete] [up | down]
//   ifconfig <if> up | down
// Without "alias" the address replaces the interface's first address; with it, it is added
// (an address the interface already has gets the new mask).
#include "base/DottedQuad.h"
#include "common/Addresses.h"
#include "common/NetworkInterfaces.h"
#include "common/PlatformRoot.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using namespace kw::platform;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: ifconfig [-a | -u | -d | -l]\n"
                         "       ifconfig interface [inet] address [netmask mask] [broadcast addr] [dest]"
                         " [alias | -alias | delete] [up | down]\n");
    return 1;
}

struct Request {
    std::optional<std::uint32_t> address;
    std::optional<std::uint32_t> netmask;
    std::optional<std::uint32_t> broadcast;
    std::optional<std::uint32_t> destination;
    bool alias = false;
    bool remove = false;
    std::optional<bool> up;
};

bool parseRequest(const std::vector<std::string>& words, Request& r)
{
    size_t k = 0;
    if (k < words.size() && words[k] == "inet") {
        ++k;
    }
    const auto needValue = [&](const std::string& word) -> const std::string* {
        if (k + 1 >= words.size()) {
            complain(word + ": missing value");
            return nullptr;
        }
        return &words[++k];
    };
    for (; k < words.size(); ++k) {
        const std::string& w = words[k];
        if (w == "alias" || w == "add") {
            r.alias = true;
        } else if (w == "-alias" || w == "delete" || w == "remove") {
            r.remove = true;
        } else if (w == "up") {
            r.up = true;
        } else if (w == "down") {
            r.up = false;
        } else if (w == "netmask") {
            const std::string* v = needValue(w);
            if (v == nullptr) {
                return false;
            }
            r.netmask = parseNetmask(*v);
            if (!r.netmask) {
                complain(*v + ": bad value");
                return false;
            }
        } else if (w == "broadcast") {
            const std::string* v = needValue(w);
            if (v == nullptr) {
                return false;
            }
            r.broadcast = parseIPv4(*v);
            if (!r.broadcast) {
                complain(*v + ": bad value");
                return false;
            }
        } else if (w == "mtu" || w == "inet6" || w == "ether" || w == "lladdr") {
            complain(w + ": not supported here");
            return false;
        } else {
            const auto a = parseIPv4(w);
            if (!a) {
                complain(w + ": bad value");
                return false;
            }
            if (!r.address) {
                r.address = a;
            } else if (!r.destination) {
                r.destination = a;
            } else {
                complain(w + ": bad value");
                return false;
            }
        }
    }
    if (r.alias && r.remove) {
        complain("alias and -alias given together");
        return false;
    }
    if ((r.alias || r.remove || r.netmask || r.broadcast) && !r.address) {
        complain("no address given");
        return false;
    }
    return true;
}

std::uint32_t classfulMask(std::uint32_t a)
{
    if ((a >> 31) == 0) {
        return 0xff000000u;
    }
    if ((a >> 30) == 2) {
        return 0xffff0000u;
    }
    return 0xffffff00u;
}

bool apply(NetworkInterface& i, const Request& r, std::string& error)
{
    if (r.address) {
        auto& list = i.addresses;
        const auto existing =
            std::find_if(list.begin(), list.end(), [&](const InterfaceAddress& a) { return a.address == *r.address; });
        if (r.remove) {
            if (existing == list.end()) {
                error = "ioctl (SIOCDIFADDR): Can't assign requested address";
                return false;
            }
            list.erase(existing);
        } else {
            InterfaceAddress a;
            a.address = *r.address;
            a.netmask =
                r.netmask
                    ? *r.netmask
                    : (existing != list.end()
                           ? existing->netmask
                           : (i.kind == NetworkInterface::Kind::PointToPoint ? 0xff000000u : classfulMask(*r.address)));
            if (i.kind == NetworkInterface::Kind::Ethernet) {
                a.broadcast = r.broadcast ? *r.broadcast : (a.address | ~a.netmask);
            } else if (r.broadcast) {
                error = "broadcast: not a broadcast interface";
                return false;
            }
            if (r.destination) {
                if (i.kind != NetworkInterface::Kind::PointToPoint) {
                    error = kw::dottedQuad(*r.destination) + ": bad value (not a point-to-point interface)";
                    return false;
                }
                a.destination = r.destination;
            }
            if (existing != list.end()) {
                *existing = a;
            } else if (r.alias || list.empty()) {
                list.push_back(a);
            } else {
                list.front() = a;
            }
            // Giving an address brings the interface up, as the real tool does.
            if (!r.up) {
                i.up = true;
            }
        }
    }
    if (r.up) {
        i.up = *r.up;
    }
    return true;
}

int list(const std::string& mode)
{
    std::vector<NetworkInterface> interfaces;
    std::string error;
    if (!NetworkInterfaces::load(interfaces, error)) {
        complain(error);
        return 1;
    }
    if (mode == "-l") {
        std::string line;
        for (const auto& i : interfaces) {
            line += (line.empty() ? "" : " ") + i.name;
        }
        std::printf("%s\n", line.c_str());
        return 0;
    }
    for (const auto& i : interfaces) {
        if ((mode == "-u" && !i.up) || (mode == "-d" && i.up)) {
            continue;
        }
        std::fputs(i.listing().c_str(), stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("ifconfig");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
        const std::string& opt = args[0];
        if ((opt != "-a" && opt != "-u" && opt != "-d" && opt != "-l") || args.size() > 1) {
            return usage();
        }
    }
    if (!establishRoot("/sbin/ifconfig")) {
        return 1;
    }
    if (args.empty() || args[0][0] == '-') {
        return list(args.empty() ? "-a" : args[0]);
    }
    const std::string name = args[0];
    const std::vector<std::string> words(args.begin() + 1, args.end());
    std::vector<NetworkInterface> interfaces;
    std::string error;
    if (!NetworkInterfaces::load(interfaces, error)) {
        complain(error);
        return 1;
    }
    const auto found =
        std::find_if(interfaces.begin(), interfaces.end(), [&](const NetworkInterface& i) { return i.name == name; });
    if (found == interfaces.end()) {
        complain("interface " + name + " does not exist");
        return 1;
    }
    if (words.empty()) {
        std::fputs(found->listing().c_str(), stdout);
        return 0;
    }
    Request request;
    if (!parseRequest(words, request)) {
        return 1;
    }
    if (!isSuperUser()) {
        complain("ioctl (SIOCAIFADDR): Operation not permitted");
        return 1;
    }
    const bool ok = NetworkInterfaces::update(
        [&](std::vector<NetworkInterface>& current, std::string& err) {
            const auto it =
                std::find_if(current.begin(), current.end(), [&](const NetworkInterface& i) { return i.name == name; });
            if (it == current.end()) {
                err = "interface " + name + " does not exist";
                return false;
            }
            return apply(*it, request, err);
        },
        error);
    if (!ok) {
        complain(error);
        return 1;
    }
    return 0;
}
