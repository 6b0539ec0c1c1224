#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fwp::test {

using namespace std::chrono_literals;

// A child process with its standard output read line by line. The process is
// ended (by its id) when the object goes, if it still runs.
class TProcess {
public:
    // Runs program with args in folder; beforeExec runs in the child (limits, ...).
    // With terminalInput its standard input is a terminal (a pseudo-terminal
    // the test writes to), as for a user at the keyboard.
    TProcess(const std::string& program, const std::vector<std::string>& args, const std::string& folder = "",
             std::function<void()> beforeExec = nullptr, bool terminalInput = false);
    ~TProcess();
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    // The next line of standard output, or nothing when none came in time.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 20s);
    // Reads lines until one starts with prefix; returns it.
    std::optional<std::string> WaitForLine(const std::string& prefix, std::chrono::milliseconds limit = 20s);
    // Every line read so far.
    const std::vector<std::string>& Lines() const { return m_lines; }
    // Waits for the exit; its status, or nothing when it did not end in time.
    std::optional<int> Wait(std::chrono::milliseconds limit = 60s);
    void Signal(int signal);
    std::string ErrorOutput();
    // Waits until standard error holds text; false when it did not come in time.
    bool WaitForError(const std::string& text, std::chrono::milliseconds limit = 20s);
    void CloseInput();
    void WriteInput(const std::string& text);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    int m_in = -1;
    std::string m_buffer;
    std::string m_errors;
    std::vector<std::string> m_lines;
    std::optional<int> m_status;
};

std::string BinaryPath(const std::string& name);

}  // namespace fwp::test
