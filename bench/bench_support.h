// What the benchmarks share: a pseudo-terminal pair, child processes that are
// always reaped, a scratch directory, bounded reads and writes, statistics.
// Failures throw, so that every owner on the way out kills and removes what
// it holds before main reports the reason.
#pragma once

#include "platform/posix/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tarvik::bench {

using posix::UniqueFd;

inline std::int64_t NowNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Takes errno as it stands, so call it right after the failing call.
inline std::system_error SystemError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

inline void MakeRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        throw SystemError("tcgetattr");
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        throw SystemError("tcsetattr");
}

// A pseudo-terminal whose slave is kept open here in raw mode: the slave's
// settings then outlive each client, and the master never sees a hang-up
// between two clients.
class PtyPair {
public:
    PtyPair()
    {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw SystemError("openpty");
        master_.Reset(master);
        anchor_.Reset(slave);
        // Programs started later must not hold either end.
        if (::fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slave, F_SETFD, FD_CLOEXEC) != 0)
            throw SystemError("fcntl");
        char name[256] = {};
        if (const int error = ::ttyname_r(slave, name, sizeof name); error != 0)
            throw std::system_error(error, std::generic_category(), "ttyname_r");
        slavePath_ = name;
        MakeRaw(slave);
    }

    int Master() const { return master_.Get(); }
    int Anchor() const { return anchor_.Get(); }
    const std::string& SlavePath() const { return slavePath_; }

private:
    UniqueFd master_;
    UniqueFd anchor_;
    std::string slavePath_;
};

struct Pipe {
    UniqueFd Read;
    UniqueFd Write;
    Pipe()
    {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw SystemError("pipe2");
        Read.Reset(ends[0]);
        Write.Reset(ends[1]);
    }
};

// A child process that is killed and reaped by its owner unless it was
// waited for: no benchmark leaves one behind, whichever way it ends.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    ChildProcess& operator=(ChildProcess&& other) noexcept
    {
        if (this != &other) {
            Kill();
            pid_ = std::exchange(other.pid_, -1);
        }
        return *this;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // Runs body in a forked copy of this process; its result is the exit status.
    template <class Body> static ChildProcess Fork(Body body)
    {
        // Output still buffered here would otherwise be written twice.
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0)
            throw SystemError("fork");
        if (pid > 0)
            return ChildProcess(pid);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int status = 1;
        try {
            status = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "child: %s\n", error.what());
        }
        std::fflush(stdout);
        ::_exit(status);
    }

    // Runs a program with the given descriptors as its standard input and
    // output (-1 keeps ours) and extra "NAME=value" entries in its environment.
    static ChildProcess Spawn(const std::vector<std::string>& argv, int input, int output,
                              const std::vector<std::string>& environment = {})
    {
        return Fork([&] {
            if ((input >= 0 && ::dup2(input, 0) < 0) || (output >= 0 && ::dup2(output, 1) < 0))
                return 127;
            for (const std::string& entry : environment)
                ::putenv(const_cast<char*>(entry.c_str()));
            std::vector<char*> args;
            for (const std::string& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            std::perror(args[0]);
            return 127;
        });
    }

    // Waits at most timeoutMs for the exit; returns the exit status, or
    // throws when the child is still running then or was killed by a signal.
    int Wait(int timeoutMs, rusage* usage = nullptr)
    {
        const std::int64_t deadline = NowNanos() + std::int64_t{timeoutMs} * 1'000'000;
        for (;;) {
            int status = 0;
            rusage own{};
            const pid_t done = ::wait4(pid_, &status, WNOHANG, usage != nullptr ? usage : &own);
            if (done == pid_) {
                pid_ = -1;
                if (WIFEXITED(status))
                    return WEXITSTATUS(status);
                throw std::runtime_error("child ended by signal " +
                                         std::to_string(WTERMSIG(status)));
            }
            if (done < 0)
                throw SystemError("wait4");
            if (NowNanos() >= deadline)
                throw std::runtime_error("child did not end in time");
            ::usleep(2000);
        }
    }

private:
    void Kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
};

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = "/tmp/tarvik-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw SystemError("mkdtemp");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Waits until fd is readable or the deadline passes.
inline void AwaitReadable(int fd, std::int64_t deadline, const char* what)
{
    for (;;) {
        const std::int64_t left = deadline - NowNanos();
        if (left <= 0)
            throw std::runtime_error(std::string("timed out: ") + what);
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left / 1'000'000) + 1);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            throw SystemError("poll");
    }
}

// Some bytes from fd, at least one, before the deadline.
inline std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::int64_t deadline,
                            const char* what)
{
    for (;;) {
        AwaitReadable(fd, deadline, what);
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0)
            return static_cast<std::size_t>(got);
        if (got == 0)
            throw std::runtime_error(std::string("end of input: ") + what);
        if (errno != EINTR && errno != EAGAIN)
            throw SystemError(what);
    }
}

inline void WriteAll(int fd, const char* data, std::size_t size, const char* what)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            throw SystemError(what);
        data += put;
        size -= static_cast<std::size_t>(put);
    }
}

// For a descriptor in non-blocking mode: waits for room as long as the
// deadline allows, so a reader that died cannot hang the writer.
inline void WriteAllBy(int fd, const char* data, std::size_t size, std::int64_t deadline,
                       const char* what)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno != EINTR && errno != EAGAIN)
            throw SystemError(what);
        const std::int64_t left = deadline - NowNanos();
        if (left <= 0)
            throw std::runtime_error(std::string("timed out: ") + what);
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, static_cast<int>(left / 1'000'000) + 1) < 0 && errno != EINTR)
            throw SystemError("poll");
    }
}

inline void SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        throw SystemError("fcntl");
}

// Lines from a child's output, one at a time, each awaited for a bounded time.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::string Next(int timeoutMs, const char* what)
    {
        const std::int64_t deadline = NowNanos() + std::int64_t{timeoutMs} * 1'000'000;
        std::size_t end = 0;
        char buffer[4096];
        while ((end = pending_.find('\n')) == std::string::npos)
            pending_.append(buffer, ReadSome(fd_, buffer, sizeof buffer, deadline, what));
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

private:
    int fd_;
    std::string pending_;
};

// Reads fd to its end, at most timeoutMs in all.
inline std::string ReadToEnd(int fd, int timeoutMs, const char* what)
{
    const std::int64_t deadline = NowNanos() + std::int64_t{timeoutMs} * 1'000'000;
    std::string text;
    char buffer[65536];
    for (;;) {
        AwaitReadable(fd, deadline, what);
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return text;
        if (got < 0 && errno != EINTR)
            throw SystemError(what);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
    }
}

struct Summary {
    std::size_t Count = 0;
    double Median = 0;
    double P99 = 0;
};

// The median, and the 99th percentile by nearest rank.
inline Summary Summarize(std::vector<double> samples)
{
    Summary summary;
    summary.Count = samples.size();
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    summary.Median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    summary.P99 = samples[std::max<std::size_t>(rank, 1) - 1];
    return summary;
}

inline std::string LoadAverage()
{
    double loads[3] = {0, 0, 0};
    if (::getloadavg(loads, 3) != 3)
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", loads[0], loads[1], loads[2]);
    return text;
}

} // namespace tarvik::bench
