#pragma once

#include "base/PlistValue.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw::platform {

struct PortRange {
    int first = 0;
    int count = 1;
};

// One "redirect_port proto target:port[-port] [alias:]port[-port] [remote[:port[-port]]]".
struct PortRedirect {
    std::string protocol;                                   // "tcp" or "udp"
    std::vector<std::pair<std::string, PortRange>> targets; // address and ports; several for load sharing
    std::string aliasAddress;                               // empty: the interface's address
    PortRange aliasPorts;
    std::string remoteAddress; // empty: any
    std::optional<PortRange> remotePorts;
};

// One natd instance's settings (the first instance is "default").
struct NatdInstance {
    std::string name = "default";
    std::string interfaceName;
    std::string aliasAddress;
    std::string targetAddress;
    int divertPort = 8668;
    std::optional<int> inPort;
    std::optional<int> outPort;
    bool dynamic = false;
    bool useSockets = false;
    bool samePorts = false;
    bool unregisteredOnly = false;
    bool denyIncoming = false;
    bool log = false;
    bool logDenied = false;
    bool logIpfwDenied = false;
    bool proxyOnly = false;
    bool reverse = false;
    bool verbose = false;
    std::vector<PortRedirect> redirects;
    std::vector<std::string> addressRedirects; // "local public"
    std::vector<std::string> protoRedirects;   // "proto local [public [remote]]"
    std::vector<std::string> proxyRules;

    // The facts other stand-ins need (divert port, interface, redirections).
    Value toValue() const;
};

// natd's settings from its configuration file and command line. The keywords are natd's own
// (long forms and their one-letter abbreviations). Anything else is refused with the line.
class NatdConfiguration {
public:
    NatdConfiguration();

    std::vector<NatdInstance> instances;
    std::string pidFile = "/var/run/natd.pid";
    std::optional<std::string> logFacility;
    int exitDelay = 10;
    std::optional<int> globalPort;
    std::optional<std::string> punchFirewall;

    // Reads a configuration text; where names the source in messages ("/etc/natd.conf").
    // On error, the message names the source and the line ("/etc/natd.conf:3: ...").
    bool readText(std::string_view text, const std::string& where, std::string& error);

    // Applies one option; value is absent for a bare boolean keyword.
    bool apply(const std::string& keyword, const std::optional<std::string>& value, std::string& error);

    // Whether the keyword is known and whether it needs a value (booleans take an optional
    // yes or no).
    enum class Arity { Unknown, Boolean, Value, Config };
    static Arity arity(const std::string& keyword);

    // Checks what single options cannot (an instance without interface or alias address).
    bool validate(std::string& error) const;

private:
    NatdInstance& current() { return instances.back(); }
};

} // namespace kw::platform
