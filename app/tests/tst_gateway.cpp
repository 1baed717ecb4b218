// The tool gateway on a sandbox root: authentication and its notifications, the tool's command
// words through the real wallctl, the config server, the logging probe.
#include "AppTestSupport.h"

#include "base/MessagePort.h"
#include "base/NotificationCenter.h"
#include "base/PlistValue.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "core/IPFWManager.h"

#include <QFile>
#include <QtTest>

#include <chrono>
#include <thread>

using namespace kw;
using namespace kw::apptest;

class GatewayTest : public QObject {
    Q_OBJECT

private:
    struct Fixture {
        SandboxRoot root;
        AuthPanelController controller;
        IPFWManager gateway { controller };
        TypingPanel panel;
        int authenticatedPosts = 0;
        int deauthenticatedPosts = 0;
        ScopedObserver onAuth { NotificationCenter::defaultCenter(), IPFWManager::kUserAuthenticated,
                                [this](const Notification&) { ++authenticatedPosts; } };
        ScopedObserver onDeauth { NotificationCenter::defaultCenter(), IPFWManager::kUserDeauthenticated,
                                  [this](const Notification&) { ++deauthenticatedPosts; } };

        Fixture()
        {
            gateway.setToolPath(QStringLiteral(KW_BIN_DIR "/wallctl").toStdString());
            controller.setPanelRunner(panel.runner());
        }
    };

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }

    void fetchPasswordAsksOnceThenAnnouncesWithoutAsking()
    {
        Fixture f;
        QVERIFY(!f.gateway.isAuthenticated());
        QVERIFY(f.gateway.fetchPassword());
        QCOMPARE(f.panel.asked, 1);
        QCOMPARE(f.authenticatedPosts, 1);
        QVERIFY(f.gateway.fetchPassword());
        QCOMPARE(f.panel.asked, 1);
        QCOMPARE(f.authenticatedPosts, 2);
        f.gateway.deauthenticate();
        QCOMPARE(f.deauthenticatedPosts, 1);
        QVERIFY(!f.gateway.isAuthenticated());
        QVERIFY(!f.gateway.authorized());
    }

    void cancelledAuthenticationRunsNothing()
    {
        Fixture f;
        f.panel.cancel = true;
        // A tool that would leave a mark if it ran.
        const QString marker = f.root.file(QStringLiteral("/ran"));
        const QString tool = f.root.file(QStringLiteral("/fake-tool"));
        QFile script(tool);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        f.gateway.setToolPath(tool.toStdString());

        f.gateway.applyCurrentSetting();
        QCOMPARE(f.panel.asked, 1);
        QVERIFY(!f.gateway.storeConfiguration(Value(Value::Dictionary {})));
        QVERIFY(!f.gateway.runIPFWTask({ "-at", "list" }, true).has_value());
        QCOMPARE(f.panel.asked, 3);
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(f.authenticatedPosts, 0);
    }

    void workerThreadsNeverShowThePanel()
    {
        Fixture f;
        f.gateway.setInteractionPolicy([] { return false; });
        QVERIFY(!f.gateway.fetchPassword());
        QCOMPARE(f.panel.asked, 0);
    }

    void storeAndActivateThroughTheRealTool()
    {
        Fixture f;
        const std::optional<Value> settings = exampleDocument();
        QVERIFY(settings->isDictionary());

        QVERIFY(f.gateway.storeConfiguration(*settings));
        QCOMPARE(f.panel.asked, 1);
        KeepwallPrefs prefs;
        QCOMPARE(prefs.storedSettings().size(), settings->get("STORED_SETTINGS")->dictionary()->size());
        QVERIFY(!f.gateway.getConfigurationData().has_value()); // released after the run

        f.gateway.applyCurrentSetting();
        const auto listing = f.gateway.runIPFWTask({ "-at", "list" }, true);
        QVERIFY(listing.has_value());
        QVERIFY2(listing->find("allow tcp from any to any 22 in via en0 setup keep-state") != std::string::npos,
                 listing->c_str());
    }

    void emptyStoreStillRunsTheTool()
    {
        Fixture f;
        QVERIFY(f.gateway.storeConfiguration(Value(Value::Dictionary {})));
        KeepwallPrefs prefs;
        QVERIFY(prefs.storedSettings().empty());
    }

    void configServerAnswersOneRequestAndUnknownIdsWithNothing()
    {
        Fixture f;
        f.gateway.storeConfiguration(Value(Value::Dictionary {})); // authenticates
        const auto reply = [&](int id) {
            return MessagePortClient::sendRequest(IPFWManager::kConfigServerName, id, getuid(),
                                                  std::chrono::milliseconds(3000), std::chrono::milliseconds(3000));
        };
        QVERIFY(f.gateway.startServingConfiguration());
        auto answered = reply(3);
        QVERIFY(answered.portFound);
        QVERIFY(!answered.data.has_value());
        f.gateway.stopServingConfiguration();

        // The port is registered before the caller goes on, and serves the log rows.
        f.gateway.deleteLogItems({ Value::integer(7) }); // sets the data, serves, runs the tool
        QVERIFY(f.gateway.getDeleteLogData().has_value());
        QVERIFY(f.gateway.startServingConfiguration());
        answered = reply(IPFWManager::kDeleteLogRequest);
        QVERIFY(answered.data.has_value());
        QVERIFY(answered.data->find("<integer>7</integer>") != std::string::npos);
        f.gateway.stopServingConfiguration();
        // No server left: the tool's request finds none at once.
        QVERIFY(!reply(1).portFound);
    }

    void loggingProbe()
    {
        Fixture f;
        // The sandbox's kernel switch starts off; switched on without a running logger it
        // still answers no on 10.4.
        QVERIFY(!f.gateway.fwLoggingIsEnabled());
        QCOMPARE(f.root.runAsRoot(f.root.file(QStringLiteral("/usr/sbin/sysctl")),
                                  { QStringLiteral("net.inet.ip.fw.verbose=2") }),
                 0);
        QVERIFY(!f.gateway.fwLoggingIsEnabled());
        // The tool's word is cached without probing (a tool that does nothing stands in, so no
        // logger daemon is left behind).
        f.gateway.setToolPath("/bin/true");
        f.gateway.enableFWLogging();
        QVERIFY(f.gateway.loggingEnabled());
        QVERIFY(f.gateway.fwLoggingIsEnabled());
        f.gateway.disableFWLogging();
        QVERIFY(!f.gateway.loggingEnabled());
    }

    void pppoeNameAndProtectedExecutables()
    {
        Fixture f;
        QCOMPARE(IPFWManager::pppoeName(), std::string("ppp0"));
        const auto paths = f.gateway.protectedExecutables();
        QCOMPARE(paths.front(), f.gateway.toolPath());
        for (const auto& path : paths) {
            QVERIFY2(path.front() == '/', path.c_str());
        }
        QVERIFY(std::find(paths.begin(), paths.end(), f.root.file(QStringLiteral("/sbin/ipfw")).toStdString()) !=
                paths.end());
    }
};

QTEST_GUILESS_MAIN(GatewayTest)
#include "tst_gateway.moc"
