#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kw {

// The system's name databases as the rule grammar uses them: host names, services (including
// the "divert" protocol of divert sockets), protocols and users. Services and protocols are
// read from the system root's etc/services and etc/protocols when present, before the host's
// own databases; under a sandbox root, host names are looked up in the root's etc/hosts before
// the resolver. Every answer (found or not) is cached for the life of the object, so one object
// per rule check sees each name database once per name. Not thread-safe: one user at a time.
class NameServices {
public:
    // Resolves a host name to an IPv4 address in host byte order, or nothing.
    using HostResolver = std::function<std::optional<std::uint32_t>(const std::string&)>;

    struct User {
        std::uint32_t uid = 0;
        std::string name;
    };

    NameServices();
    ~NameServices();
    NameServices(const NameServices&) = delete;
    NameServices& operator=(const NameServices&) = delete;

    // Replaces the resolver behind hostAddress() (the default is the root's etc/hosts in a
    // sandbox, then the system resolver). Tests and fuzzers use it to stay off the network.
    void setHostResolver(HostResolver resolver);

    // A resolver that answers only from a hosts-format file (address, then names).
    static HostResolver hostsFileResolver(const std::string& path);

    // A dotted address in any form inet_aton accepts, else a host name (its first address).
    std::optional<std::uint32_t> hostAddress(const std::string& text);

    // The port of a service name for a protocol name ("tcp", "udp", "divert"); an empty
    // protocol takes the first entry of any protocol.
    std::optional<std::uint16_t> servicePort(const std::string& name, const std::string& protocol);

    std::optional<int> protocolNumber(const std::string& name);
    std::optional<std::string> protocolName(int number);

    std::optional<User> userByName(const std::string& name);
    std::optional<User> userById(std::uint32_t uid);

private:
    struct ServiceEntry {
        std::string protocol;
        std::uint16_t port;
    };
    void loadFiles();

    HostResolver m_hostResolver;
    bool m_filesLoaded = false;
    bool m_servicesFromFileOnly = false;
    bool m_protocolsFromFileOnly = false;
    // Parsed root files: name or alias -> entries in file order.
    std::unordered_map<std::string, std::vector<ServiceEntry>> m_serviceFile;
    std::unordered_map<std::string, int> m_protocolFileByName;
    std::unordered_map<int, std::string> m_protocolFileByNumber;
    // Answers already given.
    std::unordered_map<std::string, std::optional<std::uint32_t>> m_hosts;
    std::unordered_map<std::string, std::optional<std::uint16_t>> m_services;
    std::unordered_map<std::string, std::optional<int>> m_protocols;
    std::unordered_map<int, std::optional<std::string>> m_protocolNames;
    std::unordered_map<std::string, std::optional<User>> m_usersByName;
    std::unordered_map<std::uint32_t, std::optional<User>> m_usersById;
};

} // namespace kw
