// kw-check: checks an ipfw rule file (or standard input) against the rule grammar and prints
// each syntax event as "<line>: <message>". Exit status 0 when the text was accepted, 1 when
// not, 64 when a line has too many words or the command line is wrong, 66 when the file cannot
// be read or is no regular file. With --release-grammar the text is checked as the configured
// release's ipfw reads it (KEEPWALL_RELEASE): no dynamic rules on 10.1, the newer forms on 10.4.
// With --lint the rules are also examined for mistakes the grammar cannot see (rules that never
// match, lockouts), printed as "<line>: warning: <message>"; warnings leave the exit status as is.
#include "base/AtomicFile.h"
#include "base/NotificationCenter.h"
#include "base/Release.h"
#include "lint/RuleLint.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/IPFWParser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitNoInput = 66;

const char* programName(const char* argv0)
{
    const char* slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

} // namespace

int main(int argc, char** argv)
{
    const char* program = argc > 0 ? programName(argv[0]) : "kw-check";
    auto mode = kw::IPFWGrammarMode::Checker;
    bool lint = false;
    while (argc > 1 && (std::strcmp(argv[1], "--release-grammar") == 0 || std::strcmp(argv[1], "--lint") == 0)) {
        // Both read the release: the grammar, and whether keep-state needs a check-state.
        kw::setReleaseFlagsFromEnvironment();
        if (std::strcmp(argv[1], "--lint") == 0) {
            lint = true;
        } else {
            mode = kw::IPFWGrammarMode::Release;
        }
        --argc;
        ++argv;
    }
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [--release-grammar] [--lint] [rule-file]\n", program);
        return kExitUsage;
    }
    std::string text;
    if (argc == 2 && std::strcmp(argv[1], "-") != 0) {
        // Only a regular file is a rule file: a folder, device or FIFO would fail, never end
        // or block the read.
        kw::FileBytes file;
        if (!file.openRegular(argv[1], kw::kMaxReadFileSize)) {
            std::fprintf(stderr, "%s: %s: %s\n", program, argv[1], kw::FileBytes::errorText(errno).c_str());
            return kExitNoInput;
        }
        text.assign(file.bytes());
    } else {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }

    kw::ScopedObserver observer(
        kw::NotificationCenter::defaultCenter(), kw::IPFWParserSyntaxEventNotification, [](const kw::Notification& n) {
            const auto line = kw::integerValueOf(n.userInfo.get(kw::IPFWParserLineNumberItem));
            std::printf("%lld: %s\n", static_cast<long long>(line), n.object.stringValue().c_str());
        });
    try {
        const bool accepted = kw::IPFWParser::sharedInstance().checkIPFWText(text, mode);
        if (lint) {
            for (const auto& warning : kw::lintRuleText(text, kw::lintOptionsForThisProcess())) {
                std::printf("%d: warning: %s\n", warning.line, warning.message.c_str());
            }
        }
        std::fflush(stdout);
        return accepted ? 0 : 1;
    } catch (const kw::IPFWTooManyArguments& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return kw::IPFWTooManyArguments::exitStatus();
    }
}
