#pragma once

#include "RunProgram.h"
#include "TempRoot.h"

#include "base/PlistValue.h"
#include "base/Release.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace kw::ipfwemu::test {

// The configured release (KEEPWALL_RELEASE and the release flags) for one scope, restored
// afterwards. Programs started meanwhile inherit it.
class ScopedRelease {
public:
    explicit ScopedRelease(const char* release)
    {
        if (const char* old = std::getenv("KEEPWALL_RELEASE")) {
            m_old = old;
        }
        ::setenv("KEEPWALL_RELEASE", release, 1);
        kw::setReleaseFlagsFromEnvironment();
    }
    ~ScopedRelease()
    {
        if (m_old) {
            ::setenv("KEEPWALL_RELEASE", m_old->c_str(), 1);
        } else {
            ::unsetenv("KEEPWALL_RELEASE");
        }
        kw::setReleaseFlagsFromEnvironment();
    }
    ScopedRelease(const ScopedRelease&) = delete;
    ScopedRelease& operator=(const ScopedRelease&) = delete;

private:
    std::optional<std::string> m_old;
};

// A fresh system root with the kw-ipfw command run as root in it.
class IPFWRootTest : public ::testing::Test {
protected:
    kw::testing::ProgramResult ipfw(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), KW_IPFW_PATH);
        return kw::testing::runAsRoot(std::move(args), input);
    }

    // Runs and expects success.
    std::string ipfwOk(std::vector<std::string> args, const std::string& input = {})
    {
        const auto r = ipfw(args, input);
        std::string line;
        for (const auto& a : args) {
            line += a + ' ';
        }
        EXPECT_EQ(r.exitStatus, 0) << line << "\nstderr: " << r.err;
        return r.out;
    }

    // The rule lines of "list" (without counters), dynamic lines left out.
    std::vector<std::string> ruleLines()
    {
        std::vector<std::string> lines;
        const std::string text = ipfwOk({ "list" });
        std::size_t start = 0;
        while (start < text.size()) {
            const auto end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            if (line.rfind("##", 0) == 0) {
                break;
            }
            lines.push_back(line);
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }

    void setKernelVariables(std::initializer_list<std::pair<const char*, std::int64_t>> values)
    {
        kw::Value::Dictionary d;
        for (const auto& [name, value] : values) {
            d[name] = kw::Value::integer(value);
        }
        root.writeFile("/var/db/kw-platform/sysctl.plist", kw::valueToXml(kw::Value(std::move(d))));
    }

    kw::testing::TempRoot root;
};

} // namespace kw::ipfwemu::test
