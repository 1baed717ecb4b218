#pragma once

#include "base/PlistValue.h"
#include "base/Release.h"
#include "rules/ServiceFilter.h"

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>

namespace kw::test {

inline Value num(std::int64_t n)
{
    return Value::integer(n);
}

inline Value dict(std::initializer_list<std::pair<const char*, Value>> entries)
{
    Value::Dictionary d;
    for (const auto& [key, value] : entries) {
        d[key] = value;
    }
    return Value(std::move(d));
}

inline Value list(std::initializer_list<Value> entries)
{
    return Value(Value::Array(entries));
}

inline Value with(Value base, const char* key, Value value)
{
    base.set(key, std::move(value));
    return base;
}

inline Value without(Value base, const char* key)
{
    base.dictionary()->erase(key);
    return base;
}

// Release forms: 10.1 has no stateful rules, 10.2 and 10.4 have them.
inline constexpr double kRelease101 = 620;
inline constexpr double kRelease102 = 663;
inline constexpr double kRelease104 = 824;

// Sets the release flags for one test and puts the previous ones back afterwards.
class ReleaseScope {
public:
    explicit ReleaseScope(double toolkitVersion)
        : m_jaguar(KWRunningOnJaguar)
        , m_panther(KWRunningOnPanther)
        , m_tiger(KWRunningOnTiger)
    {
        setReleaseFlags(toolkitVersion);
    }
    ~ReleaseScope()
    {
        KWRunningOnJaguar = m_jaguar;
        KWRunningOnPanther = m_panther;
        KWRunningOnTiger = m_tiger;
    }
    ReleaseScope(const ReleaseScope&) = delete;
    ReleaseScope& operator=(const ReleaseScope&) = delete;

private:
    bool m_jaguar, m_panther, m_tiger;
};

// Allow tcp port 22 from The Internet to My Computer, host texts "any".
inline Value sshFilter(std::int64_t orderNumber = 1000)
{
    return dict({
        { ServiceFilterLabel, "SSH" },
        { ServiceFilterOrderNumber, num(orderNumber) },
        { ServiceFilterAction, "allow" },
        { ServiceFilterProtocol, "tcp" },
        { ServiceFilterPort, "22" },
        { ServiceFilterSrcHostType, num(kHostInternet) },
        { ServiceFilterSrcHost, "any" },
        { ServiceFilterDstHostType, num(kHostMyComputer) },
        { ServiceFilterDstHost, "any" },
        { ServiceFilterIPOptions, "" },
    });
}

inline std::string readGolden(const std::string& name)
{
    std::ifstream in(std::string(KW_RULES_GOLDEN_DIR) + "/" + name, std::ios::binary);
    if (!in) {
        return "<missing golden file " + name + ">";
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace kw::test
