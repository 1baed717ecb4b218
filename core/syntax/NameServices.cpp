#include "syntax/NameServices.h"

#include "base/SystemRoot.h"
#include "syntax/ProtocolDatabase.h"

#include <arpa/inet.h>
#include <cctype>
#include <fstream>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <vector>

namespace kw {

namespace {

// Splits a database line into its fields, dropping the "#" comment.
std::vector<std::string> fieldsOf(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (i < line.size() && line[i] != '#') {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
            ++i;
        }
        if (i > start) {
            fields.emplace_back(line, start, i - start);
        }
    }
    return fields;
}

bool parseNumber(const std::string& text, long max, long& out)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (v > max) {
        return false;
    }
    out = v;
    return true;
}

std::string lowered(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::optional<std::uint32_t> resolveWithSystem(const std::string& name)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> address;
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            address = ntohl(sin->sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(result);
    return address;
}

} // namespace

NameServices::NameServices()
{
    const std::string hostsPath = SystemRoot::path("/etc/hosts");
    if (SystemRoot::isSandbox() && std::ifstream(hostsPath).good()) {
        HostResolver fromFile = hostsFileResolver(hostsPath);
        m_hostResolver = [fromFile](const std::string& name) -> std::optional<std::uint32_t> {
            if (auto a = fromFile(name)) {
                return a;
            }
            return resolveWithSystem(name);
        };
    } else {
        m_hostResolver = resolveWithSystem;
    }
}

NameServices::~NameServices() = default;

void NameServices::setHostResolver(HostResolver resolver)
{
    m_hostResolver = std::move(resolver);
    m_hosts.clear();
}

NameServices::HostResolver NameServices::hostsFileResolver(const std::string& path)
{
    auto table = std::make_shared<std::unordered_map<std::string, std::uint32_t>>();
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto fields = fieldsOf(line);
        in_addr a {};
        if (fields.size() < 2 || inet_pton(AF_INET, fields[0].c_str(), &a) != 1) {
            continue;
        }
        for (std::size_t i = 1; i < fields.size(); ++i) {
            table->emplace(lowered(fields[i]), ntohl(a.s_addr)); // the first line naming a host wins
        }
    }
    return [table](const std::string& name) -> std::optional<std::uint32_t> {
        const auto it = table->find(lowered(name));
        if (it == table->end()) {
            return std::nullopt;
        }
        return it->second;
    };
}

void NameServices::loadFiles()
{
    if (m_filesLoaded) {
        return;
    }
    m_filesLoaded = true;
    // With the root "/" these files are the host's own databases: nothing else to ask.
    const bool hostFiles = !SystemRoot::isSandbox();
    std::string line;

    std::ifstream services(SystemRoot::path("/etc/services"));
    if (services) {
        m_servicesFromFileOnly = hostFiles;
        while (std::getline(services, line)) {
            const auto fields = fieldsOf(line);
            if (fields.size() < 2) {
                continue;
            }
            const auto slash = fields[1].find('/');
            long port = 0;
            if (slash == std::string::npos || !parseNumber(fields[1].substr(0, slash), 65535, port)) {
                continue;
            }
            const std::string protocol = fields[1].substr(slash + 1);
            const ServiceEntry entry { protocol, static_cast<std::uint16_t>(port) };
            m_serviceFile[fields[0]].push_back(entry);
            for (std::size_t i = 2; i < fields.size(); ++i) {
                m_serviceFile[fields[i]].push_back(entry);
            }
        }
    }

    std::ifstream protocols(SystemRoot::path("/etc/protocols"));
    if (protocols) {
        m_protocolsFromFileOnly = hostFiles;
        while (std::getline(protocols, line)) {
            const auto fields = fieldsOf(line);
            long number = 0;
            if (fields.size() < 2 || !parseNumber(fields[1], 255, number)) {
                continue;
            }
            const int n = static_cast<int>(number);
            m_protocolFileByName.emplace(fields[0], n);
            for (std::size_t i = 2; i < fields.size(); ++i) {
                m_protocolFileByName.emplace(fields[i], n);
            }
            m_protocolFileByNumber.emplace(n, fields[0]);
        }
    }
}

std::optional<std::uint32_t> NameServices::hostAddress(const std::string& text)
{
    in_addr a {};
    if (inet_aton(text.c_str(), &a) != 0) {
        return ntohl(a.s_addr);
    }
    if (const auto it = m_hosts.find(text); it != m_hosts.end()) {
        return it->second;
    }
    std::optional<std::uint32_t> address;
    // A name with a NUL inside cannot be passed to the resolver whole; it names no host.
    if (m_hostResolver && !text.empty() && text.find('\0') == std::string::npos) {
        address = m_hostResolver(text);
    }
    m_hosts.emplace(text, address);
    return address;
}

