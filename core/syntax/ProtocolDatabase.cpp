#include "syntax/ProtocolDatabase.h"

namespace kw {

namespace {

struct ProtocolEntry {
    int number;
    const char* name;
};
constexpr ProtocolEntry kProtocolDatabase[] = {
    { 0, "ip" },         { 1, "icmp" },        { 2, "igmp" },       { 3, "ggp" },   { 4, "ipencap" },
    { 5, "st" },         { 6, "tcp" },         { 8, "egp" },        { 9, "igp" },   { 12, "pup" },
    { 17, "udp" },       { 20, "hmp" },        { 22, "xns-idp" },   { 27, "rdp" },  { 29, "iso-tp4" },
    { 36, "xtp" },       { 37, "ddp" },        { 38, "idpr-cmtp" }, { 41, "ipv6" }, { 43, "ipv6-route" },
    { 44, "ipv6-frag" }, { 46, "rsvp" },       { 47, "gre" },       { 50, "esp" },  { 51, "ah" },
    { 58, "ipv6-icmp" }, { 59, "ipv6-nonxt" }, { 60, "ipv6-opts" }, { 73, "rspf" }, { 81, "vmtp" },
    { 89, "ospf" },      { 94, "ipip" },       { 98, "encap" },     { 103, "pim" }, { 108, "ipcomp" },
};

} // namespace

const char* protocolDatabaseName(int protocol)
{
    for (const auto& entry : kProtocolDatabase) {
        if (entry.number == protocol) {
            return entry.name;
        }
    }
    return nullptr;
}

std::optional<int> protocolDatabaseNumber(std::string_view name)
{
    for (const auto& entry : kProtocolDatabase) {
        if (name == entry.name) {
            return entry.number;
        }
    }
    return std::nullopt;
}

} // namespace kw
