#pragma once

#include "IPFWEngine.h"
#include "IPFWTable.h"
#include "PacketDescription.h"

#include "syntax/IPFWGrammar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>

namespace kw::ipfwemu::test {

// Listing times are printed in local time; the golden rows are written for UTC.
class UtcZone {
public:
    UtcZone()
    {
        if (const char* tz = std::getenv("TZ")) {
            m_old = tz;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcZone()
    {
        if (m_old) {
            ::setenv("TZ", m_old->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> m_old;
};

// A table built from "add ..." lines, as the rule file loader adds them.
inline Table tableOf(std::initializer_list<const char*> lines, std::uint64_t logLimit = 0)
{
    NameServices names;
    names.setHostResolver([](const std::string&) { return std::optional<std::uint32_t>(); });
    Table table;
    for (const char* line : lines) {
        const auto parsed = parseIPFWRuleLine(line, names);
        EXPECT_TRUE(parsed.accepted) << line << ": " << (parsed.errors.empty() ? "" : parsed.errors.front());
        table.add(parsed.rule, logLimit);
    }
    return table;
}

// The verdict for one packet description.
inline std::string verdictFor(Engine& engine, const std::string& packet, std::int64_t now)
{
    PacketLine line;
    std::string error;
    EXPECT_TRUE(parsePacketLine(packet, engine, line, error)) << packet << ": " << error;
    if (line.kind != PacketLine::Kind::Packet) {
        return "<no packet>";
    }
    return verdictText(engine.evaluate(line.packet, now));
}

inline const TableRule& ruleNumbered(const Table& table, std::uint32_t number)
{
    for (const auto& r : table.rules()) {
        if (r.rule.number == number) {
            return r;
        }
    }
    ADD_FAILURE() << "no rule " << number;
    return table.rules().back();
}

} // namespace kw::ipfwemu::test
