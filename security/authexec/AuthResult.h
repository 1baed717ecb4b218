#pragma once

#include <cstdint>

namespace kw::authexec {

// Result codes of rights requests and privileged starts. They keep the numbers of the
// authorization service the system was written against, so that the log lines
// ("Is Authorized==%d", "... returned error: %d") read the same.
enum AuthResult : std::int32_t {
    kAuthSuccess = 0,
    kAuthInvalidSet = -60001, // a malformed request or path
    kAuthDenied = -60005,     // wrong name or password, or not an administrator
    kAuthCanceled = -60006,
    kAuthInteractionNotAllowed = -60007, // the right is not held and no credentials were given
    kAuthInternal = -60008,
    kAuthToolExecuteFailure = -60031,   // the program could not be started or is not allowed
    kAuthToolEnvironmentError = -60032, // the starter's own invocation was not as expected
};

} // namespace kw::authexec
