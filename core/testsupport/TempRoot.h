#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

namespace kw::testing {

// A fresh temporary system root, in force (KEEPWALL_ROOT) while the object lives.
class TempRoot {
public:
    TempRoot()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kwroot.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = tmpl;
        if (const char* old = std::getenv("KEEPWALL_ROOT")) {
            m_previous = old;
        }
        ::setenv("KEEPWALL_ROOT", m_path.c_str(), 1);
    }
    ~TempRoot()
    {
        if (m_previous) {
            ::setenv("KEEPWALL_ROOT", m_previous->c_str(), 1);
        } else {
            ::unsetenv("KEEPWALL_ROOT");
        }
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return m_path; }
    // The host path of a system path inside this root.
    std::string operator/(const std::string& systemPath) const { return m_path + systemPath; }

    void writeFile(const std::string& systemPath, const std::string& text,
                   std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_write) const
    {
        const std::filesystem::path p = m_path + systemPath;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        std::filesystem::permissions(p, mode);
    }

    std::string readFile(const std::string& systemPath) const
    {
        std::ifstream in(m_path + systemPath, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Installs an executable shell script at a system path (a stand-in command for tests).
    void writeScript(const std::string& systemPath, const std::string& body) const
    {
        using std::filesystem::perms;
        writeFile(systemPath, "#!/bin/sh\n" + body,
                  perms::owner_all | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec);
    }

private:
    std::string m_path;
    std::optional<std::string> m_previous;
};

} // namespace kw::testing
