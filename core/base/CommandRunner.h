#pragma once

#include <string>
#include <vector>

namespace kw {

// Decoding of a wait status word, as the shell's caller sees it.
struct StatusWord {
    static bool endedNormally(int w) { return (w & 0x7f) == 0; }
    static int exitStatus(int w) { return (w >> 8) & 0xff; }
    static int lowBits(int w) { return w & 0x7f; }
};

// Status word for a program that could not be started: the shell's 127.
constexpr int kNotStartedStatus = 127 << 8;

// A child process started without a shell: the program is a system path resolved under the
// system root, and each argument reaches it as one word, whatever text it holds.
class Process {
public:
    enum class Output { Inherit, Pipe };

    Process() = default;
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts the program. When it cannot be started at all (no memory, no processes left) the
    // result is not running and errno tells why. A program that does not exist or cannot be
    // executed still gives a process, whose status word is the shell's 127.
    static Process start(const std::string& systemProgram, const std::vector<std::string>& args,
                         Output output = Output::Inherit);

    // False when the program could not be started at all (see startError()).
    bool started() const { return m_startError == 0; }
    int startError() const { return m_startError; }
    // The read end of the output pipe (Output::Pipe), or -1.
    int outputFd() const { return m_outFd; }
    // Reads the output pipe to its end and closes it.
    std::string readAllOutput();
    // Waits for the child and returns its status word; -1 when it never started.
    int wait();

private:
    int m_pid = -1;
    int m_outFd = -1;
    int m_startError = -1;
    int m_status = -1;
    bool m_waited = false;
};

// Runs a program to its end and returns the status word (-1 when it could not be started,
// with errno set; kNotStartedStatus when the program could not be executed).
int runCommand(const std::string& systemProgram, const std::vector<std::string>& args);

// As runCommand, collecting standard output.
int runCommandWithOutput(const std::string& systemProgram, const std::vector<std::string>& args, std::string& output);

} // namespace kw
