#pragma once

#include "IPFWTable.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kw::ipfwemu {

struct ListingOptions {
    bool counters = false;              // -a: packet and byte counters
    bool times = false;                 // -t: time of the last match, or blanks
    std::vector<std::uint32_t> numbers; // only these rules (and no dynamic rules); empty for all
};

// The rule listing: one line per static rule, "%05u", the counters right-aligned to the widest
// one, the 24-character ctime of the last match or as many blanks, the rule text; then, when
// dynamic rules live, "## Dynamic rules:" and one line per dynamic rule:
// "02000 5 320 (T 295, # 17) ty 0 tcp 10.0.0.5 1234 <-> 10.0.0.1 22". Expired dynamic rules
// are left out.
std::string listing(const Table& table, const ListingOptions& options, std::int64_t now);

// The 24-character form of ctime without its line break.
std::string ctimeText(std::int64_t when);

} // namespace kw::ipfwemu
