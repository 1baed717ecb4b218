#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kw {

// A local request/reply port named like "KWConfigServer", private to one system root.
// It is an abstract Unix-domain socket: nothing on disk, and the peer's user id is checked on
// both sides, so a tool run as root only ever takes data from a server of the user who
// started it (or of root).
//
// Wire format: the request is a 4-byte message id and a 4-byte length followed by the request
// bytes; the reply is a 4-byte length followed by that many bytes (0: no data). Big-endian.

// Results of a request, as the platform numbers them.
enum MessagePortStatus : int {
    kMessagePortSuccess = 0,
    kMessagePortSendTimeout = -1,
    kMessagePortReceiveTimeout = -2,
    kMessagePortIsInvalid = -3,
    kMessagePortTransportError = -4,
    kMessagePortPeerRefused = -5,
};

struct MessagePortReply {
    bool portFound = false; // a server was listening under the name
    int status = kMessagePortIsInvalid;
    std::optional<std::string> data; // reply bytes, when a non-empty reply arrived
};

class MessagePortClient {
public:
    // allowedUid: the user whose server is trusted besides root.
    static MessagePortReply sendRequest(const std::string& portName, int messageId, uid_t allowedUid,
                                        std::chrono::milliseconds sendTimeout,
                                        std::chrono::milliseconds receiveTimeout);
};

class MessagePortServer {
public:
    // Returns the reply bytes for a message id, or nothing for "no data".
    using Handler = std::function<std::optional<std::string>(int messageId)>;

    explicit MessagePortServer(const std::string& portName);
    ~MessagePortServer();
    MessagePortServer(const MessagePortServer&) = delete;
    MessagePortServer& operator=(const MessagePortServer&) = delete;

    // False when the name is taken or the socket could not be made.
    bool isValid() const { return m_fd >= 0; }

    // Answers one request from a client run by this server's user or by root, then returns true.
    // Returns false when the timeout expires or stop() is called first.
    bool serveOne(const Handler& handler, std::chrono::milliseconds timeout);

    // Makes a serveOne() running on another thread return (thread-safe).
    void stop();

private:
    int m_fd = -1;
    int m_wakeFd = -1;
};

// The abstract socket name of a port on the current system root.
std::string messagePortAddress(const std::string& portName);

} // namespace kw
