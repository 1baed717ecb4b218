#pragma once

#include "IPFWTable.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kw::ipfwemu {

// Which release's ipfw command prints the listing. 10.1 and 10.2/10.3 share the older userland
// and differ only in the blanks of a rule that never matched; 10.4 has the newer one.
enum class ListingRelease { Puma, Jaguar, Tiger };

// The release configured for this process (the release flags set at start-up).
ListingRelease configuredListingRelease();

struct ListingOptions {
    bool counters = false;              // -a: packet and byte counters
    bool times = false;                 // -t: time of the last match, or blanks
    std::vector<std::uint32_t> numbers; // only these rules (and no dynamic rules); empty for all
    ListingRelease release = ListingRelease::Tiger;
    bool sets = false; // -S: "set N " before each rule's text (10.4; the older command has no sets)
};

// The rule listing as the release's ipfw prints it: one line per static rule, "%05u", the
// counters right-aligned to the widest one, the 24-character ctime of the last match and a
// blank, or for a rule that never matched the release's filler (25 spaces on 10.1, three tabs
// and a space on 10.2/10.3, 24 spaces on 10.4), on 10.4 with -S the rule's set ("set 3 "; the
// default rule is in set 31), then the rule text (ruleTextFor). When dynamic rules live, a
// header and one line per dynamic rule follow (on 10.4 "LIMIT" in place of "STATE" for the
// flows of a limit rule):
//   10.2/10.3  "## Dynamic rules:"
//              "02000 5 320 (T 295, # 17) ty 0 tcp, 10.0.0.5 1234 <-> 10.0.0.1 22"
//   10.4       "## Dynamic rules (1):"
//              "02000 5 320 (295s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22"
// Expired dynamic rules are left out.
std::string listing(const Table& table, const ListingOptions& options, std::int64_t now);

// A rule's text as the release's ipfw prints it. On 10.4 it is the canonical text; the older
// userland writes "prob 0.500000", "keep-state" before the direction
// and interface words, "ipopt", "icmptype", and a port mask in hexadecimal ("1024:0xfc00").
std::string ruleTextFor(const TableRule& rule, ListingRelease release);

// The 24-character form of ctime without its line break.
std::string ctimeText(std::int64_t when);

} // namespace kw::ipfwemu
