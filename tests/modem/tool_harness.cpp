#include "modem/tool_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tarvik::modem::testing {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Appends whatever `fd` has now; false at its end.
bool Drain(int fd, std::string& into)
{
    char buffer[1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        merged.emplace_back(*entry);
    }
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('=') + 1);
        std::erase_if(merged, [&](const std::string& e) { return e.starts_with(name); });
        if (change.size() > name.size()) {
            merged.push_back(change);
        }
    }
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

ModemProcess::ModemProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> argv{TARVIK_MODEM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = MergedEnvironment(environment);
    auto argPointers = Pointers(argv);
    auto envPointers = Pointers(envp);
    const int spawned = ::posix_spawn(&pid_, TARVIK_MODEM_PATH, &actions, nullptr,
                                      argPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    stdout_ = out[0];
    stderr_ = err[0];
    ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
    ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
    if (spawned != 0) {
        pid_ = -1;
        throw std::runtime_error("posix_spawn failed");
    }
}

ModemProcess::~ModemProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdout_);
    ::close(stderr_);
}

std::optional<std::string> ModemProcess::ReadyLine(Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto end = stdoutText_.find('\n'); end != std::string::npos) {
            return stdoutText_.substr(0, end);
        }
        pollfd watch{stdout_, POLLIN, 0};
        if (::poll(&watch, 1, RemainingMs(deadline)) <= 0 || !Drain(stdout_, stdoutText_)) {
            if (const auto end = stdoutText_.find('\n'); end != std::string::npos) {
                return stdoutText_.substr(0, end);
            }
            return std::nullopt;
        }
    }
}

std::optional<int> ModemProcess::WaitExit(Millis timeout)
{
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            Stderr();
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        // A child's end wakes no descriptor we hold, so look again shortly.
        std::this_thread::sleep_for(Millis(5));
    }
}

std::optional<int> ModemProcess::Stop(int signal, Millis timeout)
{
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
    return WaitExit(timeout);
}

std::string ModemProcess::Stderr()
{
    Drain(stderr_, stderrText_);
    return stderrText_;
}

TerminalPort::TerminalPort(const std::filesystem::path& device)
    : fd_(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
}

TerminalPort::~TerminalPort()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void TerminalPort::Send(const std::string& bytes)
{
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string TerminalPort::Read(std::size_t count, Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string text;
    while (text.size() < count) {
        pollfd watch{fd_, POLLIN, 0};
        if (::poll(&watch, 1, RemainingMs(deadline)) <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, count - text.size()));
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

std::string TerminalPort::ReadUntilGone(Millis timeout, bool& gone)
{
    const auto deadline = Clock::now() + timeout;
    std::string text;
    gone = false;
    for (;;) {
        pollfd watch{fd_, POLLIN, 0};
        if (::poll(&watch, 1, RemainingMs(deadline)) <= 0) {
            return text;
        }
        char buffer[256];
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        // A hung-up terminal reads as end of file or as EIO.
        gone = got == 0 || errno == EIO;
        if (gone || errno != EAGAIN) {
            return text;
        }
    }
}

std::string Exchange(TerminalPort& port, const std::string& command, std::size_t answerSize)
{
    port.Send(command);
    std::string answer = port.Read(answerSize, Millis(1000));
    // Anything beyond the expected answer shows up in the comparison too.
    return answer + port.Read(64, Millis(30));
}

} // namespace tarvik::modem::testing
