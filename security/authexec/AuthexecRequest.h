#pragma once

#include <KWSecurity/SecureBuffer.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kw::authexec {

// What the library sends to the privileged starter on its standard input. The request is a
// row of NUL-terminated fields: the magic "KWAX1", the operation ("check" or "exec"), the
// user name, the password, the executable path (empty for "check"), the argument count in
// decimal, then each argument. Nothing may follow the last field.
inline constexpr std::string_view kRequestMagic = "KWAX1";
inline constexpr std::size_t kMaxRequestBytes = 32 * 1024;
inline constexpr std::size_t kMaxUserNameLength = 64;
// The keychain lookup buffer holds 256 bytes, so no longer password can ever be stored.
inline constexpr std::size_t kMaxPasswordLength = 255;
inline constexpr std::size_t kMaxPathLength = 1024;
inline constexpr std::size_t kMaxArguments = 64;
inline constexpr std::size_t kMaxArgumentLength = 4096;

// The word the starter writes on its status descriptor just before it replaces itself with
// the program. Only this word followed by end of file means that the program started; end
// of file alone means the starter died without an answer.
inline constexpr std::int32_t kExecStartingWord = 0x4b574158;

enum class Operation { Check, Exec };

struct Request {
    Operation operation = Operation::Check;
    std::string userName;
    SecureBuffer password;
    std::string path;
    std::vector<std::string> arguments;
};

enum class ParseError {
    None,
    TooLarge,
    Truncated,
    BadMagic,
    BadOperation,
    BadUserName,
    BadPassword,
    BadPath,
    BadArgumentCount,
    BadArgument,
    TrailingBytes,
};

const char* parseErrorText(ParseError error);

// True for a user name of the portable kind: letters, digits, ".", "_", "-", "@", an optional
// final "$", not starting with "-", at most kMaxUserNameLength bytes.
bool isAcceptableUserName(std::string_view name);

// True for "/" followed by non-empty components none of which is "." or "..", without NUL,
// at most kMaxPathLength bytes.
bool isNormalAbsolutePath(std::string_view path);

// Parses a whole request. On failure the request is left cleared.
ParseError parseRequest(const std::uint8_t* bytes, std::size_t size, Request& request);

// Builds the request bytes; false when a field is out of bounds (nothing is built then).
bool buildRequest(const Request& request, SecureBuffer& out);

} // namespace kw::authexec