std::optional<std::uint16_t> NameServices::servicePort(const std::string& name, const std::string& protocol)
{
    std::string key;
    key.reserve(name.size() + protocol.size() + 1);
    key.append(protocol).push_back('/');
    key.append(name);
    if (const auto it = m_services.find(key); it != m_services.end()) {
        return it->second;
    }
    loadFiles();
    std::optional<std::uint16_t> port;
    if (const auto it = m_serviceFile.find(name); it != m_serviceFile.end()) {
        for (const auto& entry : it->second) {
            if (protocol.empty() || entry.protocol == protocol) {
                port = entry.port;
                break;
            }
        }
    }
    if (!port && !m_servicesFromFileOnly && name.find('\0') == std::string::npos) {
        servent result {};
        servent* found = nullptr;
        std::vector<char> buffer(4096);
        if (getservbyname_r(name.c_str(), protocol.empty() ? nullptr : protocol.c_str(), &result, buffer.data(),
                            buffer.size(), &found) == 0 &&
            found != nullptr) {
            port = ntohs(static_cast<std::uint16_t>(found->s_port));
        }
    }
    m_services.emplace(std::move(key), port);
    return port;
}

std::optional<int> NameServices::protocolNumber(const std::string& name)
{
    if (const auto it = m_protocols.find(name); it != m_protocols.end()) {
        return it->second;
    }
    loadFiles();
    std::optional<int> number;
    if (const auto it = m_protocolFileByName.find(name); it != m_protocolFileByName.end()) {
        number = it->second;
    }
    if (!number && !m_protocolsFromFileOnly && name.find('\0') == std::string::npos) {
        protoent result {};
        protoent* found = nullptr;
        std::vector<char> buffer(4096);
        if (getprotobyname_r(name.c_str(), &result, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
            number = found->p_proto;
        }
    }
    if (!number) {
        number = protocolDatabaseNumber(name);
    }
    m_protocols.emplace(name, number);
    return number;
}

std::optional<std::string> NameServices::protocolName(int number)
{
    if (const auto it = m_protocolNames.find(number); it != m_protocolNames.end()) {
        return it->second;
    }
    loadFiles();
    std::optional<std::string> name;
    if (const auto it = m_protocolFileByNumber.find(number); it != m_protocolFileByNumber.end()) {
        name = it->second;
    }
    if (!name && !m_protocolsFromFileOnly) {
        protoent result {};
        protoent* found = nullptr;
        std::vector<char> buffer(4096);
        if (getprotobynumber_r(number, &result, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
            name = found->p_name;
        }
    }
    if (!name) {
        if (const char* known = protocolDatabaseName(number)) {
            name = known;
        }
    }
    m_protocolNames.emplace(number, name);
    return name;
}

namespace {

std::optional<NameServices::User> userFrom(int rc, const passwd* found)
{
    if (rc != 0 || found == nullptr) {
        return std::nullopt;
    }
    return NameServices::User { static_cast<std::uint32_t>(found->pw_uid), found->pw_name ? found->pw_name : "" };
}

constexpr std::size_t kPasswdBufferSize = 16384;

} // namespace

std::optional<NameServices::User> NameServices::userByName(const std::string& name)
{
    if (const auto it = m_usersByName.find(name); it != m_usersByName.end()) {
        return it->second;
    }
    std::optional<User> user;
    if (!name.empty() && name.find('\0') == std::string::npos) {
        passwd result {};
        passwd* found = nullptr;
        std::vector<char> buffer(kPasswdBufferSize);
        const int rc = getpwnam_r(name.c_str(), &result, buffer.data(), buffer.size(), &found);
        user = userFrom(rc, found);
    }
    m_usersByName.emplace(name, user);
    return user;
}

std::optional<NameServices::User> NameServices::userById(std::uint32_t uid)
{
    if (const auto it = m_usersById.find(uid); it != m_usersById.end()) {
        return it->second;
    }
    passwd result {};
    passwd* found = nullptr;
    std::vector<char> buffer(kPasswdBufferSize);
    const int rc = getpwuid_r(static_cast<uid_t>(uid), &result, buffer.data(), buffer.size(), &found);
    auto user = userFrom(rc, found);
    m_usersById.emplace(uid, user);
    return user;
}

} // namespace kw
