#pragma once

#include <stdexcept>
#include <string>

namespace kw {

// Raised by rule and natd text generation when a setting holds a value of the wrong kind
// where text or a list is expected: an array or dictionary in a text field, a number in a
// field whose text is tested or compared, or a list entry that is not a dictionary.
// what() names the offending key and where it sits, e.g.
//   "INTERFACE_LIST entry 1, FILTER_LIST entry 2: ServiceFilterPort holds a number where text is expected"
// The tool ends the command with "Exception raised:" and this text and writes nothing.
class SettingTypeError : public std::runtime_error {
public:
    explicit SettingTypeError(const std::string& detail, const std::string& location = std::string())
        : std::runtime_error(location.empty() ? detail : location + ": " + detail)
        , m_detail(detail)
        , m_location(location)
    {}

    // What is wrong, e.g. "ServiceFilterPort holds a number where text is expected".
    const std::string& detail() const { return m_detail; }
    // Where, outermost first, e.g. "INTERFACE_LIST entry 1, FILTER_LIST entry 2"; may be empty.
    const std::string& location() const { return m_location; }

    // The same error seen from one level further out.
    SettingTypeError within(const std::string& outer) const
    {
        return SettingTypeError(m_detail, m_location.empty() ? outer : outer + ", " + m_location);
    }

private:
    std::string m_detail;
    std::string m_location;
};

} // namespace kw
