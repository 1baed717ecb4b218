#pragma once

#include <KWSecurity/Export.h>
#include <KWSecurity/KWKeychain.h>
#include <KWSecurity/SecureBuffer.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kw {

class PrivilegedRunner;

// The read end of a program's standard output. Closing (or destroying) the handle closes
// the pipe. The caller reaps the program (processIdentifier()).
class KW_SECURITY_EXPORT KWFileHandle {
public:
    KWFileHandle() = default;
    KWFileHandle(int fd, pid_t pid)
        : m_fd(fd)
        , m_pid(pid)
    {}
    KWFileHandle(const KWFileHandle&) = delete;
    KWFileHandle& operator=(const KWFileHandle&) = delete;
    KWFileHandle(KWFileHandle&& other) noexcept;
    KWFileHandle& operator=(KWFileHandle&& other) noexcept;
    ~KWFileHandle();

    bool isValid() const { return m_fd >= 0; }
    int fileDescriptor() const { return m_fd; }
    pid_t processIdentifier() const { return m_pid; }
    // Reads up to end of file.
    std::vector<std::uint8_t> readDataToEndOfFile();
    void closeFile();

private:
    int m_fd = -1;
    pid_t m_pid = -1;
};

// Obtains and holds, per process and in memory only, the right to run given executables as
// root, and runs them. The panel (a window of the application) drives the asking part through
// the panel runner, the fields and okayButtonPressed().
class KW_SECURITY_EXPORT AuthPanelController {
public:
    // Modal session codes.
    static constexpr int kModalOk = -1000;
    static constexpr int kModalAbort = -1001;
    static constexpr int kModalContinue = -1002;

    // Texts of the panel.
    static constexpr const char* kPromptFormatKey = "AuthenticationPromptFormat";
    static constexpr const char* kPromptFormatDefault =
        "You need an administrator name and password\nor phrase to make changes in %@";
    static constexpr const char* kIncorrectTitle = "Incorrect username or password";
    static constexpr const char* kIncorrectButton = "Ok";
    static constexpr const char* kIncorrectText = "You have entered an incorrect user name or password";

    // Runs the panel modally: the panel fills the fields, calls okayButtonPressed() for its
    // OK button and keeps running while that answers false (showing the incorrect-password
    // sheet); it answers kModalOk once OK succeeded, kModalAbort for Cancel. An answer of
    // kModalContinue means the session still runs, and the runner is called again.
    using PanelRunner = std::function<int(AuthPanelController&)>;

    // The shared controller (made on first use, never released). Its runner is chosen by the
    // system root at that moment: a sandbox root gives the user-namespace runner, "/" the
    // setuid starter.
    static AuthPanelController& sharedInstance();

    AuthPanelController();
    // With a given runner and keychain (the keychain must outlive the controller).
    AuthPanelController(std::unique_ptr<PrivilegedRunner> runner, KWKeychain* keychain);
    ~AuthPanelController();
    AuthPanelController(const AuthPanelController&) = delete;
    AuthPanelController& operator=(const AuthPanelController&) = delete;

    void setPanelRunner(PanelRunner runner);

    // Panel preparation: keychain option off, the prompt message, the login name.
    void windowDidLoad();

    // The panel's fields.
    const std::string& message() const { return m_message; }
    const std::string& userName() const { return m_userName; }
    void setUserName(std::string name) { m_userName = std::move(name); }
    const SecureBuffer& password() const { return m_password; }
    void setPassword(SecureBuffer password) { m_password = std::move(password); }
    bool keychainOption() const { return m_keychainOption; }
    void setKeychainOption(bool on) { m_keychainOption = on; }
    const std::vector<std::string>& currentAuthPaths() const { return m_currentAuthPaths; }

    // The OK button: checks the typed name and password for the current paths. True: the
    // panel ends its session with kModalOk. False: the password field is cleared and the
    // panel shows the incorrect-password sheet and stays up.
    bool okayButtonPressed();

    bool shouldStoreInKeychain() const { return m_keychainOption; }

    // True when the held authorization carries the right for every path. Never asks.
    bool isAuthenticatedforPaths(const std::vector<std::string>& paths);
    // True when the credentials obtain the right for every path (the rights are then held).
    bool validateUsername(const std::string& userName, const SecureBuffer& password,
                          const std::vector<std::string>& paths);
    // Keychain first, then the panel; true when the right for every path is held at the end.
    bool authenticateForExecutablePaths(const std::vector<std::string>& paths, const std::string& serviceName);
    // Destroys the held authorization (its credentials are wiped) and clears the password field.
    void deauthenticate();
    // Runs the panel for the paths; none when the user cancels.
    std::optional<Credentials> fetchAuthorizationForService(const std::string& serviceName,
                                                            const std::vector<std::string>& paths);

    // Runs the executable as root and waits for it, logging how it ended.
    void runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                       const std::string& keychainService);
    // Runs it with a pipe on its standard output and returns at once with the read end in the
    // place (left invalid when the start failed). The caller reads and reaps.
    void runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                       const std::string& keychainService, KWFileHandle* output);
    // Runs it and collects its whole standard output into the place (empty when the start
    // failed). The program is not reaped here.
    void runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                       const std::string& keychainService, std::vector<std::uint8_t>* outputData);

private:
    struct HeldAuthorization;

    int requestRights(const std::vector<std::string>& paths, const Credentials* credentials);
    bool storeIfWanted(const Credentials& credentials, const std::string& serviceName);
    int start(const std::string& path, const std::vector<std::string>& args, bool pipeOutput, pid_t& pid, int& fd);
    PrivilegedRunner& runner();
    KWKeychain& keychain();

    std::unique_ptr<PrivilegedRunner> m_runner;
    KWKeychain* m_keychain = nullptr;
    std::unique_ptr<HeldAuthorization> m_authorization;
    PanelRunner m_panelRunner;
    std::string m_message;
    std::string m_userName;
    SecureBuffer m_password;
    bool m_keychainOption = false;
    std::vector<std::string> m_currentAuthPaths;
};

} // namespace kw
