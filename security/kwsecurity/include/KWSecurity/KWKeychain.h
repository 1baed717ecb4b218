#pragma once

#include <KWSecurity/Export.h>
#include <KWSecurity/SecureBuffer.h>

#include "base/PlistValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kw {

// An administrator's name and password as passed around inside the security library.
// Key texts of the credentials dictionary: "userName", "password", "attributes".
struct Credentials {
    static constexpr const char* kUserNameKey = "userName";
    static constexpr const char* kPasswordKey = "password";
    static constexpr const char* kAttributesKey = "attributes";

    std::string userName;
    SecureBuffer password;
    std::optional<Value> attributes; // the item's extra attributes, when it has them
};

// Which credential store a keychain object works on.
enum class KeychainKind {
    Automatic,     // the sandbox file when KEEPWALL_ROOT names a sandbox, else the Secret Service
    SandboxFile,   // a per-user file with mode 0600 inside the system root
    SecretService, // the desktop's Secret Service over D-Bus
};

// A reference to one stored item: its service name.
struct KWKeychainItem {
    std::string service;
};

// Keeps administrator credentials, one item per service name.
class KW_SECURITY_EXPORT KWKeychain {
public:
    // Result codes written to the log; they keep the numbers of the keychain service the
    // system was written against.
    static constexpr int kItemNotFound = -25300;
    static constexpr int kNoSuchKeychain = -25294;
    static constexpr int kWriteFailed = -25291;
    static constexpr int kBufferTooSmall = -25301;
    static constexpr int kNoSuchAttribute = -25303;
    static constexpr std::size_t kLookupBufferSize = 256;
    static constexpr std::size_t kItemDataLimit = 512;

    // The shared keychain of the user (made on first use, never released).
    static KWKeychain& defaultKeychain();
    // Number of the user's keychains: 1 when a store is reachable, else 0.
    static int keychainCount();
    // A new object for the keychain at the index (only 0 exists), or none.
    static std::unique_ptr<KWKeychain> keychainAtIndex(std::uint16_t index);

    explicit KWKeychain(KeychainKind kind = KeychainKind::Automatic);
    // Wraps the keychain named by the reference.
    static std::unique_ptr<KWKeychain> initWithKCRef(KeychainKind kind);

    // The credentials stored for the service, or none (logs "Find keychain returned %d").
    std::optional<Credentials> findAuthorizationForService(const std::string& service);
    // Adds or replaces the service's item; attributes are kept as an XML property list.
    bool storePassword(const SecureBuffer& password, const std::string& userName, const std::string& service,
                       const Value* attributes);
    // Deletes the service's item if there is one.
    void removeItemForService(const std::string& service);

    // A new item with the bytes as its data, filed under the four-character type.
    std::optional<KWKeychainItem> addItemWithData(const std::vector<std::uint8_t>& data, std::uint32_t osType);
    // The item's data, at most 512 bytes; none when there is no such item.
    std::optional<std::vector<std::uint8_t>> getDataForItem(const KWKeychainItem& item);

    // Which store is in force now (Automatic resolved).
    KeychainKind effectiveKind() const;

private:
    KeychainKind m_kind;
};

} // namespace kw
