#include "StartupItem.h"

#include "base/AtomicFile.h"
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"
#include "config/SettingsKeys.h"
#include "nat/KWNatdManager.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::tool {

namespace {

constexpr mode_t kItemMode = 0755;
constexpr const char* kItemFolder = "Firewall";
constexpr const char* kParametersFile = "StartupParameters.plist";
constexpr const char* kScriptFile = "Firewall";
constexpr const char* kToolCopy = "wallctl";

// An owned file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    {}
    ~Fd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(Fd&& other) noexcept
        : m_fd(other.m_fd)
    {
        other.m_fd = -1;
    }
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    bool ok() const { return m_fd >= 0; }
    int get() const { return m_fd; }

private:
    int m_fd;
};

Fd openRootFolder()
{
    const std::string prefix = SystemRoot::prefix();
    return Fd(::open(prefix.empty() ? "/" : prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A folder inside a folder, never through a symbolic link.
Fd openFolderAt(const Fd& parent, const char* name)
{
    if (!parent.ok()) {
        return Fd();
    }
    return Fd(::openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// "/Library/StartupItems" under the root, or not ok with error telling why.
Fd openStartupItems(int& error)
{
    const Fd root = openRootFolder();
    const Fd library = openFolderAt(root, "Library");
    Fd items = openFolderAt(library, "StartupItems");
    error = items.ok() ? 0 : errno;
    return items;
}

bool existsAt(const Fd& folder, const char* name, struct stat& st)
{
    return ::fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

gid_t startupGroup()
{
    if (const group* wheel = ::getgrnam("wheel")) {
        return wheel->gr_gid;
    }
    return 0;
}

bool setAttributes(int fd)
{
    if (::fchmod(fd, kItemMode) != 0) {
        return false;
    }
    const gid_t group = startupGroup();
    if (::fchown(fd, 0, group) == 0) {
        return true;
    }
    // In a user namespace the host's wheel group may have no id: root's group stands in.
    return errno == EINVAL && group != 0 && ::fchown(fd, 0, 0) == 0;
}

bool setAttributesAt(const Fd& folder, const char* name)
{
    const Fd fd(::openat(folder.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd.ok() && setAttributes(fd.get());
}

// Replaces the file name in the folder atomically (temporary file, flush, rename): whatever
// was there, a symbolic link included, is replaced, never written through.
bool writeFileAtomicallyAt(const Fd& folder, const std::string& name, std::string_view bytes, mode_t mode)
{
    static std::atomic<unsigned> counter { 0 };
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
        const int e = errno;
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        errno = e;
        return false;
    }
    ::fsync(folder.get());
    return true;
}

// Removes name from the folder, and everything below it when it is a folder. Symbolic links
// are removed themselves; their targets are never touched.
bool removeTreeAt(const Fd& folder, const char* name)
{
    struct stat st {};
    if (!existsAt(folder, name, st)) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlinkat(folder.get(), name, 0) == 0;
    }
    Fd inner = openFolderAt(folder, name);
    if (!inner.ok()) {
        return false;
    }
    std::vector<std::string> entries;
    const int listFd = ::dup(inner.get());
    DIR* listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (listing == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        return false;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..") {
            entries.push_back(entryName);
        }
    }
    ::closedir(listing);
    for (const auto& entry : entries) {
        if (!removeTreeAt(inner, entry.c_str()) && errno != ENOENT) {
            return false;
        }
    }
    return ::unlinkat(folder.get(), name, AT_REMOVEDIR) == 0;
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string besideIn(const std::string& folder, const char* name)
{
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void report(const std::string& message)
{
    sendKWErrorNotification(0, message);
}

} // namespace

Value generateStartupParameters()
{
    Value messages;
    messages.set("start", Value("Activating Firewall"));
    messages.set("stop", Value("Clearing Firewall"));
    Value parameters;
    parameters.set("Description", Value("Keepwall Firewall"));
    parameters.set("Messages", messages);
    parameters.set("Provides", Value(Value::Array { Value("Firewall") }));
    parameters.set("Requires",
                   Value(Value::Array { Value("NetworkExtensions"), Value("Resolver"), Value("Super Server") }));
    parameters.set("OrderPreferences", Value("Late"));
    return parameters;
}

std::string generateStartupScript(const KeepwallPrefs& prefs)
{
    const std::string separator = "#" + std::string(59, '=') + "\n";
    std::string script = "#!/bin/sh\n# Firewall Boot Script\n# Generated by Keepwall\n\n";
    script += separator + "# Activate Firewall Filters\n" + separator + "/sbin/ipfw -q /etc/firewall.conf\n\n";
    const Value* logging = prefs.document().get(keys::kEnableLogging);
    if (logging == nullptr || logging->integerValue() > 0) {
        script += separator + "# Enable IP Firewall Logging\n" + separator;
        if (KWRunningOnTiger) {
            script += "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=2\n"
                      "/usr/sbin/sysctl -w net.inet.ip.fw.verbose_limit=65535\n"
                      "/usr/libexec/ipfwloggerd\n\n";
        } else {
            script += "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=1\n"
                      "/usr/sbin/sysctl -w net.inet.ip.fw.verbose_limit=65535\n\n";
        }
    }
    if (prefs.enableNatdForCurrentSetting()) {
        script +=
            separator + "# Start IP Sharing\n" + separator + "/Library/StartupItems/Firewall/wallctl sharing-start\n\n";
    }
    return script;
}

bool assureStartupItemDirectory()
{
    const Fd root = openRootFolder();
    struct stat st {};
    // A fresh system root may lack "/Library" itself.
    if (root.ok() && !existsAt(root, "Library", st)) {
        ::mkdirat(root.get(), "Library", kItemMode);
    }
    const Fd library = openFolderAt(root, "Library");
    if (library.ok() && existsAt(library, "StartupItems", st)) {
        return true;
    }
    if (!library.ok() || ::mkdirat(library.get(), "StartupItems", kItemMode) != 0 ||
        !setAttributesAt(library, "StartupItems")) {
        report("Cannot create directory /Library/StartupItems");
        return false;
    }
    return true;
}

std::string ownProgramPath(const std::string& argv0)
{
    if (argv0.find('/') == std::string::npos) {
        const std::string self = ownExecutablePath();
        return self.empty() ? std::string(kToolCopy) : besideIn(folderOf(self), kToolCopy);
    }
    std::string path = argv0;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0) {
            const std::string stored(target, static_cast<size_t>(n));
            path = stored.front() == '/' ? stored : besideIn(folderOf(path), stored.c_str());
        }
    }
    return besideIn(folderOf(path), kToolCopy);
}

void installStartupScript(ToolContext& context)
{
    if (!assureStartupItemDirectory()) {
        return;
    }
    int error = 0;
    const Fd items = openStartupItems(error);
    struct stat st {};
    const bool present = items.ok() && existsAt(items, kItemFolder, st);
    if (present && !S_ISDIR(st.st_mode) && ::unlinkat(items.get(), kItemFolder, 0) != 0) {
        report("Cannot remove file /Library/StartupItems/Firewall.");
        return;
    }
    if ((!present || !S_ISDIR(st.st_mode)) && (!items.ok() || ::mkdirat(items.get(), kItemFolder, kItemMode) != 0)) {
        report("Cannot create directory /Library/StartupItems/Firewall.");
        return;
    }
    const Fd item = openFolderAt(items, kItemFolder);
    if (!item.ok() || !setAttributes(item.get())) {
        report("Cannot modify permissions: '/Library/StartupItems/Firewall/'.");
        return;
    }

    if (!writeFileAtomicallyAt(item, kParametersFile, valueToXml(generateStartupParameters()), kItemMode)) {
        report("Cannot create file '/Library/StartupItems/Firewall/StartupParameters.plist'.");
        return;
    }
    if (!setAttributesAt(item, kParametersFile)) {
        report("Cannot modify permissions: '/Library/StartupItems/Firewall/StartupParameters.plist'.");
        return;
    }
    if (!writeFileAtomicallyAt(item, kScriptFile, generateStartupScript(context.prefs), kItemMode)) {
        report("Cannot create file '/Library/StartupItems/Firewall/Firewall'.");
        return;
    }
    if (!setAttributesAt(item, kScriptFile)) {
        report("Cannot modify permissions: '/Library/StartupItems/Firewall/Firewall'.");
        return;
    }

    KeepwallPrefs().writeCurrentConfiguration(); // reports its own failure; installing goes on

    // Read before the old copy goes: the tool may be that copy itself.
    std::string program;
    const bool readable = readFile(ownProgramPath(context.args.at(0)), program);
    if (existsAt(item, kToolCopy, st) && ::unlinkat(item.get(), kToolCopy, 0) != 0) {
        report("Cannot update file: '/Library/StartupItems/Firewall/wallctl'.");
        return;
    }
    if (!readable || !writeFileAtomicallyAt(item, kToolCopy, program, kItemMode)) {
        report("Cannot copy file to '/Library/StartupItems/Firewall/wallctl'.");
        return;
    }
    if (!setAttributesAt(item, kToolCopy)) {
        report("Cannot modify permissions: '/Library/StartupItems/Firewall/wallctl'.");
        return;
    }

    if (!KWNatdManager::sharedInstance().writeConfigFileToPath(KWNatdManager::kNatdConfigPath)) {
        report("Cannot install file: '/etc/natd.conf'.");
    }
}

void uninstallStartupItem(ToolContext&)
{
    int error = 0;
    const Fd items = openStartupItems(error);
    if (items.ok()) {
        error = removeTreeAt(items, kItemFolder) ? 0 : errno;
    }
    if (error != 0 && error != ENOENT) { // nothing installed is nothing to remove
        sendKWErrorNotification(error, "Error removing /Library/StartupItems/Firewall");
    }
}

} // namespace kw::tool
