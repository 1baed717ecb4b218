#pragma once

#include <KWSecurity/SecureBuffer.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kw {

// One stored item: account bytes, password bytes, and the generic attribute (an XML
// property list) when it has one.
struct StoredItem {
    std::vector<std::uint8_t> account;
    SecureBuffer password;
    std::optional<std::string> genericAttribute;
};

// The operations a credential store offers; results are 0 or a keychain result code.
class CredentialStore {
public:
    virtual ~CredentialStore() = default;
    virtual int find(const std::string& service, StoredItem& item) = 0;
    virtual int write(const std::string& service, const StoredItem& item) = 0;
    virtual int remove(const std::string& service) = 0;
};

// The per-user file inside the sandbox root ("/Library/Keychains/<user>.keychain.plist",
// mode 0600, folder 0700).
std::unique_ptr<CredentialStore> makeSandboxFileStore();
std::string sandboxKeychainPath();

// The desktop's Secret Service, or none when the session offers none (checked with short
// D-Bus time-outs, never waiting for a missing bus).
std::unique_ptr<CredentialStore> makeSecretServiceStore();
bool secretServiceAvailable();

} // namespace kw
