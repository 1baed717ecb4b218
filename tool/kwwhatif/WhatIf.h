#pragma once

// Which rule decides a packet: the packet filter engine run over a rule table that is either
// made from a setting's generated rule text or read from the loaded rules, without changing
// anything (counters, dynamic rules and log lines stay in this process).

#include "IPFWEngine.h"
#include "IPFWTable.h"

#include "base/PlistValue.h"
#include "syntax/NameServices.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kw::whatif {

// Exit statuses of kw-whatif.
inline constexpr int kExitPass = 0;    // every packet passes
inline constexpr int kExitDeny = 1;    // at least one packet is denied
inline constexpr int kExitUsage = 2;   // bad command line or packet
inline constexpr int kExitNoRules = 3; // the setting or the loaded rules cannot be read

// What one packet met on its way.
struct Answer {
    ipfwemu::Verdict verdict;
    std::uint32_t ruleNumber = 0; // the deciding rule
    std::string ruleText;         // its listing text
    // Rules that matched before it and let the packet go on (count, skipto), in order.
    std::vector<std::pair<std::uint32_t, std::string>> passed;
    bool dynamicCreated = false; // a keep-state or limit rule left a dynamic rule for the flow

    bool passes() const { return verdict.passes(); }
};

class WhatIf {
public:
    WhatIf();
    ~WhatIf();
    WhatIf(const WhatIf&) = delete;
    WhatIf& operator=(const WhatIf&) = delete;

    // Loads rule file text as the packet filter loads "/etc/firewall.conf": one command line
    // per line, only "add" lines (and "flush", which empties the table) count. False with the
    // line and its message in error; as there, the rules before that line stay loaded.
    bool loadRuleText(std::string_view text, std::string& error);
    // Reads the loaded rules and their dynamic rules from the emulated kernel's state (needs
    // the system root; never writes it back).
    bool loadLoadedRules(std::string& error);

    // The host's own addresses ("me"); without a call, the root's interface addresses, else
    // 127.0.0.1.
    void setMyAddresses(std::vector<std::uint32_t> addresses);
    // Interfaces a packet may name; empty: any.
    void setKnownInterfaces(std::set<std::string> names) { m_knownInterfaces = std::move(names); }

    // Reads a packet in the injector's line form, with "me" for the host's first address and
    // "setup" / "established" for the TCP flags of a new or an answering connection. False
    // with a message naming the malformed part.
    bool parsePacket(std::string_view line, ipfwemu::Packet& packet, std::string& error);

    // Runs the packet through the table. With details, the rules passed on the way are
    // collected (one look at every rule's counter, so leave it off for bulk runs).
    Answer evaluate(const ipfwemu::Packet& packet, bool details = true);

    const ipfwemu::Table& table() const { return m_table; }

private:
    void ensureEngine();

    ipfwemu::Table m_table;
    NameServices m_names;
    std::optional<ipfwemu::Engine> m_engine;
    std::optional<std::vector<std::uint32_t>> m_me;
    std::set<std::string> m_knownInterfaces;
    std::int64_t m_now = 0;
};

// The interface names of a quick setting's INTERFACE_LIST.
std::set<std::string> settingInterfaceNames(const Value& setting);

// kw-whatif [--setting N | --key KEY | --rules FILE | --loaded] [--me a.b.c.d,...] PACKET...
// args without the program name. Without a source, the current setting; --setting takes the
// index wallctl's "generate" takes, --rules a rule file ("-": standard input). Prints one block
// per packet ("packet:", "passed:" lines, "decided:", "verdict:", "dynamic:", "result:") and
// answers the exit status. leaveToProcessEnd: the settings document and the rule table are not
// freed (for the command, which ends right after).
int runWhatIf(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
              bool leaveToProcessEnd = false);

} // namespace kw::whatif
