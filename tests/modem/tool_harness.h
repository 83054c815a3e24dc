// Runs the real tarvik-modem and talks to it through its pseudo-terminal.
#pragma once

#include "support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarvik::modem::testing {

using Millis = std::chrono::milliseconds;

using testsupport::TempDir;

void WriteFile(const std::filesystem::path& path, const std::string& text);

// The tool as a child process with its output on pipes. Killed at the end
// of the test if still running.
class ModemProcess {
public:
    // `environment` entries ("NAME=value") replace or add to the test's own;
    // "NAME=" alone removes NAME.
    explicit ModemProcess(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment = {});
    ModemProcess(const ModemProcess&) = delete;
    ModemProcess& operator=(const ModemProcess&) = delete;
    ~ModemProcess();

    // The first line on stdout, without its LF; nothing if none came in time.
    std::optional<std::string> ReadyLine(Millis timeout = Millis(2000));
    // Exit status once the process ended within `timeout`; -1 when it was
    // killed by a signal, nothing while it still runs.
    std::optional<int> WaitExit(Millis timeout);
    // Sends `signal` and waits for the end.
    std::optional<int> Stop(int signal, Millis timeout = Millis(2000));
    // What the process wrote to stderr so far (after WaitExit: all of it).
    std::string Stderr();

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string stdoutText_;
    std::string stderrText_;
};

// The terminal's end of the line, opened through the port map link.
class TerminalPort {
public:
    explicit TerminalPort(const std::filesystem::path& device);
    TerminalPort(const TerminalPort&) = delete;
    TerminalPort& operator=(const TerminalPort&) = delete;
    ~TerminalPort();

    bool IsOpen() const { return fd_ >= 0; }
    void Send(const std::string& bytes);
    // Reads until `count` bytes have come or `timeout` ran out.
    std::string Read(std::size_t count, Millis timeout);
    // Reads until the device goes away; `gone` tells whether it did in time.
    std::string ReadUntilGone(Millis timeout, bool& gone);

private:
    int fd_ = -1;
};

// The exchange a terminal makes: send, then read the expected number of bytes
// and whatever else follows at once.
std::string Exchange(TerminalPort& port, const std::string& command, std::size_t answerSize);

} // namespace tarvik::modem::testing
