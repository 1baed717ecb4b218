#include "AuthexecRequest.h"

#include <charconv>

namespace kw::authexec {

namespace {

// Hands out the NUL-terminated fields of the input one by one.
class FieldReader {
public:
    FieldReader(const std::uint8_t* bytes, std::size_t size)
        : m_bytes(reinterpret_cast<const char*>(bytes))
        , m_size(size)
    {}

    bool next(std::string_view& field)
    {
        if (m_pos >= m_size) {
            return false;
        }
        const void* nul = std::memchr(m_bytes + m_pos, '\0', m_size - m_pos);
        if (nul == nullptr) {
            return false;
        }
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - m_bytes);
        field = std::string_view(m_bytes + m_pos, end - m_pos);
        m_pos = end + 1;
        return true;
    }

    bool atEnd() const { return m_pos == m_size; }

private:
    const char* m_bytes;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

bool parseCount(std::string_view text, std::size_t& count)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), count);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

} // namespace

const char* parseErrorText(ParseError error)
{
    switch (error) {
    case ParseError::None:
        return "no error";
    case ParseError::TooLarge:
        return "request too large";
    case ParseError::Truncated:
        return "request truncated";
    case ParseError::BadMagic:
        return "not a request";
    case ParseError::BadOperation:
        return "unknown operation";
    case ParseError::BadUserName:
        return "unacceptable user name";
    case ParseError::BadPassword:
        return "password empty or longer than 255 bytes";
    case ParseError::BadPath:
        return "executable path is not a plain absolute path";
    case ParseError::BadArgumentCount:
        return "bad argument count";
    case ParseError::BadArgument:
        return "argument too long";
    case ParseError::TrailingBytes:
        return "unexpected bytes after the request";
    }
    return "unknown error";
}

bool isAcceptableUserName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxUserNameLength || name.front() == '-') {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-' || c == '@';
        const bool finalDollar = c == '$' && i + 1 == name.size();
        if (!plain && !finalDollar) {
            return false;
        }
    }
    return name != "." && name != "..";
}

bool isNormalAbsolutePath(std::string_view path)
{
    if (path.empty() || path.size() > kMaxPathLength || path.front() != '/' ||
        path.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t pos = 1;
    while (pos <= path.size()) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view component = path.substr(pos, end - pos);
        if (component.empty() || component == "." || component == "..") {
            return false;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        pos = slash + 1;
    }
    return true;
}

ParseError parseRequest(const std::uint8_t* bytes, std::size_t size, Request& request)
{
    request = Request {};
    if (size > kMaxRequestBytes) {
        return ParseError::TooLarge;
    }
    FieldReader reader(bytes, size);
    std::string_view field;
    auto fail = [&request](ParseError error) {
        request = Request {};
        return error;
    };

    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    if (field != kRequestMagic) {
        return fail(ParseError::BadMagic);
    }
    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    if (field == "check") {
        request.operation = Operation::Check;
    } else if (field == "exec") {
        request.operation = Operation::Exec;
    } else {
        return fail(ParseError::BadOperation);
    }
    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    if (!isAcceptableUserName(field)) {
        return fail(ParseError::BadUserName);
    }
    request.userName.assign(field);
    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    if (field.empty() || field.size() > kMaxPasswordLength) {
        return fail(ParseError::BadPassword);
    }
    request.password.assign(field.data(), field.size());
    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    if (request.operation == Operation::Check ? !field.empty() : !isNormalAbsolutePath(field)) {
        return fail(ParseError::BadPath);
    }
    request.path.assign(field);
    if (!reader.next(field)) {
        return fail(ParseError::Truncated);
    }
    std::size_t count = 0;
    if (!parseCount(field, count) || count > kMaxArguments || (request.operation == Operation::Check && count != 0)) {
        return fail(ParseError::BadArgumentCount);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!reader.next(field)) {
            return fail(ParseError::Truncated);
        }
        if (field.size() > kMaxArgumentLength) {
            return fail(ParseError::BadArgument);
        }
        request.arguments.emplace_back(field);
    }
    if (!reader.atEnd()) {
        return fail(ParseError::TrailingBytes);
    }
    return ParseError::None;
}

bool buildRequest(const Request& request, SecureBuffer& out)
{
    out.clear();
    const bool check = request.operation == Operation::Check;
    if (!isAcceptableUserName(request.userName) || request.password.empty() ||
        request.password.size() > kMaxPasswordLength || request.password.view().find('\0') != std::string_view::npos ||
        (check ? !request.path.empty() || !request.arguments.empty() : !isNormalAbsolutePath(request.path)) ||
        request.arguments.size() > kMaxArguments) {
        return false;
    }
    for (const auto& argument : request.arguments) {
        if (argument.size() > kMaxArgumentLength || argument.find('\0') != std::string::npos) {
            return false;
        }
    }
    auto field = [&out](std::string_view text) {
        out.append(text.data(), text.size());
        out.push_back('\0');
    };
    field(kRequestMagic);
    field(check ? "check" : "exec");
    field(request.userName);
    field(request.password.view());
    field(request.path);
    field(std::to_string(request.arguments.size()));
    for (const auto& argument : request.arguments) {
        field(argument);
    }
    if (out.size() > kMaxRequestBytes) {
        out.clear();
        return false;
    }
    return true;
}

} // namespace kw::authexec
