#include "PamCheck.h"

#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>

namespace kw::authexec {

namespace {

struct ConversationData {
    const std::string* userName;
    const SecureBuffer* password;
};

char* secretCopy(const char* text, std::size_t length)
{
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

void dropResponses(pam_response* responses, int count)
{
    for (int i = 0; i < count; ++i) {
        if (responses[i].resp != nullptr) {
            explicit_bzero(responses[i].resp, std::strlen(responses[i].resp));
            std::free(responses[i].resp);
        }
    }
    std::free(responses);
}

int converse(int count, const struct pam_message** messages, struct pam_response** reply, void* appdata)
{
    *reply = nullptr;
    if (count <= 0 || count > PAM_MAX_NUM_MSG || appdata == nullptr) {
        return PAM_CONV_ERR;
    }
    const auto* data = static_cast<const ConversationData*>(appdata);
    auto* responses = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (responses == nullptr) {
        return PAM_BUF_ERR;
    }
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            responses[i].resp = secretCopy(data->password->data(), data->password->size());
            break;
        case PAM_PROMPT_ECHO_ON:
            responses[i].resp = secretCopy(data->userName->data(), data->userName->size());
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            continue;
        default:
            dropResponses(responses, count);
            return PAM_CONV_ERR;
        }
        if (responses[i].resp == nullptr) {
            dropResponses(responses, count);
            return PAM_BUF_ERR;
        }
    }
    *reply = responses;
    return PAM_SUCCESS;
}

void noFailDelay(int, unsigned, void*) {}

} // namespace

int pamCheckPassword(const PamCheckOptions& options, const std::string& userName, const SecureBuffer& password)
{
    ConversationData data { &userName, &password };
    const struct pam_conv conversation = { converse, &data };
    pam_handle_t* handle = nullptr;
    int result = pam_start_confdir(options.service.c_str(), userName.c_str(), &conversation,
                                   options.confDir.empty() ? nullptr : options.confDir.c_str(), &handle);
    if (result != PAM_SUCCESS) {
        return result;
    }
    if (!options.requestingUser.empty()) {
        pam_set_item(handle, PAM_RUSER, options.requestingUser.c_str());
    }
    if (options.ownFailDelay) {
        using DelayFunction = void (*)(int, unsigned, void*);
        const DelayFunction function = noFailDelay;
        pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(function));
    }
    result = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK | PAM_SILENT);
    if (result == PAM_SUCCESS) {
        result = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK | PAM_SILENT);
    }
    // pam_end wipes the authentication token PAM kept from the conversation.
    pam_end(handle, result);
    return result;
}

std::string pamResultText(int result)
{
    const char* text = pam_strerror(nullptr, result);
    return text != nullptr ? text : "unknown PAM result";
}

} // namespace kw::authexec
