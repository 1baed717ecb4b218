#include "CredentialStore.h"

#include <KWSecurity/KWKeychain.h>

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/PlistValue.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

namespace {

constexpr const char* kAccountKey = "acct";
constexpr const char* kDataKey = "data";
constexpr const char* kGenericKey = "gena";

std::string userFileName()
{
    const struct passwd* pw = getpwuid(getuid());
    const std::string name = pw != nullptr ? pw->pw_name : std::to_string(getuid());
    return name + ".keychain.plist";
}

void wipe(std::string& text)
{
    explicit_bzero(text.data(), text.size());
    text.clear();
}

class SandboxFileStore final : public CredentialStore {
public:
    int find(const std::string& service, StoredItem& item) override
    {
        Value items;
        const int result = load(items);
        if (result != 0) {
            return result;
        }
        const Value* entry = items.get(service);
        if (entry == nullptr || !entry->isDictionary()) {
            return KWKeychain::kItemNotFound;
        }
        const Value* account = entry->get(kAccountKey);
        const Value* data = entry->get(kDataKey);
        const Value* generic = entry->get(kGenericKey);
        item.account =
            account != nullptr && account->data() != nullptr ? *account->data() : std::vector<std::uint8_t> {};
        if (data != nullptr && data->data() != nullptr) {
            item.password.assign(reinterpret_cast<const char*>(data->data()->data()), data->data()->size());
        } else {
            item.password.clear();
        }
        item.genericAttribute.reset();
        if (generic != nullptr && generic->isString()) {
            item.genericAttribute = *generic->string();
        }
        // The parsed document held the password too; overwrite it before it goes.
        scrub(items);
        return 0;
    }

    int write(const std::string& service, const StoredItem& item) override
    {
        Value items;
        const int result = load(items);
        if (result != 0 && result != KWKeychain::kItemNotFound) {
            return result;
        }
        if (!items.isDictionary()) {
            items = Value(Value::Dictionary {});
        }
        Value entry(Value::Dictionary {});
        entry.set(kAccountKey, Value(item.account));
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(item.password.data());
        entry.set(kDataKey, Value(Value::Data(bytes, bytes + item.password.size())));
        if (item.genericAttribute) {
            entry.set(kGenericKey, Value(*item.genericAttribute));
        }
        items.set(service, std::move(entry));
        const int saved = save(items);
        scrub(items);
        return saved;
    }

    int remove(const std::string& service) override
    {
        Value items;
        const int result = load(items);
        if (result != 0) {
            return result;
        }
        Value::Dictionary* dictionary = items.dictionary();
        if (dictionary == nullptr || dictionary->erase(service) == 0) {
            scrub(items);
            return KWKeychain::kItemNotFound;
        }
        const int saved = save(items);
        scrub(items);
        return saved;
    }

private:
    static void scrub(Value& items)
    {
        if (Value::Dictionary* dictionary = items.dictionary()) {
            for (auto& [service, entry] : *dictionary) {
                if (Value* data = entry.get(kDataKey); data != nullptr && data->data() != nullptr) {
                    // The value itself is not const (items is ours), only the accessor is.
                    auto* bytes = const_cast<Value::Data*>(data->data());
                    explicit_bzero(bytes->data(), bytes->size());
                }
            }
        }
    }

    // Reads the whole file; kItemNotFound when there is none. A file that others could read
    // or that belongs to someone else is not trusted.
    static int load(Value& items)
    {
        const std::string path = sandboxKeychainPath();
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return errno == ENOENT ? KWKeychain::kItemNotFound : KWKeychain::kNoSuchKeychain;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
            close(fd);
            logf("Keychain file %s is not a private file of this user; it is not used", path.c_str());
            return KWKeychain::kNoSuchKeychain;
        }
        std::string text;
        readAll(fd, text);
        close(fd);
        std::optional<Value> parsed = valueFromXml(text);
        wipe(text);
        if (!parsed || !parsed->isDictionary()) {
            logf("Keychain file %s cannot be read", path.c_str());
            return KWKeychain::kNoSuchKeychain;
        }
        items = std::move(*parsed);
        return 0;
    }

    // Replaces the file atomically: a private temporary file beside it, synced, renamed.
    static int save(const Value& items)
    {
        const std::string path = sandboxKeychainPath();
        const std::string folder = path.substr(0, path.rfind('/'));
        const std::string library = folder.substr(0, folder.rfind('/'));
        mkdir(library.c_str(), 0755);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            logf("Cannot create the keychain folder %s: %s", folder.c_str(), std::strerror(errno));
            return KWKeychain::kWriteFailed;
        }
        std::string temporary = path + ".XXXXXX";
        const int fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0) {
            logf("Cannot write the keychain file %s: %s", path.c_str(), std::strerror(errno));
            return KWKeychain::kWriteFailed;
        }
        fchmod(fd, 0600);
        std::string text = valueToXml(items);
        bool ok = true;
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        wipe(text);
        ok = ok && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
            logf("Cannot write the keychain file %s: %s", path.c_str(), std::strerror(errno));
            unlink(temporary.c_str());
            return KWKeychain::kWriteFailed;
        }
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        return 0;
    }
};

} // namespace

std::string sandboxKeychainPath()
{
    return SystemRoot::path("/Library/Keychains/" + userFileName());
}

std::unique_ptr<CredentialStore> makeSandboxFileStore()
{
    return std::make_unique<SandboxFileStore>();
}

} // namespace kw
