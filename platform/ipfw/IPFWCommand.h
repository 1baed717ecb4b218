#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kw::ipfwemu {

// Exit statuses, as the platform's commands use them.
inline constexpr int kExitUsage = 64;       // bad command line or rule
inline constexpr int kExitDataError = 65;   // bad packet description
inline constexpr int kExitNoInput = 66;     // rule or packet file not readable
inline constexpr int kExitUnavailable = 69; // no such rule to delete or zero
inline constexpr int kExitOSError = 71;     // not permitted, or the state cannot be locked
inline constexpr int kExitIOError = 74;     // the rule table cannot be read, is corrupt, or cannot be written

// Runs one ipfw command line (the arguments after the program name) against the emulated
// kernel of the system root in force:
//   [-afqtdeNsSv] add [number] rule...        [-q] delete number...
//   [-aftq] list|show [number...]              [-q] zero|resetlog [number...]
//   [-fq] flush                                [-q] <file>   (a rule file of such commands)
//   inject <file|-> [--me a.b.c.d,...]         (replays packets; see PacketDescription.h)
// Writes what ipfw writes to out and err and answers the exit status. The caller has put the
// system root in force (establishRoot).
int runIPFW(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

} // namespace kw::ipfwemu
