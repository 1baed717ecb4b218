// Times the configuration window on a settings document given as the system root's store:
//   bench-configuration        (KEEPWALL_ROOT names a root whose store holds the document)
// Prints the best and median of several rounds for opening the window (loading the current
// setting into its pages), switching interface pages, and generating the expert text.
#include "base/Release.h"
#include "core/IPFWManager.h"
#include "windows/NewConfigurationController.h"

#include <KWSecurity/AuthPanelController.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Figures {
    std::vector<double> ms;
    void add(double v) { ms.push_back(v); }
    void print(const char* what)
    {
        std::sort(ms.begin(), ms.end());
        std::printf("%-44s best %8.2f ms   median %8.2f ms\n", what, ms.front(), ms[ms.size() / 2]);
    }
};

double elapsed(QElapsedTimer& t)
{
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    kw::setReleaseFlagsFromEnvironment();
    QApplication app(argc, argv);
    kw::AuthPanelController controller;
    kw::IPFWManager gateway(controller);

    Figures open;
    Figures switching;
    Figures expert;
    Figures text;
    int interfaces = 0;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer t;
        t.start();
        kw::app::NewConfigurationController window(gateway);
        window.show();
        QApplication::processEvents();
        open.add(elapsed(t));

        auto* pages = window.findChild<QTabWidget*>(QStringLiteral("quickTabView"));
        const int count = pages != nullptr ? pages->count() : 0;
        interfaces = count;
        for (int i = 1; i < std::min(count, 9); ++i) {
            t.restart();
            pages->setCurrentIndex(i);
            QApplication::processEvents();
            switching.add(elapsed(t));
        }
        t.restart();
        const std::string generated = window.expertTextFromQuick();
        text.add(elapsed(t));
        t.restart();
        window.generateExpertTextFromQuick();
        expert.add(elapsed(t));
        if (round == 0) {
            std::printf("expert text: %zu bytes\n", generated.size());
        }
    }
    std::printf("%d interfaces\n", interfaces);
    open.print("open the window on the current setting");
    if (!switching.ms.empty()) {
        switching.print("switch interface page");
    }
    text.print("generate the expert text");
    expert.print("generate it and show it in the text view");
    return 0;
}
