#pragma once

#include "syntax/IPFWGrammar.h"
#include "syntax/NameServices.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace kw {

// Longest line the checker examines (its line buffer holds this many bytes and a NUL).
inline constexpr std::size_t kIPFWMaxLineLength = 1023;
// Most words a line may have; one more stops the check.
inline constexpr int kIPFWMaxWords = 31;

// A line of 32 words or more stops the whole check. The command-line programs end with
// exitStatus() (64) after writing "<program>: " and what() ("Line 7: too many arguments") to
// standard error; the application reports it and goes on.
class IPFWTooManyArguments : public std::runtime_error {
public:
    explicit IPFWTooManyArguments(int lineNumber);
    int lineNumber() const { return m_lineNumber; }
    static constexpr int exitStatus() { return 64; }

private:
    int m_lineNumber;
};

// Checks a whole rule text line by line (lines end at a line feed; a carriage return is white
// space; "#" starts a comment) and answers 1 when every examined line was accepted, else 0.
// Syntax events for rejected lines are posted on the calling thread, in line order, before the
// call returns, each with its 1-based line number over the whole text. A line longer than
// kIPFWMaxLineLength bytes is rejected with "line too long (max is 1023 bytes)". Throws
// IPFWTooManyArguments for a line of 32 words or more. Only one check runs at a time in a
// process (ipfwCheckLock()); a check from a second thread waits for the first.
int checkIPFWText(std::string_view text);
// The same with given name databases (their answers are cached there).
int checkIPFWText(std::string_view text, NameServices& names);
// The same against the given grammar (IPFWGrammarMode::Release: the configured release's own).
int checkIPFWText(std::string_view text, NameServices& names, IPFWGrammarMode mode);

// True when the line is empty once spaces and tabs are trimmed from both ends.
bool isEmptyLine(std::string_view line);

// The object front of the rule text checker; it holds no state.
class IPFWParser {
public:
    static IPFWParser& sharedInstance();

    bool checkIPFWText(std::string_view text);
    // Checks against the given grammar; IPFWGrammarMode::Release checks the text as the
    // configured release's ipfw would read it (the newer forms on 10.4, no dynamic rules on
    // 10.1), with the same events and line numbers.
    bool checkIPFWText(std::string_view text, IPFWGrammarMode mode);

    IPFWParser(const IPFWParser&) = delete;
    IPFWParser& operator=(const IPFWParser&) = delete;

private:
    IPFWParser() = default;
};

} // namespace kw
