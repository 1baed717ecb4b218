#include "common/KernelVariables.h"

#include "common/PlatformRoot.h"

#include <algorithm>
#include <climits>

namespace kw::platform {

const std::vector<KernelVariable>& KernelVariables::all()
{
    // Name order, as sysctl -a lists them.
    static const std::vector<KernelVariable> variables = {
        { "net.inet.ip.forwarding", 0, 0, 1, "forward packets between interfaces" },
        { "net.inet.ip.fw.dyn_ack_lifetime", 300, 1, INT_MAX, "lifetime of established dynamic rules (s)" },
        { "net.inet.ip.fw.dyn_fin_lifetime", 1, 1, INT_MAX, "lifetime of closing dynamic rules (s)" },
        { "net.inet.ip.fw.dyn_max", 4096, 0, INT_MAX, "most dynamic rules at once" },
        { "net.inet.ip.fw.dyn_rst_lifetime", 1, 1, INT_MAX, "lifetime of reset dynamic rules (s)" },
        { "net.inet.ip.fw.dyn_short_lifetime", 5, 1, INT_MAX, "lifetime of other dynamic rules (s)" },
        { "net.inet.ip.fw.dyn_udp_lifetime", 10, 1, INT_MAX, "lifetime of UDP dynamic rules (s)" },
        { "net.inet.ip.fw.enable", 1, 0, 1, "the packet filter is on" },
        { "net.inet.ip.fw.verbose", 0, 0, 2, "log packets of rules marked log (2: through the logger daemon)" },
        { "net.inet.ip.fw.verbose_limit", 0, 0, INT_MAX, "most log lines per rule, 0 for no limit" },
    };
    return variables;
}

const KernelVariable* KernelVariables::find(std::string_view name)
{
    const auto& vars = all();
    const auto it = std::find_if(vars.begin(), vars.end(), [&](const KernelVariable& v) { return name == v.name; });
    return it == vars.end() ? nullptr : &*it;
}

StateFile KernelVariables::stateFile()
{
    return StateFile(stateFolder() + "/sysctl.plist");
}

namespace {

bool load(Value& state, std::string& error)
{
    switch (KernelVariables::stateFile().read(state, error)) {
    case StateFile::Status::Failed:
        return false;
    case StateFile::Status::Missing:
        state = Value(Value::Dictionary {});
        return true;
    case StateFile::Status::Loaded:
        break;
    }
    if (!state.isDictionary()) {
        error = "state file " + KernelVariables::stateFile().path() + " is corrupt (not a dictionary)";
        return false;
    }
    return true;
}

bool valueIn(const Value& state, const KernelVariable& var, std::int64_t& value, std::string& error)
{
    const Value* v = state.get(var.name);
    if (v == nullptr) {
        value = var.defaultValue;
        return true;
    }
    const auto n = v->integer();
    if (!n || v->type() != Value::Type::Integer) {
        error = "state file " + KernelVariables::stateFile().path() + " is corrupt (" + var.name + " is no integer)";
        return false;
    }
    value = *n;
    return true;
}

} // namespace

bool KernelVariables::read(const std::string& name, std::int64_t& value, std::string& error)
{
    const KernelVariable* var = find(name);
    if (var == nullptr) {
        error = "unknown oid '" + name + "'";
        return false;
    }
    Value state;
    return load(state, error) && valueIn(state, *var, value, error);
}

bool KernelVariables::readAll(std::vector<std::pair<std::string, std::int64_t>>& values, std::string& error)
{
    Value state;
    if (!load(state, error)) {
        return false;
    }
    values.clear();
    for (const auto& var : all()) {
        std::int64_t v = 0;
        if (!valueIn(state, var, v, error)) {
            return false;
        }
        values.emplace_back(var.name, v);
    }
    return true;
}

bool KernelVariables::write(const std::string& name, std::int64_t value, std::int64_t& oldValue, std::string& error)
{
    const KernelVariable* var = find(name);
    if (var == nullptr) {
        error = "unknown oid '" + name + "'";
        return false;
    }
    if (value < var->minimum || value > var->maximum) {
        error = name + ": " + std::to_string(value) + ": Invalid argument";
        return false;
    }
    return stateFile().update(
        [&](Value& state, std::string& err) {
            if (!state.isDictionary()) {
                err = "state file " + stateFile().path() + " is corrupt (not a dictionary)";
                return false;
            }
            if (!valueIn(state, *var, oldValue, err)) {
                return false;
            }
            state.set(var->name, Value::integer(value));
            return true;
        },
        Value(Value::Dictionary {}), error);
}

} // namespace kw::platform
