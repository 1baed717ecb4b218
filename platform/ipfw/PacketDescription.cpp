#include "PacketDescription.h"

#include "IPFWSystem.h"

#include <charconv>
#include <span>
#include <vector>

namespace kw::ipfwemu {

namespace {

std::vector<std::string_view> splitSpaces(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

template <typename T> bool number(std::string_view text, T& out)
{
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

bool bitList(std::string_view text, std::span<const ipfw::NamedBit> names, std::uint8_t& bits)
{
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view word = text.substr(0, comma);
        bool found = false;
        for (const auto& n : names) {
            if (word == n.name) {
                bits |= n.bit;
                found = true;
            }
        }
        if (!found) {
            return false;
        }
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return true;
}

bool endpoint(std::string_view text, std::uint32_t& address, std::uint16_t& port, bool& hasPort)
{
    const auto colon = text.find(':');
    const auto a = parseDottedAddress(text.substr(0, colon));
    if (!a) {
        return false;
    }
    address = *a;
    hasPort = colon != std::string_view::npos;
    return !hasPort || number(text.substr(colon + 1), port);
}

} // namespace

bool parsePacketLine(std::string_view line, Engine& engine, PacketLine& out, std::string& error)
{
    out = PacketLine();
    if (const auto hash = line.find('#'); hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    const auto w = splitSpaces(line);
    if (w.empty()) {
        return true;
    }
    if (w[0] == "sleep" || w[0] == "time") {
        if (w.size() != 2 || !number(w[1], out.seconds) || out.seconds < 0) {
            error = "\"" + std::string(w[0]) + "\" needs a number of seconds";
            return false;
        }
        out.kind = w[0] == "sleep" ? PacketLine::Kind::Sleep : PacketLine::Kind::Time;
        return true;
    }
    Packet& p = out.packet;
    if (w[0] != "in" && w[0] != "out") {
        error = "a packet starts with \"in\" or \"out\"";
        return false;
    }
    p.outgoing = w[0] == "out";
    std::size_t i = 1;
    while (i + 1 < w.size() && (w[i] == "via" || w[i] == "recv" || w[i] == "xmit")) {
        const int id = engine.interfaceId(w[i + 1]);
        if (w[i] == "recv" || (w[i] == "via" && !p.outgoing)) {
            p.receiveInterface = id;
        } else {
            p.transmitInterface = id;
        }
        i += 2;
    }
    if (p.outgoing ? p.transmitInterface < 0 : p.receiveInterface < 0) {
        error = p.outgoing ? "an outgoing packet needs \"via\" or \"xmit\" and its interface"
                           : "an incoming packet needs \"via\" or \"recv\" and its interface";
        return false;
    }
    if (i >= w.size()) {
        error = "missing protocol";
        return false;
    }
    const std::string_view proto = w[i++];
    unsigned protocolNumber = 0;
    if (proto == "tcp") {
        p.protocol = 6;
    } else if (proto == "udp") {
        p.protocol = 17;
    } else if (proto == "icmp") {
        p.protocol = 1;
    } else if (number(proto, protocolNumber) && protocolNumber < 256) {
        p.protocol = static_cast<std::uint8_t>(protocolNumber);
    } else {
        error = "unknown protocol \"" + std::string(proto) + "\"";
        return false;
    }
    bool srcPort = false;
    bool dstPort = false;
    if (i + 3 > w.size() || w[i + 1] != "->" || !endpoint(w[i], p.src, p.srcPort, srcPort) ||
        !endpoint(w[i + 2], p.dst, p.dstPort, dstPort)) {
        error = "expected \"<address>[:port] -> <address>[:port]\"";
        return false;
    }
    const bool ported = p.protocol == 6 || p.protocol == 17;
    if ((srcPort || dstPort) && !ported) {
        error = "only TCP and UDP packets have ports";
        return false;
    }
    i += 3;
    for (; i < w.size(); ++i) {
        const std::string_view word = w[i];
        const bool hasValue = i + 1 < w.size();
        if (word == "frag") {
            p.fragment = true;
        } else if (word == "bridged") {
            p.bridged = true;
        } else if (word == "len" && hasValue && number(w[i + 1], p.length)) {
            ++i;
        } else if (word == "uid" && hasValue && number(w[i + 1], p.uid)) {
            p.hasUid = true;
            ++i;
        } else if (word == "type" && hasValue && number(w[i + 1], p.icmpType)) {
            ++i;
        } else if (word == "code" && hasValue && number(w[i + 1], p.icmpCode)) {
            ++i;
        } else if (word == "ipoptions" && hasValue && bitList(w[i + 1], ipfw::kIpOptionNames, p.ipOptions)) {
            ++i;
        } else if (word == "tcpoptions" && hasValue && bitList(w[i + 1], ipfw::kTcpOptionNames, p.tcpOptions)) {
            ++i;
        } else if (p.protocol == 6 && bitList(word, ipfw::kTcpFlagNames, p.tcpFlags)) {
            continue;
        } else {
            error = "unknown packet option \"" + std::string(word) + "\"";
            return false;
        }
    }
    if ((p.icmpType != 0 || p.icmpCode != 0) && p.protocol != 1) {
        error = "only ICMP packets have a type and code";
        return false;
    }
    out.kind = PacketLine::Kind::Packet;
    return true;
}

} // namespace kw::ipfwemu
