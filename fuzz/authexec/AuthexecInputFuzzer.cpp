// Feeds arbitrary bytes to the setuid starter's request parser. A request that parses must
// obey every limit and build back to exactly the same bytes.
#include "AuthexecRequest.h"

#include <cstdlib>
#include <cstring>

using namespace kw::authexec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Request request;
    if (parseRequest(data, size, request) != ParseError::None) {
        if (!request.userName.empty() || !request.password.empty() || !request.path.empty() ||
            !request.arguments.empty()) {
            std::abort();
        }
        return 0;
    }
    if (!isAcceptableUserName(request.userName) || request.password.empty() ||
        request.password.size() > kMaxPasswordLength || request.arguments.size() > kMaxArguments) {
        std::abort();
    }
    if (request.operation == Operation::Exec ? !isNormalAbsolutePath(request.path) : !request.path.empty()) {
        std::abort();
    }
    kw::SecureBuffer rebuilt;
    if (!buildRequest(request, rebuilt) || rebuilt.size() != size || std::memcmp(rebuilt.data(), data, size) != 0) {
        std::abort();
    }
    return 0;
}
