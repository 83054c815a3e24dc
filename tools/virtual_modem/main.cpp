// tarvik-modem: a Hayes-style modem on a pseudo-terminal, linked into the
// port map as COM<n>, for use without a real modem and by the end-to-end tests.
#include "tools/virtual_modem/modem_options.h"
#include "tools/virtual_modem/modem_session.h"
#include "tools/virtual_modem/pty_port.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

using namespace tarvik::modem;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Closing the master drops whatever the terminal has not read yet, which a
// real line would still have delivered; a hang-up lets the reader catch up
// first, for at most this long, looking every kDrainStepMs.
constexpr int kHangupDrainMs = 500;
constexpr int kDrainStepMs = 10;

std::string ReadWholeFile(const std::string& path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        const int err = errno;
        ThrowOsError(err, "cannot open " + path);
    }
    std::string text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        text.append(buffer, got);
    }
    if (std::ferror(file.get()) != 0) {
        const int err = errno;
        ThrowOsError(err, "cannot read " + path);
    }
    return text;
}

// The stop signals arrive on a descriptor, so one poll waits for them and
// for the line alike, and a stop never lands in the middle of a write.
class StopSignals {
public:
    StopSignals()
    {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        sigaddset(&stops, SIGHUP);
        if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
            const int err = errno;
            ThrowOsError(err, "sigprocmask");
        }
        const int fd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd < 0) {
            const int err = errno;
            ThrowOsError(err, "signalfd");
        }
        fd_ = UniqueFd(fd);
        // A reader that closes our stdout must not kill us before the link
        // is removed.
        std::signal(SIGPIPE, SIG_IGN);
    }

    // True when a stop signal came within `timeoutMs` (-1: no limit).
    bool Wait(int timeoutMs) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int remaining = -1;
            if (timeoutMs >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            pollfd watch{fd_.Get(), POLLIN, 0};
            const int ready = ::poll(&watch, 1, remaining);
            if (ready > 0) {
                return true;
            }
            if (ready < 0) {
                const int err = errno;
                if (err != EINTR) {
                    ThrowOsError(err, "poll");
                }
            } else if (remaining == 0 || Clock::now() >= deadline) {
                return false;
            }
        }
    }

    int Fd() const { return fd_.Get(); }

private:
    UniqueFd fd_;
};

class ModemLoop {
public:
    ModemLoop(PseudoTerminal& pty, PortLink& link, const StopSignals& stops, ModemSession& session)
        : pty_(pty), link_(link), stops_(stops), session_(session)
    {
    }

    // True when a script hung up the line, false when a stop signal came.
    bool Run()
    {
        for (;;) {
            pollfd watch[2] = {{pty_.master.Get(), POLLIN, 0}, {stops_.Fd(), POLLIN, 0}};
            if (::poll(watch, 2, -1) < 0) {
                const int err = errno;
                if (err == EINTR) {
                    continue;
                }
                ThrowOsError(err, "poll");
            }
            if (watch[1].revents != 0) {
                return false;
            }
            if (watch[0].revents == 0) {
                continue;
            }
            char buffer[512];
            const ssize_t got = ::read(pty_.master.Get(), buffer, sizeof buffer);
            if (got < 0) {
                const int err = errno;
                if (err == EAGAIN || err == EINTR) {
                    continue;
                }
                ThrowOsError(err, "read from " + pty_.slavePath);
            }
            if (got == 0) {
                throw std::runtime_error(pty_.slavePath + " closed unexpectedly");
            }
            for (const ModemStep& step :
                 session_.Receive(std::string_view(buffer, static_cast<std::size_t>(got)))) {
                if (!Perform(step)) {
                    return false;
                }
                if (step.kind == ModemStep::Kind::Hangup) {
                    return true;
                }
            }
        }
    }

private:
    // False when a stop signal cut the step short.
    bool Perform(const ModemStep& step)
    {
        switch (step.kind) {
        case ModemStep::Kind::Write:
            return WriteAll(step.bytes);
        case ModemStep::Kind::Pause:
            return !stops_.Wait(step.milliseconds);
        case ModemStep::Kind::Hangup:
            if (!LetTerminalCatchUp()) {
                return false;
            }
            // The name goes first, so a terminal that sees the hang-up and
            // reopens at once finds no port rather than a stale link.
            link_.Remove();
            pty_.master.Close();
            pty_.slaveHold.Close();
            return true;
        }
        return true;
    }

    bool WriteAll(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t put = ::write(pty_.master.Get(), bytes.data(), bytes.size());
            if (put >= 0) {
                bytes.remove_prefix(static_cast<std::size_t>(put));
                continue;
            }
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            if (err != EAGAIN) {
                ThrowOsError(err, "write to " + pty_.slavePath);
            }
            // The terminal is not reading: wait for room, or for a stop.
            pollfd watch[2] = {{pty_.master.Get(), POLLOUT, 0}, {stops_.Fd(), POLLIN, 0}};
            if (::poll(watch, 2, -1) < 0) {
                const int pollErr = errno;
                if (pollErr != EINTR) {
                    ThrowOsError(pollErr, "poll");
                }
            }
            if (watch[1].revents != 0) {
                return false;
            }
        }
        return true;
    }

    bool LetTerminalCatchUp()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kHangupDrainMs);
        do {
            if (stops_.Wait(kDrainStepMs)) {
                return false;
            }
            int unread = 0;
            if (::ioctl(pty_.slaveHold.Get(), TIOCINQ, &unread) != 0 || unread == 0) {
                return true;
            }
        } while (Clock::now() < deadline);
        return true;
    }

    PseudoTerminal& pty_;
    PortLink& link_;
    const StopSignals& stops_;
    ModemSession& session_;
};

int RunModem(const Options& options, std::optional<std::vector<ScriptRule>> script)
{
    // Signals are caught before the link exists, so no stop can leave it behind.
    const StopSignals stops;
    PseudoTerminal pty = OpenPseudoTerminal();
    PortLink link(PreparePortsDir(options.portsDir), options.name, pty.slavePath, options.force);

    if (std::printf("ready %s %s\n", options.name.c_str(), pty.slavePath.c_str()) < 0 ||
        std::fflush(stdout) != 0) {
        const int err = errno;
        ThrowOsError(err, "cannot write the ready line");
    }

    ModemSession session(options.dial, std::move(script));
    ModemLoop loop(pty, link, stops, session);
    if (!loop.Run()) {
        return 0;
    }
    if (!options.exitAfterHangup) {
        std::fprintf(stderr, "tarvik-modem: %s hung up; waiting for a stop signal\n",
                     options.name.c_str());
        stops.Wait(-1);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::optional<std::vector<ScriptRule>> script;
    try {
        options = ParseOptions(argc, argv);
        if (options.help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (options.scriptFile) {
            script = ParseScript(ReadWholeFile(*options.scriptFile));
        }
    } catch (const ScriptSyntaxError& error) {
        std::fprintf(stderr, "tarvik-modem: %s:%d: %s\n", options.scriptFile->c_str(), error.Line(),
                     error.Message().c_str());
        return kExitUsage;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tarvik-modem: %s (see --help)\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarvik-modem: %s\n", error.what());
        return kExitUsage;
    }

    try {
        return RunModem(options, std::move(script));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarvik-modem: %s\n", error.what());
        return kExitFailure;
    }
}
