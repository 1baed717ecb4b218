// A PAM module for tests only (never installed): authenticates against a test account file
// named by the module argument "accounts=PATH". Each line is "name:sha256-hex:groups". The
// password is asked for through the application's PAM conversation. With "probe=PATH" it
// appends, at each authentication, what a memory reader could get of the checking process:
// "dumpable=N core=M" (M the core size limit, -1 for unlimited).
#define PAM_SM_AUTH
#define PAM_SM_ACCOUNT
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace {

const char* argumentValue(int argc, const char** argv, const char* name)
{
    const size_t length = strlen(name);
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], name, length) == 0) {
            return argv[i] + length;
        }
    }
    return nullptr;
}

const char* accountsFile(int argc, const char** argv)
{
    return argumentValue(argc, argv, "accounts=");
}

void writeProbe(int argc, const char** argv)
{
    const char* path = argumentValue(argc, argv, "probe=");
    if (path == nullptr) {
        return;
    }
    struct rlimit core {};
    getrlimit(RLIMIT_CORE, &core);
    FILE* out = fopen(path, "a");
    if (out != nullptr) {
        fprintf(out, "dumpable=%d core=%lld\n", prctl(PR_GET_DUMPABLE, 0, 0, 0, 0),
                core.rlim_cur == RLIM_INFINITY ? -1LL : static_cast<long long>(core.rlim_cur));
        fclose(out);
    }
}

/* Finds the user's line; copies its hash field. 1 when found. */
int lookup(const char* file, const char* user, char* hash, size_t hashSize)
{
    FILE* in = fopen(file, "r");
    if (in == nullptr) {
        return 0;
    }
    char line[512];
    int found = 0;
    while (!found && fgets(line, sizeof line, in) != nullptr) {
        char* first = strchr(line, ':');
        if (first == nullptr) {
            continue;
        }
        *first = '\0';
        if (strcmp(line, user) != 0) {
            continue;
        }
        char* second = strchr(first + 1, ':');
        if (second != nullptr) {
            *second = '\0';
        }
        snprintf(hash, hashSize, "%s", first + 1);
        found = 1;
    }
    fclose(in);
    return found;
}

void sha256Hex(const char* text, char* out)
{
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(text, strlen(text), digest, &length, EVP_sha256(), nullptr);
    for (unsigned int i = 0; i < 32; ++i) {
        snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
}

} // namespace

extern "C" int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)flags;
    writeProbe(argc, argv);
    const char* file = accountsFile(argc, argv);
    const char* user = nullptr;
    if (file == nullptr || pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || user == nullptr) {
        return PAM_AUTH_ERR;
    }
    const char* token = nullptr;
    if (pam_get_authtok(pamh, PAM_AUTHTOK, &token, nullptr) != PAM_SUCCESS || token == nullptr) {
        return PAM_AUTH_ERR;
    }
    char stored[128];
    if (!lookup(file, user, stored, sizeof stored)) {
        return PAM_USER_UNKNOWN;
    }
    char given[65];
    sha256Hex(token, given);
    return strcmp(given, stored) == 0 ? PAM_SUCCESS : PAM_AUTH_ERR;
}

extern "C" int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)pamh;
    (void)flags;
    (void)argc;
    (void)argv;
    return PAM_SUCCESS;
}

extern "C" int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv)
{
    (void)flags;
    const char* file = accountsFile(argc, argv);
    const char* user = nullptr;
    char stored[128];
    if (file == nullptr || pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || user == nullptr ||
        !lookup(file, user, stored, sizeof stored)) {
        return PAM_USER_UNKNOWN;
    }
    return PAM_SUCCESS;
}
