#pragma once

#include "base/NotificationCenter.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/NameServices.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kw::test {

// One syntax event as an observer saw it.
struct Event {
    long long line;
    std::string message;
    std::string type;
    bool operator==(const Event&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Event& e)
{
    return os << e.line << ": " << e.message << " (" << e.type << ")";
}

// Records every syntax event posted while it lives.
class EventRecorder {
public:
    EventRecorder()
        : m_observer(NotificationCenter::defaultCenter(), IPFWParserSyntaxEventNotification,
                     [this](const Notification& n) {
                         m_events.push_back(Event { integerValueOf(n.userInfo.get(IPFWParserLineNumberItem)),
                                                    n.object.string() ? *n.object.string() : "<not a string>",
                                                    stringValueOf(n.userInfo.get(IPFWParserEventTypeItem)) });
                     })
    {}
    const std::vector<Event>& events() const { return m_events; }
    std::vector<std::string> messages() const
    {
        std::vector<std::string> m;
        for (const auto& e : m_events) {
            m.push_back(e.message);
        }
        return m;
    }
    void clear() { m_events.clear(); }

private:
    std::vector<Event> m_events;
    ScopedObserver m_observer;
};

// A fresh system root with the name databases the grammar consults: a services file that
// carries the divert entry, a protocols file and a hosts file. Host names are answered from
// that hosts file only, so no test reaches for the network.
class SyntaxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kwsyntax-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        std::filesystem::create_directories(m_root / "etc");
        write("etc/services", "# test services\n"
                              "ftp-data\t20/tcp\n"
                              "ftp\t\t21/tcp\n"
                              "ssh\t\t22/tcp\n"
                              "telnet\t\t23/tcp\n"
                              "smtp\t\t25/tcp\t\tmail\n"
                              "domain\t\t53/tcp\n"
                              "domain\t\t53/udp\n"
                              "http\t\t80/tcp\t\twww www-http\n"
                              "ntp\t\t123/udp\n"
                              "only-udp\t4000/udp\n"
                              "natd\t\t8668/divert\t# the divert socket of natd\n");
        write("etc/protocols", "ip\t0\tIP\n"
                               "icmp\t1\tICMP\n"
                               "tcp\t6\tTCP\n"
                               "udp\t17\tUDP\n"
                               "gre\t47\tGRE\n");
        write("etc/hosts", "127.0.0.1\tlocalhost\n"
                           "10.1.2.3\tgateway.test gateway\n"
                           "192.0.2.7\tserver.test\n");
        const char* old = std::getenv("KEEPWALL_ROOT");
        m_oldRoot = old ? std::make_unique<std::string>(old) : nullptr;
        setenv("KEEPWALL_ROOT", m_root.c_str(), 1);
        m_names = std::make_unique<NameServices>();
        m_names->setHostResolver(NameServices::hostsFileResolver((m_root / "etc/hosts").string()));
    }

    void TearDown() override
    {
        m_names.reset();
        if (m_oldRoot) {
            setenv("KEEPWALL_ROOT", m_oldRoot->c_str(), 1);
        } else {
            unsetenv("KEEPWALL_ROOT");
        }
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }

    void write(const std::string& relative, const std::string& content)
    {
        std::ofstream out(m_root / relative, std::ios::binary | std::ios::trunc);
        out << content;
    }

    NameServices& names() { return *m_names; }
    const std::filesystem::path& root() const { return m_root; }

private:
    std::filesystem::path m_root;
    std::unique_ptr<std::string> m_oldRoot;
    std::unique_ptr<NameServices> m_names;
};

} // namespace kw::test
