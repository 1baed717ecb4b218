#include "KernelBackend.h"

#include "base/AtomicFile.h"
#include "common/PlatformRoot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace kw::nft {

namespace {

constexpr const char* kNftablesWord = "nftables";
constexpr std::size_t kMaxNamespaceName = 64;

std::string_view trimmed(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

} // namespace

std::string platformConfigurationPath()
{
    return platform::stateFolder() + "/platform.conf";
}

bool parseBackendWord(const std::string& word, KernelBackend& backend)
{
    if (word == "emulated") {
        backend = {};
        return true;
    }
    const std::string prefix = kNftablesWord;
    if (word.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    KernelBackend b;
    b.kind = KernelBackend::Kind::Nftables;
    if (word.size() > prefix.size()) {
        if (word[prefix.size()] != ':') {
            return false;
        }
        b.netns = word.substr(prefix.size() + 1);
        if (b.netns.empty() || b.netns.size() > kMaxNamespaceName || b.netns.front() == '.' ||
            b.netns.find('/') != std::string::npos) {
            return false;
        }
    }
    backend = b;
    return true;
}

bool loadKernelBackend(KernelBackend& backend, std::string& error)
{
    backend = {};
    const std::string path = platformConfigurationPath();
    std::string text;
    if (!readFile(path, text)) {
        if (errno == ENOENT) {
            return true;
        }
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string_view rest = text;
    int line = 0;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view l = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        ++line;
        l = trimmed(l.substr(0, l.find('#')));
        if (l.empty()) {
            continue;
        }
        const auto blank = l.find_first_of(" \t");
        const std::string_view key = l.substr(0, blank);
        const std::string value(trimmed(blank == std::string_view::npos ? std::string_view() : l.substr(blank)));
        if (key != "kernel" || !parseBackendWord(value, backend)) {
            error = path + ":" + std::to_string(line) + ": unknown setting";
            return false;
        }
    }
    return true;
}

bool storeKernelBackend(const KernelBackend& backend, std::string& error)
{
    std::string line = "kernel ";
    line += backend.isKernel() ? kNftablesWord : "emulated";
    if (backend.isKernel() && !backend.netns.empty()) {
        line += ":" + backend.netns;
    }
    line += "\n";
    const std::string path = platformConfigurationPath();
    if (!writeFileAtomically(path, line, 0644)) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool enterNamespace(const KernelBackend& backend, std::string& error)
{
    if (backend.netns.empty()) {
        return true;
    }
    const std::string path = "/var/run/netns/" + backend.netns;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "network namespace " + backend.netns + ": " + std::strerror(errno);
        return false;
    }
    const int rc = ::setns(fd, CLONE_NEWNET);
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
        error = "network namespace " + backend.netns + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

} // namespace kw::nft
