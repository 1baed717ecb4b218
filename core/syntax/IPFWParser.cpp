#include "syntax/IPFWParser.h"

#include <climits>
#include <vector>

namespace kw {

namespace {

std::string lineLabel(int line)
{
    return "Line " + std::to_string(line);
}

} // namespace

IPFWTooManyArguments::IPFWTooManyArguments(int lineNumber)
    : std::runtime_error(lineLabel(lineNumber) + ": too many arguments")
    , m_lineNumber(lineNumber)
{}

bool isEmptyLine(std::string_view line)
{
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

namespace {

// Checks nested on one thread (an observer of the syntax events that checks text itself).
thread_local int t_checkDepth = 0;

// A nested check hands the outer one back its line number, so the outer numbering goes on.
class CheckScope {
public:
    CheckScope()
        : m_lock(ipfwCheckLock())
        , m_outerLine(lineno)
    {
        ++t_checkDepth;
    }
    ~CheckScope()
    {
        if (--t_checkDepth > 0) {
            lineno = m_outerLine;
        }
    }
    CheckScope(const CheckScope&) = delete;
    CheckScope& operator=(const CheckScope&) = delete;

private:
    std::lock_guard<std::recursive_mutex> m_lock;
    int m_outerLine;
};

} // namespace

int checkIPFWText(std::string_view text, NameServices& names)
{
    return checkIPFWText(text, names, IPFWGrammarMode::Checker);
}

int checkIPFWText(std::string_view text, NameServices& names, IPFWGrammarMode mode)
{
    const CheckScope scope;
    lineno = 0;
    int result = 1;
    std::string buffer;
    buffer.reserve(kIPFWMaxLineLength + 1);
    std::vector<const char*> words;
    words.reserve(kIPFWMaxWords + 2);

    std::size_t start = 0;
    bool more = true;
    while (more) {
        const std::size_t end = text.find('\n', start);
        more = end != std::string_view::npos;
        std::string_view line = text.substr(start, more ? end - start : std::string_view::npos);
        start = more ? end + 1 : text.size();
        if (lineno < INT_MAX) {
            ++lineno;
        }

        if (line.empty() || isEmptyLine(line)) {
            continue;
        }
        // The loader reads a line into a buffer of this size: a longer line would reach it cut
        // in two, so it is rejected here rather than checked in a form that will not be loaded.
        if (line.size() > kIPFWMaxLineLength) {
            report_error("line too long (max is %zu bytes)", kIPFWMaxLineLength);
            result = 0;
            continue;
        }
        if (line.front() == '#') {
            continue;
        }
        line = line.substr(0, line.find('#'));
        buffer.assign(line);
        words.clear();
        const std::size_t count = ipfw::splitWords(buffer, words, kIPFWMaxWords + 1);
        if (count == 0) {
            continue;
        }
        if (count > static_cast<std::size_t>(kIPFWMaxWords)) {
            throw IPFWTooManyArguments(lineno);
        }
        words.push_back(nullptr);
        if (add(static_cast<int>(count), words.data(), names, mode) == 0) {
            result = 0;
        }
    }
    return result;
}

int checkIPFWText(std::string_view text)
{
    NameServices names;
    return checkIPFWText(text, names);
}

IPFWParser& IPFWParser::sharedInstance()
{
    static IPFWParser instance;
    return instance;
}

bool IPFWParser::checkIPFWText(std::string_view text)
{
    return kw::checkIPFWText(text) != 0;
}

bool IPFWParser::checkIPFWText(std::string_view text, IPFWGrammarMode mode)
{
    NameServices names;
    return kw::checkIPFWText(text, names, mode) != 0;
}

} // namespace kw
