// pam_kwsandbox.so: the demo administrator of a sandbox root. kw-sandbox names it in
// <root>/etc/pam.d/keepwall with the argument "accounts=<root>/etc/keepwall/sandbox-accounts";
// the account file holds the name of the user who prepared the sandbox with a salted hash of
// the demo password. Without a usable account file (argument missing, file unreadable, in the
// system's /etc, writable by others, or not owned by the account it names) it denies.
#define PAM_SM_AUTH
#define PAM_SM_ACCOUNT
#include "SandboxAccounts.h"

#include <cstring>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <syslog.h>

#define KW_PAM_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

using kw::sandboxaccounts::AccountCheck;
using kw::sandboxaccounts::Verdict;

const char* accountsArgument(int argc, const char** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "accounts=", 9) == 0) {
            return argv[i] + 9;
        }
    }
    return nullptr;
}

int pamResult(pam_handle_t* pamh, const AccountCheck& check, int unknownUser)
{
    switch (check.verdict) {
    case Verdict::Success:
        return PAM_SUCCESS;
    case Verdict::UnknownUser:
        return unknownUser;
    case Verdict::WrongPassword:
        return PAM_AUTH_ERR;
    case Verdict::Unavailable:
        break;
    }
    pam_syslog(pamh, LOG_NOTICE, "denied: %s", check.reason.c_str());
    return PAM_AUTHINFO_UNAVAIL;
}

} // namespace

KW_PAM_ENTRY int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)flags;
    const char* user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || user == nullptr) {
        return PAM_USER_UNKNOWN;
    }
    const char* accounts = accountsArgument(argc, argv);
    // Nothing is asked for when no account file can vouch for anyone.
    const AccountCheck account = kw::sandboxaccounts::checkAccount(accounts, user, nullptr);
    if (account.verdict != Verdict::Success) {
        return pamResult(pamh, account, PAM_USER_UNKNOWN);
    }
    const char* token = nullptr;
    if (pam_get_authtok(pamh, PAM_AUTHTOK, &token, nullptr) != PAM_SUCCESS || token == nullptr || token[0] == '\0') {
        return PAM_AUTH_ERR;
    }
    return pamResult(pamh, kw::sandboxaccounts::checkAccount(accounts, user, token), PAM_USER_UNKNOWN);
}

KW_PAM_ENTRY int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_SUCCESS;
}

KW_PAM_ENTRY int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)flags;
    const char* user = nullptr;
    if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || user == nullptr) {
        return PAM_USER_UNKNOWN;
    }
    return pamResult(pamh, kw::sandboxaccounts::checkAccount(accountsArgument(argc, argv), user, nullptr),
                     PAM_USER_UNKNOWN);
}
