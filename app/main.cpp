#include "adapters/Resources.h"
#include "base/Log.h"
#include "base/Release.h"
#include "core/IPFWManager.h"
#include "windows/AuthPanelDialog.h"
#include "windows/KeepwallController.h"
#include "windows/MonitorController.h"
#include "windows/NewConfigurationController.h"
#include "windows/insight/PacketTesterController.h"
#include "windows/log/LogController.h"
#include "windows/resolver/ResolverController.h"
#include "windows/settings/InterfaceEditController.h"
#include "windows/settings/SettingsController.h"
#include "windows/syntax/SyntaxChecker.h"

#include <KWSecurity/AuthPanelController.h>
#include <KWSecurity/SecurityStrings.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QThread>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    kw::setReleaseFlagsFromEnvironment();
    std::fputs(kw::KWRunningOnTiger     ? "Running on 10.4 or higher\n"
               : kw::KWRunningOnPanther ? "Running on 10.3 or higher\n"
               : kw::KWRunningOnJaguar  ? "Running on 10.2 or higher\n"
                                        : "Running on 10.1 or lower\n",
               stderr);

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("wallworks"));
    QApplication::setOrganizationDomain(QStringLiteral("wallworks.com"));
    QApplication::setApplicationName(QStringLiteral("Keepwall"));
    QApplication::setApplicationDisplayName(QStringLiteral("Keepwall"));
    QApplication::setWindowIcon(kw::app::Resources::image(QStringLiteral("keepwall")));
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Keepwall, the firewall configurator"));
    options.addHelpOption();
    const QCommandLineOption showMonitor(QStringLiteral("monitor"),
                                         QStringLiteral("Show the firewall monitor at launch."));
    const QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                       QStringLiteral("Quit after the given milliseconds (for smoke tests)."),
                                       QStringLiteral("ms"));
    options.addOption(showMonitor);
    options.addOption(quitAfter);
    options.process(app);

    kw::setSecurityStringTable(kw::app::Resources::propertyListData(QStringLiteral("KWSecurity"), true).toStdString());
    auto& runner = kw::AuthPanelController::sharedInstance();
    runner.windowDidLoad();
    auto& gateway = kw::IPFWManager::sharedInstance();
    kw::app::AuthPanelDialog::install(gateway, runner);

    int status = 0;
    {
        kw::app::KeepwallController delegate(gateway);
        delegate.applicationDidFinishLaunching();
        if (options.isSet(showMonitor)) {
            delegate.showMonitor();
        }
        // Closing the configuration window quits, as Quit does (after the same questions).
        QObject::connect(&app, &QApplication::lastWindowClosed, &delegate, &kw::app::KeepwallController::terminate);
        if (options.isSet(quitAfter)) {
            QTimer::singleShot(options.value(quitAfter).toInt(), &delegate, &kw::app::KeepwallController::terminate);
        }
        status = QApplication::exec();
        if (!delegate.hasTerminated()) {
            delegate.applicationWillTerminate();
        }
        kw::app::PacketTesterController::releaseSharedInstance();
        kw::app::ResolverController::releaseSharedInstance();
        kw::app::InterfaceEditController::releaseSharedInstance();
        delete kw::app::SyntaxChecker::existingInstance();
        kw::app::LogController::releaseSharedInstance();
        kw::app::SettingsController::releaseSharedInstance();
        kw::app::MonitorController::releaseSharedInstance();
        kw::app::NewConfigurationController::releaseSharedInstance();
    }
    return status;
}
