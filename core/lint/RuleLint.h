#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

class NameServices;

// A finding about a rule text that the grammar accepts: a rule that can never match, an order
// that changes on reload, a missing way back in for replies, or a lockout. Never an error.
struct LintWarning {
    int line = 0; // 1-based line of the rule text
    std::string message;
    bool lockout = false; // the setting would cut off the connection in use or the loopback

    bool operator==(const LintWarning&) const = default;
};

// The connection the user manages this machine through, when one is visible (an SSH session's
// SSH_CONNECTION): the peer's address, the local address and port. Addresses in host order.
struct ManagementConnection {
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    std::uint32_t localAddress = 0;
    std::uint16_t localPort = 0;
};

struct LintOptions {
    // The kernel consults its dynamic rules only at a check-state rule (releases before 10.4).
    bool requiresCheckState = false;
    std::optional<ManagementConnection> connection;
};

// "client_ip client_port server_ip server_port" as an SSH server sets SSH_CONNECTION; none for
// anything else (an IPv6 session included).
std::optional<ManagementConnection> managementConnectionFromText(std::string_view sshConnection);

// The options for this process: the configured release and the SSH_CONNECTION of its environment.
LintOptions lintOptionsForThisProcess();

// The warnings for a rule file's text (generated or expert), in line order. Lines the grammar
// refuses are left to the syntax check.
std::vector<LintWarning> lintRuleText(std::string_view text, const LintOptions& options, NameServices& names);
std::vector<LintWarning> lintRuleText(std::string_view text, const LintOptions& options);

} // namespace kw
