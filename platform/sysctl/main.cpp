// Reads and writes the emulated kernel variables like sysctl(8):
//   sysctl [-n] name ...          prints "name: value" (a node name lists the variables under it)
//   sysctl [-n] -w name=value ... prints "name: old -> new"
//   sysctl [-n] -a                lists every variable
#include "common/Addresses.h"
#include "common/KernelVariables.h"
#include "common/PlatformRoot.h"

#include "KernelBackend.h"
#include "NftKernel.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace kw::platform;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: sysctl [-n] name ...\n       sysctl [-n] -w name=value ...\n       sysctl [-n] -a\n");
    return 1;
}

void print(bool valueOnly, const std::string& name, const std::string& value)
{
    if (valueOnly) {
        std::printf("%s\n", value.c_str());
    } else {
        std::printf("%s: %s\n", name.c_str(), value.c_str());
    }
}

// With the kernel backend, IP forwarding is the namespace's own switch; the other variables are
// the packet filter's and stay recorded under the root.
bool applyToKernel(const std::string& name, std::int64_t value, std::string& error)
{
    kw::nft::KernelBackend backend;
    if (!kw::nft::loadKernelBackend(backend, error)) {
        return false;
    }
    if (!backend.isKernel() || name != KernelVariables::kForwarding) {
        return true;
    }
    return kw::nft::enterNamespace(backend, error) && kw::nft::writeIPv4Forwarding(value != 0, error);
}

// A name that is no variable may be a node: every variable under "name." is shown.
bool show(const std::string& name, bool valueOnly)
{
    std::string error;
    std::int64_t value = 0;
    if (KernelVariables::find(name) != nullptr) {
        if (!KernelVariables::read(name, value, error)) {
            complain(error);
            return false;
        }
        print(valueOnly, name, std::to_string(value));
        return true;
    }
    std::vector<std::pair<std::string, std::int64_t>> all;
    if (!name.empty() && name.back() != '.' && KernelVariables::readAll(all, error)) {
        bool any = false;
        for (const auto& [n, v] : all) {
            if (n.compare(0, name.size() + 1, name + ".") == 0) {
                print(valueOnly, n, std::to_string(v));
                any = true;
            }
        }
        if (any) {
            return true;
        }
    } else if (!error.empty()) {
        complain(error);
        return false;
    }
    complain("unknown oid '" + name + "'");
    return false;
}

bool set(const std::string& assignment, bool valueOnly)
{
    const auto eq = assignment.find('=');
    if (eq == std::string::npos) {
        complain("'" + assignment + "': expected name=value");
        return false;
    }
    const std::string name = assignment.substr(0, eq);
    const std::string text = assignment.substr(eq + 1);
    if (KernelVariables::find(name) == nullptr) {
        complain("unknown oid '" + name + "'");
        return false;
    }
    const auto value = parseDecimal(text, INT64_MIN / 10, INT64_MAX / 10);
    if (!value) {
        complain("invalid integer '" + text + "'");
        return false;
    }
    if (!isSuperUser()) {
        complain(name + ": Operation not permitted");
        return false;
    }
    std::string error;
    std::int64_t old = 0;
    if (!KernelVariables::write(name, *value, old, error)) {
        complain(error);
        return false;
    }
    if (!applyToKernel(name, *value, error)) {
        KernelVariables::write(name, old, old, error); // the kernel keeps its value: so does the record
        complain(error);
        return false;
    }
    if (valueOnly) {
        std::printf("%lld\n", static_cast<long long>(*value));
    } else {
        std::printf("%s: %lld -> %lld\n", name.c_str(), static_cast<long long>(old), static_cast<long long>(*value));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    setProgramName("sysctl");
    bool write = false;
    bool all = false;
    bool valueOnly = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const std::string opt = argv[i];
        if (opt == "--") {
            ++i;
            break;
        }
        for (size_t k = 1; k < opt.size(); ++k) {
            switch (opt[k]) {
            case 'w':
                write = true;
                break;
            case 'a':
            case 'A':
                all = true;
                break;
            case 'n':
                valueOnly = true;
                break;
            default:
                complain(std::string("illegal option -- ") + opt[k]);
                return usage();
            }
        }
    }
    if ((all && (write || i < argc)) || (!all && i >= argc)) {
        return usage();
    }
    if (!establishRoot("/usr/sbin/sysctl")) {
        return 1;
    }
    if (all) {
        std::vector<std::pair<std::string, std::int64_t>> values;
        std::string error;
        if (!KernelVariables::readAll(values, error)) {
            complain(error);
            return 1;
        }
        for (const auto& [n, v] : values) {
            print(valueOnly, n, std::to_string(v));
        }
        return 0;
    }
    int status = 0;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        // Like the real tool, an argument with "=" is a write also without -w.
        const bool ok = (write || arg.find('=') != std::string::npos) ? set(arg, valueOnly) : show(arg, valueOnly);
        if (!ok) {
            status = 1;
        }
    }
    std::fflush(stdout);
    return status;
}
