#include "CredentialStore.h"

#include <KWSecurity/KWKeychain.h>

#include "base/Log.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <memory>
#include <mutex>
#include <thread>

namespace kw {

namespace {

constexpr int kDbusTimeoutMs = 1000;
constexpr const char* kSecretsBusName = "org.freedesktop.secrets";

const SecretSchema* credentialSchema()
{
    static const SecretSchema schema = {
        "com.wallworks.Keepwall.Credential",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            { "service", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "account", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "gena", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING },
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &schema;
}

bool logError(const char* what, GError* error)
{
    if (error != nullptr) {
        logf("Secret Service %s failed: %s", what, error->message);
        g_error_free(error);
        return true;
    }
    return false;
}

bool busNameReachable(GDBusConnection* connection)
{
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "NameHasOwner", g_variant_new("(s)", kSecretsBusName), G_VARIANT_TYPE("(b)"),
                                    G_DBUS_CALL_FLAGS_NONE, kDbusTimeoutMs, nullptr, &error);
    if (reply == nullptr) {
        g_clear_error(&error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    if (owned) {
        return true;
    }
    reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"),
                                        G_DBUS_CALL_FLAGS_NONE, kDbusTimeoutMs, nullptr, &error);
    if (reply == nullptr) {
        g_clear_error(&error);
        return false;
    }
    bool activatable = false;
    GVariantIter* names = nullptr;
    const gchar* name = nullptr;
    g_variant_get(reply, "(as)", &names);
    while (g_variant_iter_loop(names, "&s", &name)) {
        if (std::strcmp(name, kSecretsBusName) == 0) {
            activatable = true;
        }
    }
    g_variant_iter_free(names);
    g_variant_unref(reply);
    return activatable;
}

class SecretServiceStore final : public CredentialStore {
public:
    int find(const std::string& service, StoredItem& item) override
    {
        GError* error = nullptr;
        GList* found = secret_password_search_sync(
            credentialSchema(), static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
            nullptr, &error, "service", service.c_str(), nullptr);
        if (logError("search", error)) {
            return KWKeychain::kNoSuchKeychain;
        }
        if (found == nullptr) {
            return KWKeychain::kItemNotFound;
        }
        auto* retrievable = static_cast<SecretRetrievable*>(found->data);
        SecretValue* secret = secret_retrievable_retrieve_secret_sync(retrievable, nullptr, &error);
        GHashTable* attributes = secret_retrievable_get_attributes(retrievable);
        int result = 0;
        if (logError("read", error) || secret == nullptr) {
            result = KWKeychain::kItemNotFound;
        } else {
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret, &length);
            item.password.assign(bytes, length);
            const auto* account = static_cast<const char*>(g_hash_table_lookup(attributes, "account"));
            const std::string accountText = account != nullptr ? account : "";
            item.account.assign(accountText.begin(), accountText.end());
            const auto* generic = static_cast<const char*>(g_hash_table_lookup(attributes, "gena"));
            item.genericAttribute.reset();
            if (generic != nullptr && *generic != '\0') {
                item.genericAttribute = generic;
            }
        }
        if (secret != nullptr) {
            secret_value_unref(secret);
        }
        if (attributes != nullptr) {
            g_hash_table_unref(attributes);
        }
        g_list_free_full(found, g_object_unref);
        return result;
    }

    int write(const std::string& service, const StoredItem& item) override
    {
        // One item per service: whatever is there goes first.
        remove(service);
        const std::string account(item.account.begin(), item.account.end());
        GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
        g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
        if (item.genericAttribute) {
            g_hash_table_insert(attributes, const_cast<char*>("gena"),
                                const_cast<char*>(item.genericAttribute->c_str()));
        }
        const std::string label = "Keepwall administrator (" + service + ")";
        GError* error = nullptr;
        const gboolean stored = secret_password_storev_sync(credentialSchema(), attributes, SECRET_COLLECTION_DEFAULT,
                                                            label.c_str(), item.password.c_str(), nullptr, &error);
        g_hash_table_unref(attributes);
        if (logError("store", error) || !stored) {
            return KWKeychain::kWriteFailed;
        }
        return 0;
    }

    int remove(const std::string& service) override
    {
        GError* error = nullptr;
        const gboolean removed =
            secret_password_clear_sync(credentialSchema(), nullptr, &error, "service", service.c_str(), nullptr);
        if (logError("removal", error)) {
            return KWKeychain::kNoSuchKeychain;
        }
        return removed ? 0 : KWKeychain::kItemNotFound;
    }
};

} // namespace

namespace {

bool probeBus(const std::string& address)
{
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection == nullptr) {
        g_clear_error(&error);
        return false;
    }
    const bool available = busNameReachable(connection);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    return available;
}

} // namespace

bool secretServiceAvailable()
{
    // Asked afresh each time: a keychain is used only around an authentication, and a
    // desktop's keyring may start or stop while the application runs.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        return false;
    }
    // The probe runs on a thread of its own: a bus that takes the connection but never
    // answers would hold a synchronous caller for the bus's 25-second default. After the
    // short wait the answer is no, and the probe finishes (and is forgotten) in the background.
    struct Probe {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool available = false;
    };
    auto probe = std::make_shared<Probe>();
    std::thread([probe, bus = std::string(address)] {
        const bool available = probeBus(bus);
        std::lock_guard lock(probe->mutex);
        probe->available = available;
        probe->done = true;
        probe->finished.notify_all();
    }).detach();
    std::unique_lock lock(probe->mutex);
    probe->finished.wait_for(lock, std::chrono::milliseconds(2 * kDbusTimeoutMs), [&probe] { return probe->done; });
    if (!probe->done) {
        logf("The session bus at %s does not answer; no Secret Service is used", address);
    }
    return probe->done && probe->available;
}

std::unique_ptr<CredentialStore> makeSecretServiceStore()
{
    if (!secretServiceAvailable()) {
        return nullptr;
    }
    return std::make_unique<SecretServiceStore>();
}

} // namespace kw
