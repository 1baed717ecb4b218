#include "NftKernel.h"

#include "base/AtomicFile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#if KW_HAVE_NFTABLES
#include <nftables/libnftables.h>
#endif

namespace kw::nft {

namespace {

constexpr const char* kForwardingPath = "/proc/sys/net/ipv4/ip_forward";

std::string tableSpec()
{
    return std::string(kTableFamily) + " " + kTableName;
}

std::string trimmedMessage(const char* text)
{
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

std::uint64_t numberAfter(std::string_view line, std::string_view word)
{
    const auto at = line.find(word);
    if (at == std::string_view::npos) {
        return 0;
    }
    std::string_view rest = line.substr(at + word.size());
    while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
    }
    std::uint64_t n = 0;
    std::from_chars(rest.data(), rest.data() + rest.size(), n);
    return n;
}

} // namespace

NftKernel::NftKernel()
{
#if KW_HAVE_NFTABLES
    m_ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    if (m_ctx != nullptr) {
        nft_ctx_buffer_output(m_ctx);
        nft_ctx_buffer_error(m_ctx);
    }
#endif
}

NftKernel::~NftKernel()
{
#if KW_HAVE_NFTABLES
    if (m_ctx != nullptr) {
        nft_ctx_free(m_ctx);
    }
#endif
}

bool NftKernel::available(std::string& error) const
{
#if KW_HAVE_NFTABLES
    if (m_ctx == nullptr) {
        error = "nftables: cannot make a library context";
        return false;
    }
    return true;
#else
    error = "nftables: this build has no kernel backend (libnftables was not found)";
    return false;
#endif
}

bool NftKernel::run(const std::string& script, std::string& error)
{
    std::string output;
    return query(script, output, error);
}

bool NftKernel::query(const std::string& command, std::string& output, std::string& error)
{
    if (!available(error)) {
        return false;
    }
#if KW_HAVE_NFTABLES
    const int rc = nft_run_cmd_from_buffer(m_ctx, command.c_str());
    // Reading a buffer empties it: each is read once.
    const char* printed = nft_ctx_get_output_buffer(m_ctx);
    output = printed ? printed : "";
    const std::string message = trimmedMessage(nft_ctx_get_error_buffer(m_ctx));
    if (rc != 0) {
        error = message.empty() ? std::string("nftables: the kernel refused the change") : "nftables: " + message;
        return false;
    }
    return true;
#else
    (void)command;
    (void)output;
    return false;
#endif
}

bool NftKernel::hasTable()
{
    std::string output;
    std::string error;
    if (!query("list tables " + std::string(kTableFamily), output, error)) {
        return false;
    }
    return output.find("table " + tableSpec() + "\n") != std::string::npos;
}

bool NftKernel::removeTable(std::string& error)
{
    // Adding first makes the deletion succeed whether or not the table exists, in one batch.
    return run("add table " + tableSpec() + "\ndelete table " + tableSpec() + "\n", error);
}

bool NftKernel::readCounters(std::unordered_map<std::uint64_t, RuleCounter>& counters, std::string& error)
{
    counters.clear();
    if (!hasTable()) {
        return true;
    }
    std::string output;
    if (!query("list counters table " + tableSpec(), output, error)) {
        return false;
    }
    parseCounterListing(output, counters);
    return true;
}

bool NftKernel::resetCounters(const std::vector<std::uint64_t>& ids, std::string& error)
{
    if (!hasTable()) {
        return true;
    }
    std::string script;
    if (ids.empty()) {
        script = "reset counters table " + tableSpec() + "\n";
    } else {
        for (const auto id : ids) {
            script += "reset counter " + tableSpec() + " r" + std::to_string(id) + "\n";
        }
    }
    std::string output;
    return query(script, output, error);
}

void parseCounterListing(const std::string& text, std::unordered_map<std::uint64_t, RuleCounter>& counters)
{
    std::string_view rest = text;
    std::uint64_t current = 0;
    bool inCounter = false;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) {
            line.remove_prefix(1);
        }
        if (line.rfind("counter r", 0) == 0) {
            std::string_view digits = line.substr(9);
            std::uint64_t id = 0;
            const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
            inCounter = ec == std::errc() && ptr != digits.data() && std::string_view(ptr).rfind(" {", 0) == 0;
            current = id;
        } else if (inCounter && line.rfind("packets ", 0) == 0) {
            counters[current] = { numberAfter(line, "packets"), numberAfter(line, "bytes") };
            inCounter = false;
        } else if (line.rfind("counter ", 0) == 0) {
            inCounter = false;
        }
    }
}

bool readIPv4Forwarding(bool& on, std::string& error)
{
    std::string text;
    if (!readFile(kForwardingPath, text)) {
        error = std::string(kForwardingPath) + ": " + std::strerror(errno);
        return false;
    }
    on = !text.empty() && text[0] == '1';
    return true;
}

bool writeIPv4Forwarding(bool on, std::string& error)
{
    const int fd = ::open(kForwardingPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string(kForwardingPath) + ": " + std::strerror(errno);
        return false;
    }
    const char value = on ? '1' : '0';
    const bool ok = ::write(fd, &value, 1) == 1;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
        error = std::string(kForwardingPath) + ": " + std::strerror(saved);
    }
    return ok;
}

} // namespace kw::nft
