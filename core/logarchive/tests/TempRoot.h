#pragma once

#include "base/SystemRoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace kwtest {

// A fresh system root for one test: KEEPWALL_ROOT points at a mkdtemp folder, removed at the end.
class TempRoot {
public:
    TempRoot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kwlog-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
        ::setenv(kw::SystemRoot::kEnvironmentVariable, m_path.c_str(), 1);
    }
    ~TempRoot()
    {
        ::unsetenv(kw::SystemRoot::kEnvironmentVariable);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }

    // Writes a file under the root (path given as the system names it).
    void write(const std::string& systemPath, const std::string& bytes) const
    {
        const std::filesystem::path p = kw::SystemRoot::path(systemPath);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

private:
    std::string m_path;
};

} // namespace kwtest
