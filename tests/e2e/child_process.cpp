#include "e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

extern char** environ;

namespace tarvik::e2e {
namespace {

// A child that vanishes would otherwise kill the test with SIGPIPE on the
// next write to its input.
void IgnoreBrokenPipes()
{
    static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignored;
}

[[noreturn]] void ThrowOsError(int err, const char* what)
{
    throw std::system_error(err, std::generic_category(), what);
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

struct Pipe {
    posix::UniqueFd read;
    posix::UniqueFd write;
};

// Both ends close on exec: the child gets only the copies made for it.
Pipe MakePipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        const int err = errno;
        ThrowOsError(err, "pipe2");
    }
    return {posix::UniqueFd(ends[0]), posix::UniqueFd(ends[1])};
}

void MakeNonBlocking(const posix::UniqueFd& fd)
{
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        const int err = errno;
        ThrowOsError(err, "fcntl O_NONBLOCK");
    }
}

// Appends what `fd` holds now; false at its end.
bool Drain(int fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && errno == EAGAIN;
    }
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry)
        merged.emplace_back(*entry);
    for (const std::string& change : changes) {
        const std::string prefix = change.substr(0, change.find('=') + 1);
        std::erase_if(merged, [&](const std::string& e) { return e.starts_with(prefix); });
        merged.push_back(change);
    }
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Owns the spawn's file actions for the length of one spawn.
class SpawnActions {
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void Dup(const posix::UniqueFd& from, int to)
    {
        if (const int err = ::posix_spawn_file_actions_adddup2(&actions_, from.Get(), to))
            ThrowOsError(err, "posix_spawn_file_actions_adddup2");
    }
    const posix_spawn_file_actions_t* Get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

} // namespace

std::string RunResult::Describe() const
{
    std::string text;
    if (hitLimit)
        text = "still running at its time limit, killed";
    else if (signal != 0)
        text = "ended by signal " + std::to_string(signal);
    else
        text = "exited with status " + std::to_string(status);
    return text + "; stderr: \"" + err + "\"";
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
{
    IgnoreBrokenPipes();
    Pipe in = MakePipe();
    Pipe out = MakePipe();
    Pipe err = MakePipe();
    SpawnActions actions;
    actions.Dup(in.read, STDIN_FILENO);
    actions.Dup(out.write, STDOUT_FILENO);
    actions.Dup(err.write, STDERR_FILENO);

    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = MergedEnvironment(environment);
    auto argPointers = Pointers(argv);
    auto envPointers = Pointers(envp);
    if (const int spawnErr = ::posix_spawn(&pid_, program.c_str(), actions.Get(), nullptr,
                                           argPointers.data(), envPointers.data())) {
        pid_ = -1;
        ThrowOsError(spawnErr, "posix_spawn");
    }
    // The child's ends stay with the child only, so its exit ends our reads.
    input_ = std::move(in.write);
    output_ = std::move(out.read);
    errors_ = std::move(err.read);
    MakeNonBlocking(input_);
    MakeNonBlocking(output_);
    MakeNonBlocking(errors_);
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Send(std::string_view bytes)
{
    const auto deadline = Clock::now() + Millis(10000);
    while (!bytes.empty()) {
        if (!input_.Valid())
            return false;
        const ssize_t put = ::write(input_.Get(), bytes.data(), bytes.size());
        if (put > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(put));
            continue;
        }
        const int err = errno;
        if (put < 0 && err == EINTR)
            continue;
        if (put < 0 && err == EAGAIN && Clock::now() < deadline) {
            // Reading on meanwhile lets a child blocked on full output go on.
            Pump(10);
            continue;
        }
        return false;
    }
    return true;
}

void ChildProcess::CloseInput()
{
    input_.Reset();
}

bool ChildProcess::WaitForOutput(std::string_view text, Millis timeout)
{
    const auto deadline = Clock::now() + timeout;
    bool open = true;
    for (;;) {
        if (const auto found = out_.find(text, matchedUpTo_); found != std::string::npos) {
            matchedUpTo_ = found + text.size();
            return true;
        }
        if (!open || Clock::now() >= deadline)
            return false;
        open = Pump(RemainingMs(deadline));
    }
}

std::string ChildProcess::WaitForLine(Millis timeout)
{
    if (!WaitForOutput("\n", timeout))
        return {};
    return out_.substr(0, out_.find('\n'));
}

RunResult ChildProcess::Finish(Millis limit)
{
    CloseInput();
    return Collect(Clock::now() + limit);
}

RunResult ChildProcess::Stop(int signal, Millis limit)
{
    if (pid_ > 0)
        ::kill(pid_, signal);
    return Finish(limit);
}

bool ChildProcess::Pump(int timeoutMs)
{
    pollfd watch[2];
    nfds_t count = 0;
    if (output_.Valid())
        watch[count++] = {output_.Get(), POLLIN, 0};
    if (errors_.Valid())
        watch[count++] = {errors_.Get(), POLLIN, 0};
    if (count == 0)
        return false;
    if (::poll(watch, count, timeoutMs) < 0) {
        const int err = errno;
        if (err != EINTR)
            ThrowOsError(err, "poll");
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (watch[i].revents == 0)
            continue;
        const bool isOutput = watch[i].fd == output_.Get();
        if (!Drain(watch[i].fd, isOutput ? out_ : err_))
            (isOutput ? output_ : errors_).Reset();
    }
    return output_.Valid() || errors_.Valid();
}

RunResult ChildProcess::Collect(Clock::time_point deadline)
{
    RunResult result;
    while (Clock::now() < deadline && Pump(RemainingMs(deadline))) {
    }
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done != pid_ && Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            result.hitLimit = true;
        } else if (done != pid_) {
            // An exit wakes no descriptor we hold once the pipes have ended.
            std::this_thread::sleep_for(Millis(5));
            continue;
        }
        pid_ = -1;
        if (WIFEXITED(status))
            result.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.signal = WTERMSIG(status);
    }
    // Whatever was still on its way when the process ended.
    for (int round = 0; round < 20 && Pump(50); ++round) {
    }
    result.out = out_;
    result.err = err_;
    return result;
}

} // namespace tarvik::e2e
