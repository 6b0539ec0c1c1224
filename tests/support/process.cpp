#include "tests/support/process.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fwp::test {

std::string BinaryPath(const std::string& name) {
    return std::string(FWP_BIN_DIR) + "/" + name;
}

TProcess::TProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::string& folder, std::function<void()> beforeExec, bool terminalInput) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int terminal = -1;
    std::string terminalName;
    if (terminalInput) {
        terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminalName = ::ptsname(terminal);
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], 0);
        if (terminalInput) {
            ::setsid();
            const int user = ::open(terminalName.c_str(), O_RDWR);
            termios mode{};
            ::tcgetattr(user, &mode);
            mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(user, TCSANOW, &mode);
            ::dup2(user, 0);
        }
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0)
            ::_exit(127);
        if (beforeExec)
            beforeExec();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    m_out = out[0];
    m_err = err[0];
    m_in = in[1];
    if (terminalInput) {
        ::close(m_in);
        m_in = terminal;
    }
    ::fcntl(m_err, F_SETFL, O_NONBLOCK);
}

TProcess::~TProcess() {
    if (!m_status && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    for (const int fd : {m_out, m_err, m_in})
        if (fd >= 0)
            ::close(fd);
}

std::optional<std::string> TProcess::ReadLine(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        const std::size_t at = m_buffer.find('\n');
        if (at != std::string::npos) {
            std::string line = m_buffer.substr(0, at);
            m_buffer.erase(0, at + 1);
            m_lines.push_back(line);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_out < 0)
            return std::nullopt;
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(m_out);
            m_out = -1;
            continue;
        }
        m_buffer.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> TProcess::WaitForLine(const std::string& prefix, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto line = ReadLine(std::max(left, std::chrono::milliseconds(0)));
        if (!line)
            return std::nullopt;
        if (line->starts_with(prefix))
            return line;
    }
}

std::optional<int> TProcess::Wait(std::chrono::milliseconds limit) {
    if (m_status)
        return m_status;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        // Keep reading, so a full pipe never holds the child up.
        while (ReadLine(std::chrono::milliseconds(0))) {
        }
        ErrorOutput();
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            while (ReadLine(std::chrono::milliseconds(50))) {
            }
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

void TProcess::Signal(int signal) {
    if (!m_status && m_pid > 0)
        ::kill(m_pid, signal);
}

std::string TProcess::ErrorOutput() {
    char buffer[4096];
    ssize_t n;
    while (m_err >= 0 && (n = ::read(m_err, buffer, sizeof buffer)) > 0)
        m_errors.append(buffer, static_cast<std::size_t>(n));
    return m_errors;
}

bool TProcess::WaitForError(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (ErrorOutput().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        // Keep reading standard output too, so a full pipe never holds the child up.
        while (ReadLine(std::chrono::milliseconds(0))) {
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void TProcess::CloseInput() {
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
}

void TProcess::WriteInput(const std::string& text) {
    if (m_in >= 0) [[maybe_unused]]
        const auto n = ::write(m_in, text.data(), text.size());
}

}  // namespace fwp::test
