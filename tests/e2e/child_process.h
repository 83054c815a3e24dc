// A program run as a child process with its three standard streams on pipes,
// so a test can type into it, read what it prints and see how it ended.
#pragma once

#include "platform/posix/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::e2e {

using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How a run ended and what it wrote.
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;       // the exit status when the process exited
    int signal = 0;        // the signal that ended it, 0 when it exited
    bool hitLimit = false; // killed because it outlived its time limit

    // A one-line account of the ending, for failure messages.
    std::string Describe() const;
};

class ChildProcess {
public:
    // `environment` entries ("NAME=value") replace or add to the test's own.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills the process if it still runs, so no test leaves one behind.
    ~ChildProcess();

    // Writes all of `bytes` to the child's input; false once the child no
    // longer reads it (it ended, or closed its input).
    bool Send(std::string_view bytes);
    void CloseInput();

    // Waits until the output holds `text` after the end of the previous
    // match; false when `timeout` ran out or the output ended first.
    bool WaitForOutput(std::string_view text, Millis timeout);
    // The first line of output without its LF, within `timeout`; empty if none came.
    std::string WaitForLine(Millis timeout);

    // Ends the input and waits for the end, killing the child at `limit`.
    RunResult Finish(Millis limit);
    // Sends `signal`, then waits as Finish does.
    RunResult Stop(int signal, Millis limit);

    const std::string& Output() const { return out_; }
    const std::string& Errors() const { return err_; }

private:
    // Takes in what the output pipes hold, waiting up to `timeoutMs` for
    // something; false once both have ended.
    bool Pump(int timeoutMs);
    RunResult Collect(Clock::time_point deadline);

    pid_t pid_ = -1;
    posix::UniqueFd input_;
    posix::UniqueFd output_;
    posix::UniqueFd errors_;
    std::string out_;
    std::string err_;
    std::size_t matchedUpTo_ = 0;
};

} // namespace tarvik::e2e
