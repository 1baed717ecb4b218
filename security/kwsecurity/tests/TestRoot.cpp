#include "TestRoot.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <openssl/evp.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::testing {

std::string sha256Hex(std::string_view text)
{
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

std::string loggedInUser()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

void removeTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string makeTempFolder(const std::string& parent)
{
    std::string templ = parent + "/kwsec-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    chmod(templ.c_str(), 0755);
    return templ;
}

TestFolder::TestFolder(bool asRoot, const std::string& parent)
    : m_path(makeTempFolder(parent))
    , m_asRoot(asRoot)
{
    if (m_asRoot) {
        const char* previous = std::getenv("KEEPWALL_ROOT");
        m_hadRoot = previous != nullptr;
        m_previousRoot = previous != nullptr ? previous : "";
        setenv("KEEPWALL_ROOT", m_path.c_str(), 1);
    }
}

TestFolder::~TestFolder()
{
    if (m_asRoot) {
        if (m_hadRoot) {
            setenv("KEEPWALL_ROOT", m_previousRoot.c_str(), 1);
        } else {
            unsetenv("KEEPWALL_ROOT");
        }
    }
    removeTree(m_path);
}

void TestFolder::addAccount(const std::string& name, const std::string& password, const std::string& groups)
{
    std::ofstream out(file("accounts"), std::ios::app);
    out << name << ':' << sha256Hex(password) << ':' << groups << '\n';
}

void TestFolder::writePamConfig(const std::string& confDir, const std::string& extraArguments)
{
    const std::string module = KW_TEST_PAM_MODULE;
    const std::string accounts = file("accounts");
    const std::string extra = extraArguments.empty() ? "" : " " + extraArguments;
    writeFile(confDir + "/keepwall", "auth required " + module + " accounts=" + accounts + extra +
                                         "\naccount required " + module + " accounts=" + accounts + "\n");
}

LogLines::LogLines()
    : m_lines(std::make_shared<std::vector<std::string>>())
    , m_capture([lines = m_lines](const std::string& line) { lines->push_back(line); })
{}

bool LogLines::contains(std::string_view text) const
{
    for (const auto& line : *m_lines) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string LogLines::joined() const
{
    std::string all;
    for (const auto& line : *m_lines) {
        all += line + "\n";
    }
    return all;
}

} // namespace kw::testing
