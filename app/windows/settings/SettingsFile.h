#pragma once

#include "base/PlistValue.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw::app {

// Exported settings files: an XML property list whose root is one setting dictionary, named
// with the extension "firewall" and marked with a file type and creator code.
namespace settingsfile {

inline constexpr char kExtension[] = "firewall";
inline constexpr char kFileType[] = "FrWl";
inline constexpr char kCreator[] = "KpWl";
// The extended attributes that keep the two codes, each as four big-endian bytes, on file
// systems that allow user attributes.
inline constexpr char kTypeAttribute[] = "user.keepwall.filetype";
inline constexpr char kCreatorAttribute[] = "user.keepwall.creator";
// A setting file is a few kilobytes; a large one is no export of ours and is not read whole.
inline constexpr std::size_t kMaxFileSize = std::size_t { 4 } << 20;

// The four-character code as a 32-bit number: the text's first four bytes (Latin-1, missing
// bytes zero) read big-endian.
std::uint32_t fourCharCodeToOSType(std::string_view code);

// Marks the file with the type and creator codes. A file system that keeps no user attributes
// is skipped silently (true); any other failure is logged and answers false.
bool setTypeAndCreator(const std::string& path, std::string_view type, std::string_view creator);
// The codes a file carries; none when it has none or the file system keeps none.
std::optional<std::uint32_t> typeCode(const std::string& path);
std::optional<std::uint32_t> creatorCode(const std::string& path);

// Writes the setting as an XML property list atomically, then marks it. False with errno set
// when the file could not be written (an old file is then unchanged).
bool writeSettingFile(const std::string& path, const Value& setting);

// Why a setting read from a file cannot be stored: a field of the wrong kind, text that the
// rule file or natd configuration would split or cut (line breaks, control characters, "#" in
// rule fields), text that the settings document cannot carry, or rule numbers past the last.
// The answer names the field and where it sits; none when the setting is sound.
std::optional<std::string> settingProblem(const Value& setting);

// Reads a settings file. On failure answers none and sets problem to why, naming the field
// where one is at fault.
std::optional<Value> readSettingFile(const std::string& path, std::string& problem);

// The file name suggested for a setting's export: its name with "/" and ":" made "_".
std::string cleanedFileName(std::string_view settingName);

} // namespace settingsfile

} // namespace kw::app
