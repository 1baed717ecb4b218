#include "SettingsFile.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "config/SettingsKeys.h"
#include "rules/ConfigurationText.h"
#include "rules/TextFields.h"

#include <array>
#include <cerrno>
#include <sys/xattr.h>

namespace kw::app::settingsfile {

namespace {

using namespace kw::keys;

enum class Kind { Text, TextOrNumber, List, Dictionary };

struct FieldKind {
    const char* key;
    Kind kind;
};

// The setting's own fields and what a reader takes them as; the insides of the lists and
// dictionaries are checked by running the generators over them.
constexpr std::array kFieldKinds {
    FieldKind { kSettingName, Kind::Text },
    FieldKind { kConfigMode, Kind::TextOrNumber },
    FieldKind { kExpertConfigEdit, Kind::TextOrNumber },
    FieldKind { kExpertConfigText, Kind::Text },
    FieldKind { kNatdExpertText, Kind::Text },
    FieldKind { kInterfaceList, Kind::List },
    FieldKind { kNatConfig, Kind::Dictionary },
    FieldKind { kAssociatedScset, Kind::Text },
};

const char* kindText(Kind kind)
{
    switch (kind) {
    case Kind::Text:
        return "text";
    case Kind::TextOrNumber:
        return "text or a number";
    case Kind::List:
        return "a list";
    case Kind::Dictionary:
        return "a dictionary";
    }
    return "";
}

bool hasKind(const Value& value, Kind kind)
{
    switch (kind) {
    case Kind::Text:
        return value.isString();
    case Kind::TextOrNumber:
        return value.isString() || value.isNumber();
    case Kind::List:
        return value.isArray();
    case Kind::Dictionary:
        return value.isDictionary();
    }
    return false;
}

bool isControl(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

std::optional<std::string> controlProblem(std::string_view text, const std::string& where)
{
    for (const char c : text) {
        if (isControl(c)) {
            return where + (c == '\n' || c == '\r' ? " contains a line break" : " contains a control character");
        }
    }
    return std::nullopt;
}

// Names, labels, interface and host texts are single lines wherever they are written or shown.
std::optional<std::string> findControlCharacters(const Value& value, const std::string& where)
{
    if (const std::string* text = value.string()) {
        return controlProblem(*text, where);
    }
    if (const auto* entries = value.array()) {
        for (std::size_t i = 0; i < entries->size(); ++i) {
            if (auto problem = findControlCharacters((*entries)[i], where + " entry " + std::to_string(i + 1))) {
                return problem;
            }
        }
    }
    if (const auto* fields = value.dictionary()) {
        for (const auto& [key, field] : *fields) {
            const std::string inner = where.empty() ? key : where + ", " + key;
            if (auto problem = controlProblem(key, inner)) {
                return problem;
            }
            if (auto problem = findControlCharacters(field, inner)) {
                return problem;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> codeAttribute(const std::string& path, const char* name)
{
    std::array<unsigned char, 4> bytes {};
    if (::getxattr(path.c_str(), name, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        return std::nullopt;
    }
    return (std::uint32_t { bytes[0] } << 24) | (std::uint32_t { bytes[1] } << 16) | (std::uint32_t { bytes[2] } << 8) |
           std::uint32_t { bytes[3] };
}

} // namespace

std::uint32_t fourCharCodeToOSType(std::string_view code)
{
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        result = (result << 8) | (i < code.size() ? static_cast<unsigned char>(code[i]) : 0u);
    }
    return result;
}

bool setTypeAndCreator(const std::string& path, std::string_view type, std::string_view creator)
{
    for (const auto& [name, code] : { std::pair { kTypeAttribute, type }, std::pair { kCreatorAttribute, creator } }) {
        const std::uint32_t value = fourCharCodeToOSType(code);
        const std::array<unsigned char, 4> bytes { static_cast<unsigned char>(value >> 24),
                                                   static_cast<unsigned char>(value >> 16),
                                                   static_cast<unsigned char>(value >> 8),
                                                   static_cast<unsigned char>(value) };
        if (::setxattr(path.c_str(), name, bytes.data(), bytes.size(), 0) != 0) {
            if (errno == ENOTSUP || errno == EOPNOTSUPP) {
                return true; // the file system keeps no such marks; the file itself is written
            }
            logf("Error setting type and creator. Error: %d", errno);
            return false;
        }
    }
    return true;
}

std::optional<std::uint32_t> typeCode(const std::string& path)
{
    return codeAttribute(path, kTypeAttribute);
}

std::optional<std::uint32_t> creatorCode(const std::string& path)
{
    return codeAttribute(path, kCreatorAttribute);
}

bool writeSettingFile(const std::string& path, const Value& setting)
{
    if (!writeFileAtomically(path, valueToXml(setting), 0644)) {
        return false;
    }
    setTypeAndCreator(path, kFileType, kCreator);
    return true;
}

std::optional<std::string> settingProblem(const Value& setting)
{
    if (!setting.isDictionary()) {
        return "the file holds no setting dictionary";
    }
    for (const FieldKind& field : kFieldKinds) {
        const Value* value = setting.get(field.key);
        if (value != nullptr && !hasKind(*value, field.kind)) {
            return std::string(field.key) + " holds " + rules_detail::kindName(*value) + " where " +
                   kindText(field.kind) + " is expected";
        }
    }
    const Value* name = setting.get(kSettingName);
    if (name == nullptr || name->string()->empty()) {
        return std::string(kSettingName) + " is missing or empty";
    }
    if (auto problem = findTextXmlCannotHold(setting)) {
        return problem;
    }
    for (const char* key : { kSettingName, kInterfaceList, kNatConfig, kAssociatedScset }) {
        if (const Value* value = setting.get(key)) {
            if (auto problem = findControlCharacters(*value, key)) {
                return problem;
            }
        }
    }
    // The quick part is checked as it would be generated with every interface switched on, so
    // that switching the setting to quick mode or an interface on later cannot bring it out.
    Value quick = setting;
    quick.set(kConfigMode, Value::integer(0));
    if (Value* interfaces = quick.get(kInterfaceList); interfaces != nullptr) {
        for (Value& entry : *interfaces->array()) {
            if (entry.isDictionary()) {
                entry.set(kEnableFirewall, Value::integer(1));
            }
        }
    }
    try {
        ipfwTextForSetting(quick);
        generateNatdTextFromSetting(quick);
    } catch (const SettingTypeError& error) {
        return std::string(error.what());
    }
    if (auto problem = findUnsafeRuleText(quick)) {
        return problem;
    }
    return findRuleNumberOverflow(quick);
}

std::optional<Value> readSettingFile(const std::string& path, std::string& problem)
{
    FileBytes file;
    if (!file.openRegular(path, kMaxFileSize)) {
        problem = errno == EFBIG ? "the file is larger than " + std::to_string(kMaxFileSize >> 20) + " MiB"
                                 : "the file cannot be read (" + FileBytes::errorText(errno) + ")";
        return std::nullopt;
    }
    std::optional<Value> setting = valueFromPropertyList(file.bytes());
    if (!setting) {
        problem = "the file is not a property list";
        return std::nullopt;
    }
    if (auto refusal = settingProblem(*setting)) {
        problem = *refusal;
        return std::nullopt;
    }
    return setting;
}

std::string cleanedFileName(std::string_view settingName)
{
    std::string name(settingName);
    for (char& c : name) {
        if (c == '/' || c == ':') {
            c = '_';
        }
    }
    return name;
}

} // namespace kw::app::settingsfile
