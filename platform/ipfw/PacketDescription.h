#pragma once

#include "IPFWEngine.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kw::ipfwemu {

// One line of a packet file, for replaying traffic through the filter:
//   <in|out> [via IF] [recv IF] [xmit IF] <proto> <src>[:port] -> <dst>[:port] [options]
// e.g. "in via en0 tcp 10.0.0.5:1234 -> 10.0.0.1:22 syn". An incoming packet needs its
// receive interface ("via" or "recv"), an outgoing one its transmit interface ("via" or
// "xmit"); a forwarded outgoing packet may name its receive interface too. The protocol is
// tcp, udp, icmp or a protocol number. Options: TCP flags (syn, ack, fin, rst, psh, urg, alone
// or as a comma list), "len N" (bytes, default 64), "frag" (a later fragment, without ports),
// "ipoptions a,b" (ssrr, lsrr, rr, ts), "tcpoptions a,b" (mss, window, sack, ts, cc),
// "type N" and "code N" (ICMP), "uid N", "bridged".
// Other lines: empty lines and "#" comments; "sleep N" moves the packet clock on by N
// seconds; "time N" sets it to N seconds since the epoch.
struct PacketLine {
    enum class Kind { Nothing, Packet, Sleep, Time };
    Kind kind = Kind::Nothing;
    Packet packet;
    std::int64_t seconds = 0;
};

// False with the reason in error for a line that is none of the above.
bool parsePacketLine(std::string_view line, Engine& engine, PacketLine& out, std::string& error);

} // namespace kw::ipfwemu
