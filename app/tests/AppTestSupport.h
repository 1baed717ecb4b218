#pragma once

#include "base/PlistValue.h"
#include "core/IPFWManager.h"

#include <KWSecurity/AuthPanelController.h>

#include <QFile>

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <openssl/evp.h>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace kw::apptest {

inline std::string loggedInUser()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::string();
}

inline std::string sha256Hex(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// A fresh sandbox root made by kw-sandbox (the emulated platform commands), in force while the
// object lives, whose PAM stack knows the logged-in user with kPassword.
class SandboxRoot {
public:
    static constexpr const char* kPassword = "right-password";

    SandboxRoot()
    {
        m_dir.setAutoRemove(true);
        const QString path = m_dir.path();
        QProcess::execute(QStringLiteral(KW_BIN_DIR "/kw-sandbox"), { path });
        ::setenv("KEEPWALL_ROOT", path.toLocal8Bit().constData(), 1);
        const std::string accounts = (path + QStringLiteral("/test-accounts")).toStdString();
        std::ofstream(accounts) << loggedInUser() << ':' << sha256Hex(kPassword) << ":\n";
        QDir().mkpath(path + QStringLiteral("/etc/pam.d"));
        std::ofstream(path.toStdString() + "/etc/pam.d/keepwall")
            << "auth required " KW_TEST_PAM_MODULE " accounts=" << accounts << "\naccount required " KW_TEST_PAM_MODULE
            << " accounts=" << accounts << "\n";
    }
    ~SandboxRoot() { ::unsetenv("KEEPWALL_ROOT"); }

    QString path() const { return m_dir.path(); }
    QString file(const QString& systemPath) const { return m_dir.path() + systemPath; }

    // Runs a program of the sandbox as root of a user namespace (or as root).
    int runAsRoot(const QString& program, const QStringList& args, const QByteArray& input = {},
                  QByteArray* output = nullptr) const
    {
        QProcess process;
        if (getuid() == 0) {
            process.start(program, args);
        } else {
            process.start(QStringLiteral("unshare"),
                          QStringList { QStringLiteral("-r"), QStringLiteral("--"), program } + args);
        }
        process.write(input);
        process.closeWriteChannel();
        process.waitForFinished(30000);
        if (output != nullptr) {
            *output = process.readAllStandardOutput();
        }
        return process.exitCode();
    }

    // Runs packet lines through the sandbox's packet filter.
    int inject(const QByteArray& packets) const
    {
        return runAsRoot(file(QStringLiteral("/sbin/ipfw")), { QStringLiteral("inject"), QStringLiteral("-") },
                         packets);
    }

private:
    QTemporaryDir m_dir;
};

// A panel runner that types the given password and counts how often it was asked.
struct TypingPanel {
    std::string password = SandboxRoot::kPassword;
    bool cancel = false;
    int asked = 0;

    AuthPanelController::PanelRunner runner()
    {
        return [this](AuthPanelController& controller) {
            ++asked;
            if (cancel) {
                return AuthPanelController::kModalAbort;
            }
            controller.setPassword(SecureBuffer(password));
            return controller.okayButtonPressed() ? AuthPanelController::kModalOk : AuthPanelController::kModalAbort;
        };
    }
};

// The repository's example settings document.
inline Value exampleDocument()
{
    QFile example(QStringLiteral(KW_SOURCE_DIR "/examples/settings.plist"));
    example.open(QIODevice::ReadOnly);
    const QByteArray xml = example.readAll();
    return valueFromXml(std::string_view(xml.constData(), static_cast<std::size_t>(xml.size()))).value_or(Value());
}

// A sandbox root with a gateway of its own that runs the built wallctl and, when it asks,
// types the right password.
struct SandboxGateway {
    SandboxRoot root;
    AuthPanelController controller;
    IPFWManager gateway { controller };
    TypingPanel panel;

    SandboxGateway()
    {
        gateway.setToolPath(KW_BIN_DIR "/wallctl");
        controller.setPanelRunner(panel.runner());
    }
};

} // namespace kw::apptest
