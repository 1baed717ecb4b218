#pragma once

#include "syntax/IPFWRule.h"
#include "syntax/NameServices.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// The syntax event: posted on NotificationCenter::defaultCenter() with the message (a string
// of at most 99 characters) as object and a dictionary of the line number and event type.
inline constexpr char IPFWParserSyntaxEventNotification[] = "IPFWParserSyntaxEventNotification";
inline constexpr char IPFWParserLineNumberItem[] = "IPFWParserLineNumberItem";
inline constexpr char IPFWParserEventTypeItem[] = "IPFWParserEventTypeItem";
inline constexpr char IPFWParserErrorEvent[] = "IPFWParserErrorEvent";
inline constexpr char IPFWParserWarningEvent[] = "IPFWParserWarningEvent";

// The kernel's default rule, which no rule can be added with.
inline constexpr std::uint32_t kIPFWDefaultRuleNumber = 65535;

// Which grammar rules are read with.
enum class IPFWGrammarMode {
    // The checker's own grammar and messages, the same on every release.
    Checker,
    // What the configured release's ipfw accepts (the release flags): on 10.1, whose kernel
    // keeps no dynamic rules, "check-state" and "keep-state" are refused; on 10.4 the newer
    // forms are accepted besides everything the checker accepts: "set N" after the rule
    // number, "src-port" and "dst-port" options, "limit" with its masks and count, ports on
    // protocol ip, and port lists written with blanks after their commas ("25, 110, 143").
    Release,
    // Everything any release accepts: the rules a kernel may hold, whichever release wrote them.
    AnyRelease,
};

// The message the configured release's ipfw refuses an otherwise valid rule with: 10.1 knows
// no dynamic rules, so "check-state" and "keep-state" are refused there. None elsewhere.
std::optional<std::string> releaseRuleRefusal(const IPFWRule& rule);

// Messages are formatted into a buffer of this size, so they hold at most 99 characters.
inline constexpr std::size_t kIPFWMessageBufferSize = 100;

// The 1-based number of the line being examined; the rule text checker sets it and every
// syntax event carries it. One value for the whole process: hold ipfwCheckLock() around any
// sequence that sets it and examines rules.
extern int lineno;

// The lock that keeps two checks (of texts or single rules) from interleaving. Recursive, so
// an observer of the syntax events may check text itself on the same thread.
std::recursive_mutex& ipfwCheckLock();

// Examines one ipfw "add" command given as words (av[0] is the command word and is not
// examined; av[ac] may be a null entry). Returns 1 when the rule is accepted, 0 when rejected;
// every problem is reported through report_error. Names are looked up in a fresh set of
// name databases.
int add(int ac, const char* const av[]);
// The same with the name databases of a check under way (their answers are cached there).
int add(int ac, const char* const av[], NameServices& names);
// The same with the given grammar.
int add(int ac, const char* const av[], NameServices& names, IPFWGrammarMode mode);

// Formats a message printf-style (cut to 99 characters), writes "error: %s" with it to standard
// error (no line break), posts the syntax event with lineno and IPFWParserErrorEvent on this
// thread, and marks the rule being examined by add() as failed.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes and posts one message that is already formatted (the second half of report_error).
void postIPFWSyntaxError(const std::string& message);

// The outcome of parsing one rule without any side effect: the rule, whether it was accepted,
// and the messages in the order they arose (each at most 99 characters).
struct IPFWParseResult {
    IPFWRule rule;
    bool accepted = false;
    std::vector<std::string> errors;
};

// Parses one rule given as words (words[0] is the command word), as add() does, and hands each
// message to onError as it arises (may be empty). Does not touch lineno, standard error or the
// notification centre: this is the entry point of the packet filter, which stores the rule.
bool parseIPFWRule(std::span<const char* const> words, NameServices& names, IPFWRule& rule,
                   const std::function<void(const std::string&)>& onError,
                   IPFWGrammarMode mode = IPFWGrammarMode::Checker);

IPFWParseResult parseIPFWRule(std::span<const char* const> words, NameServices& names,
                              IPFWGrammarMode mode = IPFWGrammarMode::Checker);

// Drops the "#" comment of a rule line, splits the rest into words as the rule text checker
// does and parses it; the first word is the command word ("add 100 allow ip from any to any").
// Limits on line length and word count are the caller's (see IPFWParser.h).
IPFWParseResult parseIPFWRuleLine(std::string_view line, NameServices& names,
                                  IPFWGrammarMode mode = IPFWGrammarMode::Checker);

namespace ipfw {
// Splits text in place into words at runs of space, tab, form feed, vertical tab, line feed,
// carriage return or NUL, appending a pointer to each (now NUL-terminated) word. Stops after
// `limit` words; returns the number of words appended.
std::size_t splitWords(std::string& buffer, std::vector<const char*>& words, std::size_t limit);

// Keyword matching of the grammar: the word is the keyword or a non-empty beginning of it.
bool matchesKeyword(std::string_view word, std::string_view keyword);
} // namespace ipfw

} // namespace kw
