// kw-serve-config: answers one settings request on "KWConfigServer" while a command runs, as the
// application does when it runs "wallctl store" or "wallctl delete-log".
//
//   kw-serve-config [--store FILE] [--delete FILE] [--timeout SECONDS] [--delay MILLISECONDS]
//                   -- COMMAND [ARGS...]
//
// Request 1 is answered with the bytes of the --store file, request 2 with the --delete file,
// anything else with no data; --delay holds each answer back that long, as a busy application
// would. Exits with the command's exit status. A file that cannot be read, or is no regular file
// of sane size, ends the program with a message and status 66, as kw-check does.
#include "base/AtomicFile.h"
#include "base/MessagePort.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kExitNoInput = 66;

int usage()
{
    std::fprintf(stderr, "usage: kw-serve-config [--store FILE] [--delete FILE] [--timeout SECONDS] "
                         "[--delay MILLISECONDS] -- COMMAND [ARGS...]\n");
    return 2;
}

std::optional<std::string> load(const char* path)
{
    kw::FileBytes bytes;
    if (!bytes.openRegular(path, kw::kMaxReadFileSize)) {
        std::fprintf(stderr, "kw-serve-config: cannot read %s: %s\n", path, kw::FileBytes::errorText(errno).c_str());
        std::exit(kExitNoInput);
    }
    return std::string(bytes.bytes());
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<std::string> storeReply;
    std::optional<std::string> deleteReply;
    int timeoutSeconds = 10;
    int delayMilliseconds = 0;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) {
            return usage();
        }
        if (a == "--store") {
            storeReply = load(argv[++i]);
        } else if (a == "--delete") {
            deleteReply = load(argv[++i]);
        } else if (a == "--timeout") {
            timeoutSeconds = std::atoi(argv[++i]);
        } else if (a == "--delay") {
            delayMilliseconds = std::max(0, std::atoi(argv[++i]));
        } else {
            return usage();
        }
    }
    if (i >= argc) {
        return usage();
    }

    kw::MessagePortServer server("KWConfigServer");
    if (!server.isValid()) {
        return 2;
    }
    std::thread serving([&] {
        server.serveOne(
            [&](int id) -> std::optional<std::string> {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMilliseconds));
                if (id == 1) {
                    return storeReply;
                }
                if (id == 2) {
                    return deleteReply;
                }
                return std::nullopt;
            },
            std::chrono::seconds(timeoutSeconds));
    });

    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[i], argv + i);
        std::fprintf(stderr, "kw-serve-config: cannot run %s: %s\n", argv[i], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    if (child > 0) {
        ::waitpid(child, &status, 0);
    }
    server.stop();
    serving.join();
    return child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
