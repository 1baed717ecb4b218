#pragma once

#include "base/Log.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kw::testing {

std::string sha256Hex(std::string_view text);
std::string loggedInUser();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
void removeTree(const std::string& path);
std::string makeTempFolder(const std::string& parent);

// A fresh folder with a PAM configuration for the service "keepwall" that runs the test
// module against the folder's "accounts" file. As a sandbox root it is also KEEPWALL_ROOT.
class TestFolder {
public:
    // With asRoot, KEEPWALL_ROOT names the folder while the object lives.
    explicit TestFolder(bool asRoot = true, const std::string& parent = "/tmp");
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& relative) const { return m_path + "/" + relative; }
    void addAccount(const std::string& name, const std::string& password, const std::string& groups = "");
    // The PAM configuration folder holds "keepwall"; for a sandbox root it is <root>/etc/pam.d.
    // extraArguments go to the module's authentication line.
    void writePamConfig(const std::string& confDir, const std::string& extraArguments = "");

private:
    std::string m_path;
    bool m_asRoot;
    std::string m_previousRoot;
    bool m_hadRoot = false;
};

// Collects the log lines written while it lives.
class LogLines {
public:
    LogLines();
    bool contains(std::string_view text) const;
    bool anyContains(std::string_view text) const { return contains(text); }
    const std::vector<std::string>& lines() const { return *m_lines; }
    std::string joined() const;

private:
    std::shared_ptr<std::vector<std::string>> m_lines;
    kw::LogCapture m_capture;
};

} // namespace kw::testing
