#pragma once

#include <KWSecurity/SecureBuffer.h>

#include <string>

namespace kw::authexec {

struct PamCheckOptions {
    std::string service = "keepwall";
    std::string confDir;        // empty: the system's PAM configuration
    std::string requestingUser; // recorded as the PAM remote user, for the audit trail
    // The caller answers every refusal after the same fixed time, so the modules' own
    // (randomised, failure-only) delay is switched off: it would tell failures apart.
    bool ownFailDelay = false;
};

// Authenticates the user with the password through a PAM conversation, then checks the
// account. Returns PAM_SUCCESS or the failing PAM result. The password is handed to PAM
// only through the conversation; no copy of it outlives this call.
int pamCheckPassword(const PamCheckOptions& options, const std::string& userName, const SecureBuffer& password);

// Text for a PAM result (never contains the password).
std::string pamResultText(int result);

} // namespace kw::authexec
