// kw-check: checks an ipfw rule file (or standard input) against the rule grammar and prints
// each syntax event as "<line>: <message>". Exit status 0 when the text was accepted, 1 when
// not, 64 when a line has too many words, 66 when the file cannot be read or is no regular file.
#include "base/AtomicFile.h"
#include "base/NotificationCenter.h"
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
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [rule-file]\n", program);
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
        const bool accepted = kw::IPFWParser::sharedInstance().checkIPFWText(text);
        std::fflush(stdout);
        return accepted ? 0 : 1;
    } catch (const kw::IPFWTooManyArguments& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return kw::IPFWTooManyArguments::exitStatus();
    }
}
