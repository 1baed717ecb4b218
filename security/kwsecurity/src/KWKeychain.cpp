#include <KWSecurity/KWKeychain.h>

#include "AuthexecRequest.h"
#include "CredentialStore.h"

#include "base/Log.h"
#include "base/SystemRoot.h"

namespace kw {

namespace {

std::unique_ptr<CredentialStore> storeFor(KeychainKind kind)
{
    switch (kind) {
    case KeychainKind::SandboxFile:
        return makeSandboxFileStore();
    case KeychainKind::SecretService:
        return makeSecretServiceStore();
    case KeychainKind::Automatic:
        break;
    }
    return nullptr;
}

std::string fourCharacterCode(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text.push_back(static_cast<char>((code >> shift) & 0xff));
    }
    return text;
}

} // namespace

KWKeychain& KWKeychain::defaultKeychain()
{
    static KWKeychain* shared = new KWKeychain(KeychainKind::Automatic);
    return *shared;
}

int KWKeychain::keychainCount()
{
    return storeFor(KWKeychain().effectiveKind()) ? 1 : 0;
}

std::unique_ptr<KWKeychain> KWKeychain::keychainAtIndex(std::uint16_t index)
{
    if (index != 0 || keychainCount() == 0) {
        return nullptr;
    }
    return std::make_unique<KWKeychain>(KeychainKind::Automatic);
}

KWKeychain::KWKeychain(KeychainKind kind)
    : m_kind(kind)
{}

std::unique_ptr<KWKeychain> KWKeychain::initWithKCRef(KeychainKind kind)
{
    return std::make_unique<KWKeychain>(kind);
}

KeychainKind KWKeychain::effectiveKind() const
{
    if (m_kind != KeychainKind::Automatic) {
        return m_kind;
    }
    // Read at each use: the system root is a per-process setting that tests change.
    return SystemRoot::isSandbox() ? KeychainKind::SandboxFile : KeychainKind::SecretService;
}

std::optional<Credentials> KWKeychain::findAuthorizationForService(const std::string& service)
{
    std::unique_ptr<CredentialStore> store = storeFor(effectiveKind());
    StoredItem item;
    const int result = store ? store->find(service, item) : kNoSuchKeychain;
    if (result != 0) {
        logf("Find keychain returned %d", result);
        return std::nullopt;
    }
    if (item.password.size() > kLookupBufferSize) {
        logf("Find keychain returned %d", kBufferTooSmall);
        return std::nullopt;
    }
    if (!item.account.empty() && item.account.back() == 0) {
        item.account.pop_back();
    }
    Credentials credentials;
    credentials.userName.assign(item.account.begin(), item.account.end());
    credentials.password = std::move(item.password);
    if (item.genericAttribute) {
        credentials.attributes = valueFromXml(*item.genericAttribute);
    }
    return credentials;
}

bool KWKeychain::storePassword(const SecureBuffer& password, const std::string& userName, const std::string& service,
                               const Value* attributes)
{
    const std::string attributesText = attributes != nullptr ? valueToTextForm(*attributes) : "(null)";
    if (password.size() > authexec::kMaxPasswordLength) {
        logf("Refusing to store a password longer than %zu bytes", authexec::kMaxPasswordLength);
        logf("Did not set xml data:%s Errno:%d", attributesText.c_str(), kWriteFailed);
        return false;
    }
    std::unique_ptr<CredentialStore> store = storeFor(effectiveKind());
    if (!store) {
        logLine("No keychain is available; the password is not stored");
        logf("Did not set xml data:%s Errno:%d", attributesText.c_str(), kNoSuchKeychain);
        return false;
    }
    StoredItem item;
    const int existing = store->find(service, item);
    if (existing != 0 && existing != kItemNotFound) {
        item = StoredItem {};
    }
    item.account.assign(userName.begin(), userName.end());
    item.password = password;
    int result = store->write(service, item);
    if (result != 0 || attributes == nullptr) {
        logf("Did not set xml data:%s Errno:%d", attributesText.c_str(), result);
        return result == 0;
    }
    item.genericAttribute = valueToXml(*attributes);
    result = store->write(service, item);
    logf("attributes set:%s", attributesText.c_str());
    return result == 0;
}

void KWKeychain::removeItemForService(const std::string& service)
{
    if (std::unique_ptr<CredentialStore> store = storeFor(effectiveKind())) {
        store->remove(service);
    }
}

std::optional<KWKeychainItem> KWKeychain::addItemWithData(const std::vector<std::uint8_t>& data, std::uint32_t osType)
{
    std::unique_ptr<CredentialStore> store = storeFor(effectiveKind());
    if (!store) {
        return std::nullopt;
    }
    StoredItem item;
    item.password.assign(reinterpret_cast<const char*>(data.data()), data.size());
    const std::string service = fourCharacterCode(osType);
    if (store->write(service, item) != 0) {
        return std::nullopt;
    }
    return KWKeychainItem { service };
}

std::optional<std::vector<std::uint8_t>> KWKeychain::getDataForItem(const KWKeychainItem& keychainItem)
{
    std::unique_ptr<CredentialStore> store = storeFor(effectiveKind());
    StoredItem item;
    if (!store || store->find(keychainItem.service, item) != 0) {
        return std::nullopt;
    }
    const std::size_t size = std::min(item.password.size(), kItemDataLimit);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(item.password.data());
    return std::vector<std::uint8_t>(bytes, bytes + size);
}

} // namespace kw
