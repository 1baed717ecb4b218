// Times the keyword colourer on a 20,000-line rule text: colouring the whole text, and one
// typed character (which recolours only its line). Prints the best and median of 5 rounds.
#include "windows/syntax/SyntaxColorizer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s best %8.2f ms   median %8.2f ms\n", what, ms.front(), ms[ms.size() / 2]);
}

// A rule text of the usual mix: a comment block every few rules.
QString ruleText(int lines)
{
    QString text;
    for (int n = 0; n < lines; ++n) {
        if (n % 8 == 0) {
            text += QStringLiteral("# Allow the services of interface en%1\n").arg(n % 4);
        } else {
            text += QStringLiteral("add %1 allow log tcp from any to me 80,443 setup keep-state in via en%2\n")
                        .arg(1000 + n)
                        .arg(n % 4);
        }
    }
    return text;
}

double elapsed(QElapsedTimer& t)
{
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto& colorizer = kw::app::SyntaxColorizer::sharedInstance();
    const QString text = ruleText(20000);
    std::vector<double> whole;
    std::vector<double> typing;
    for (int round = 0; round < 5; ++round) {
        QPlainTextEdit view;
        view.setPlainText(text);
        QElapsedTimer t;
        t.start();
        colorizer.colorizeTextView(&view);
        whole.push_back(elapsed(t));
        QTextCursor cursor(view.document()->findBlockByNumber(10001));
        cursor.movePosition(QTextCursor::EndOfBlock);
        t.restart();
        cursor.insertText(QStringLiteral(" "));
        typing.push_back(elapsed(t));
        colorizer.unregisterTextView(&view);
    }
    QElapsedTimer spans;
    spans.start();
    qsizetype count = 0;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        count += colorizer.keywordSpans(line).size();
    }
    const double spanMs = elapsed(spans);
    std::printf("keyword spans of every line alone: %.2f ms (%lld spans)\n", spanMs, static_cast<long long>(count));
    std::printf("%lld characters, 20000 lines, %lld keywords\n", static_cast<long long>(text.size()),
                static_cast<long long>(colorizer.keywords().size()));
    print("colour the whole text", whole);
    print("type one character (its line recoloured)", typing);
    return 0;
}
