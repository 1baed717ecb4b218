#include "Commands.h"

#include "LoggingCommands.h"
#include "SafeChangeCommands.h"
#include "SharingCommands.h"
#include "StartupItem.h"

#include "base/CommandRunner.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Log.h"
#include "base/MessagePort.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"
#include "config/SettingsKeys.h"
#include "logarchive/LogCommands.h"
#include "nat/KWNatdManager.h"
#include "rules/ConfigurationText.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kw::tool {

namespace {

using namespace std::chrono_literals;

bool isKnownTopLevelKey(const std::string& key)
{
    return key == keys::kStoredSettings || key == keys::kCurrentSetting || key == keys::kDefaultConfiguration ||
           key == keys::kEnableLogging;
}

constexpr const char* kPortName = "KWConfigServer";
constexpr int kStoreRequest = 1;
constexpr int kDeleteLogRequest = 2;

void list(ToolContext& c)
{
    std::fputs("Name\tType\tStatus  \tKey\n", c.out);
    std::fputs("----\t----\t------  \t---\n", c.out);
    const auto current = c.prefs.currentSettingsKey();
    for (const auto& [key, setting] : c.prefs.storedSettings()) {
        const std::int64_t mode = integerValueOf(setting.get(keys::kConfigMode));
        const char* type = mode == 0 ? "Quick " : mode == 2 ? "Expert" : "????  ";
        const char* status = current && *current == key ? "Active  " : "Inactive";
        // Names and keys are the user's text: printed with their control characters escaped.
        std::fprintf(c.out, "%s\t%s\t%s\t%s\n",
                     escapedControlCharacters(stringValueOf(setting.get(keys::kSettingName))).c_str(), type, status,
                     escapedControlCharacters(key).c_str());
    }
    std::fflush(c.out);
}

std::int64_t indexArgument(const ToolContext& c)
{
    return leadingInteger(c.args[2]);
}

void show(ToolContext& c)
{
    if (const auto key = c.prefs.settingKeyAtIndex(indexArgument(c))) {
        std::fputs(valueToTextForm(*c.prefs.settingForKey(*key)).c_str(), c.out);
    } else {
        c.failed = true;
    }
    std::fputc('\n', c.out);
    std::fflush(c.out);
}

void select(ToolContext& c)
{
    // The index names a setting of the newest document, which no other command changes
    // until this one has committed.
    c.prefs.lockForChange();
    const std::int64_t idx = indexArgument(c);
    const auto key = c.prefs.settingKeyAtIndex(idx);
    if (!key) {
        logf("Requested setting %lld is out of range (0 - %lld)", static_cast<long long>(idx),
             static_cast<long long>(c.prefs.storedSettings().size()) - 1);
        c.failed = true;
        return;
    }
    c.prefs.setCurrentSettingsKey(*key);
    c.prefs.commitChanges();
    c.prefs.applyChanges();
}

void clear(ToolContext& c)
{
    const int status = runCommand("/sbin/ipfw", { "-f", "flush" });
    if (status == -1) {
        sendKWErrorNotification(errno, "Error clearing firewall filters");
    }
    // A missing ipfw or one that refused the flush left the filters in place.
    c.failed = status != 0;
}

void store(ToolContext& c)
{
    if (const auto reply = settingsRequest(kStoreRequest, c.invokingUid)) {
        if (const auto problem = storeReplyProblem(*reply)) {
            logf("Ignoring the settings received: %s", problem->c_str());
            sendKWErrorNotification(0, "The settings received were refused: " + *problem);
            list(c);
            return; // nothing changed
        }
        Value known(Value::Dictionary {});
        for (const auto& [key, value] : *reply->dictionary()) {
            if (isKnownTopLevelKey(key)) {
                known.set(key, value);
            } else {
                logf("Ignoring the unknown key \"%s\" of the settings received", escapedControlCharacters(key).c_str());
            }
        }
        writeConfigurationKeys(c.prefs, known);
    } else {
        c.failed = true;
    }
    DistributedNotificationCenter::post(notifications::kSettingsChanged, notifications::kNotificationObject);
    list(c);
}

void generate(ToolContext& c)
{
    if (const auto key = c.prefs.settingKeyAtIndex(indexArgument(c))) {
        const CheckedRuleText checked = c.prefs.checkedIpfwTextForSettingKey(*key);
        if (checked.unsafe) {
            // Text that would inject lines is refused as activation refuses it.
            const std::string refusal = KeepwallPrefs::refusalText(*key, *checked.unsafe);
            logLine(refusal);
            sendKWErrorNotification(0, KeepwallPrefs::activationRefusalReport(refusal));
            std::fputc('\n', c.out);
            std::fflush(c.out);
            return;
        }
        if (const auto overflow = findRuleNumberOverflow(*c.prefs.settingForKey(*key))) {
            // The text itself is sound; only loading it would fail.
            logf("%s (activation refuses it)", KeepwallPrefs::refusalText(*key, *overflow).c_str());
        }
        std::fputs(checked.text.c_str(), c.out);
    } else {
        c.failed = true;
    }
    std::fputc('\n', c.out);
    std::fflush(c.out);
}

// The console stands for the machine's console: the system root's dev/console when it has one.
void redirectToConsole()
{
    if (std::FILE* in = std::freopen("/dev/null", "r", stdin); in == nullptr) {
        logLine("Could not reopen standard input on /dev/null");
    }
    const std::string console = SystemRoot::path("/dev/console");
    if (::access(console.c_str(), W_OK) != 0) {
        return; // no console: messages stay with the log
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const int fd = ::open(console.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return;
    }
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

void activate(ToolContext& c)
{
    // Loading the rule file flushes the IP sharing rules: they are put back when natd runs.
    const bool natdWasRunning = KWNatdManager::sharedInstance().natdIsRunning();
    redirectToConsole();
    c.prefs.activateCurrentConfiguration();
    if (natdWasRunning) {
        KWNatdManager::sharedInstance().reactivateIPSharingFilters();
    }
}

void showlog(ToolContext& c)
{
    c.failed = !runShowLogCommand();
}

void deleteLog(ToolContext& c)
{
    if (const auto reply = settingsRequest(kDeleteLogRequest, c.invokingUid)) {
        c.failed = !runDeleteLogCommand(*reply);
    } else {
        c.failed = true;
    }
    DistributedNotificationCenter::post(notifications::kLogItemsChanged, notifications::kNotificationObject);
}

void enableLog(ToolContext& c)
{
    modifyFirewallLogging(c, true);
}

void disableLog(ToolContext& c)
{
    modifyFirewallLogging(c, false);
}

struct Command {
    const char* word;
    bool needsIndex;
    void (*run)(ToolContext&);
};

// Compared in this order; the first equal word runs.
constexpr std::array kCommands {
    Command { "list", false, list },
    Command { "clear", false, clear },
    Command { "activate", false, activate },
    Command { "show", true, show },
    Command { "generate", true, generate },
    Command { "select", true, select },
    Command { "store", false, store },
    Command { "showlog", false, showlog },
    Command { "install", false, installStartupScript },
    Command { "enable-log", false, enableLog },
    Command { "disable-log", false, disableLog },
    Command { "delete-log", false, deleteLog },
    Command { "uninstall", false, uninstallStartupItem },
    Command { "sharing-status", false, showIPSharingStatus },
    Command { "sharing-start", false, startIPSharing },
    Command { "sharing-stop", false, stopIPSharing },
    Command { "allow-lans", false, allowLocalLANs },
    Command { "try", false, tryCurrentConfiguration },
    Command { "confirm", false, confirmTrial },
    Command { "revert", false, revertTrial },
    Command { "diff", false, showRuleDifference },
};

} // namespace

std::string processName(const std::string& argv0)
{
    const auto slash = argv0.find_last_of('/');
    return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

void logUsage(const std::string& argv0)
{
    logf("Usage: %s [activate| select <idx> | clear | list | show <idx> | generate <idx> | showlog | install | "
         "uninstall | enable-log | disable-log | sharing-status | sharing-start | sharing-stop | allow-lans | "
         "try <seconds> | confirm | revert | diff ]",
         processName(argv0).c_str());
}

int dispatch(ToolContext& context)
{
    const std::string& word = context.args.at(1);
    for (const auto& command : kCommands) {
        if (word != command.word) {
            continue;
        }
        if (command.needsIndex && context.args.size() != 3) {
            break;
        }
        const int notificationsBefore = errorNotificationsSent();
        command.run(context);
        const bool failed = context.failed || errorNotificationsSent() != notificationsBefore;
        return failed ? kExitCommandFailed : kExitSuccess;
    }
    logUsage(context.args.at(0));
    return kExitUsage;
}

int waitForChildren()
{
    int status = 1;
    const int r = ::wait(&status);
    logCommandStatus(status);
    return r;
}

void logCommandStatus(int status)
{
    const int low = status & 0x7f;
    const int exitStatus = status >> 8;
    if (low == 0 && exitStatus > 0) {
        logf("wallctl: Command exited with status %d", exitStatus);
    } else if (low == 0) {
        logLine("wallctl: Command executed successfully");
    } else if (low != 1 && low != 127) {
        logf("wallctl: Command terminated from signal %d", low);
    }
}

void writeConfigurationKeys(KeepwallPrefs& prefs, const Value& dictionary)
{
    // The keys are set on the newest document, so that no other command's change is lost.
    prefs.lockForChange();
    if (const auto* d = dictionary.dictionary()) {
        for (const auto& [key, value] : *d) {
            prefs.takeValue(nullptr, key);
            prefs.takeValue(value, key);
        }
    }
    prefs.commitChanges();
    prefs.applyChanges();
}

std::optional<Value> settingsRequest(int messageId, uid_t invokingUid)
{
    const auto reply = MessagePortClient::sendRequest(kPortName, messageId, invokingUid, 3000ms, 3000ms);
    if (reply.portFound && reply.status != kMessagePortSuccess) {
        logf("CFMessagePortSendRequest returned %d", reply.status);
    }
    std::optional<Value> value;
    if (reply.data) {
        value = valueFromXml(*reply.data);
    }
    if (!value) {
        logLine("No configuration data received");
    }
    return value;
}

std::optional<std::string> storeReplyProblem(const Value& reply)
{
    const auto* d = reply.dictionary();
    if (d == nullptr) {
        return "the reply is not a dictionary";
    }
    for (const auto& [key, value] : *d) {
        if (!isKnownTopLevelKey(key)) {
            continue; // logged and left out by the store
        }
        const bool typeOk = key == keys::kStoredSettings  ? value.isDictionary()
                            : key == keys::kEnableLogging ? value.isNumber() || value.isString()
                                                          : value.isString();
        if (!typeOk) {
            return "wrong type for " + key;
        }
        if (const auto problem = findTextXmlCannotHold(Value(Value::Dictionary { { key, value } }))) {
            return *problem;
        }
    }
    if (const Value* stored = reply.get(keys::kStoredSettings)) {
        for (const auto& [key, setting] : *stored->dictionary()) {
            if (!setting.isDictionary()) {
                return "the stored setting " + escapedControlCharacters(key) + " is not a dictionary";
            }
        }
    }
    return std::nullopt;
}

} // namespace kw::tool
