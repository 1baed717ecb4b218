#pragma once

#include "KernelBackend.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct nft_ctx;

namespace kw::nft {

// The name of the one table the backend owns ("table inet keepwall"); nothing else on the host
// is ever changed or deleted.
inline constexpr const char* kTableFamily = "inet";
inline constexpr const char* kTableName = "keepwall";

struct RuleCounter {
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
};

// The kernel's packet filter through libnftables, in the namespace of the process (enter the
// backend's namespace first). Every change is one batch: it applies whole or not at all.
class NftKernel {
public:
    NftKernel();
    ~NftKernel();
    NftKernel(const NftKernel&) = delete;
    NftKernel& operator=(const NftKernel&) = delete;

    // False with the reason when the library is missing or gives no context.
    bool available(std::string& error) const;

    // Runs a script of nft commands as one transaction; the library's messages go to error.
    bool run(const std::string& script, std::string& error);
    // Runs a command and keeps what it prints.
    bool query(const std::string& command, std::string& output, std::string& error);

    // True when our table exists.
    bool hasTable();
    // Deletes our table when it exists.
    bool removeTable(std::string& error);
    // The packet and byte counts of our named rule counters ("r<id>"), by rule id.
    bool readCounters(std::unordered_map<std::uint64_t, RuleCounter>& counters, std::string& error);
    // Zeroes the counters of the given rule ids (all of them when the list is empty).
    bool resetCounters(const std::vector<std::uint64_t>& ids, std::string& error);

private:
    nft_ctx* m_ctx = nullptr;
};

// Parses the text "list counters table inet keepwall" prints into counts by rule id; counters
// not named "r<digits>" are skipped.
void parseCounterListing(const std::string& text, std::unordered_map<std::uint64_t, RuleCounter>& counters);

// The namespace's IPv4 forwarding switch (/proc/sys/net/ipv4/ip_forward, which shows the
// namespace of the process that opens it).
bool readIPv4Forwarding(bool& on, std::string& error);
bool writeIPv4Forwarding(bool on, std::string& error);

} // namespace kw::nft
