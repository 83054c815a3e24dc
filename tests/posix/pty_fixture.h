// Real pseudo-terminals for the Linux backend's tests: the test plays the
// device on the master side, the backend opens the slave as a COM port.
#pragma once

#include "platform/comm_api.h"
#include "platform/posix/posix_comm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::posix::testing {

using namespace tarvik::win;

// Small on purpose: a wait that should end must end well before this.
inline constexpr DWORD kSettle = 100;
// For waits that must run out.
inline constexpr DWORD kShort = 20;

inline std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A directory of its own under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvik-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    void Link(const std::string& entry, const std::string& target) const
    {
        const std::filesystem::path link = std::filesystem::path(path_) / entry;
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_symlink(target, link);
    }

private:
    std::string path_;
};

class PseudoTerminal {
public:
    PseudoTerminal()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128] = {};
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0)
            slavePath_ = name;
    }
    ~PseudoTerminal() { CloseMaster(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool Ready() const { return master_ >= 0 && !slavePath_.empty(); }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // The device sends bytes to the port.
    void Send(std::string_view bytes) const
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port sent: reads until `expected` bytes came or `quietMs`
    // passed without any.
    std::string Receive(std::size_t expected, int quietMs = kShort) const
    {
        std::string got;
        char chunk[4096];
        while (got.size() < expected) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, quietMs) <= 0 || !(entry.revents & POLLIN))
                break;
            const ssize_t count = ::read(master_, chunk, sizeof chunk);
            if (count <= 0)
                break;
            got.append(chunk, static_cast<std::size_t>(count));
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

// A pty linked as COM3 in a TARVIK_PORTS directory, plus a second descriptor
// on the slave, opened before the backend's, to look at the terminal.
class PortTest : public ::testing::Test {
protected:
    static constexpr const char* kPortName = "\\\\.\\COM3";
    static constexpr unsigned kWatchdogSeconds = 10;

    void SetUp() override
    {
        // A broken wait must fail the run, not hang it.
        ::alarm(kWatchdogSeconds);
        ASSERT_TRUE(pty_.Ready());
        ASSERT_FALSE(ports_.Path().empty());
        ports_.Link("COM3", pty_.SlavePath());
        observer_ = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(observer_, 0);
    }
    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE)
            api_.CloseHandle(port_);
        if (observer_ >= 0)
            ::close(observer_);
        ::alarm(0);
    }

    HANDLE Open(DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, DWORD share = 0)
    {
        return api_.CreateFileA(kPortName, GENERIC_READ | GENERIC_WRITE, share, OPEN_EXISTING,
                                flags);
    }
    void OpenPort(DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED)
    {
        port_ = Open(flags);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "error " << api_.GetLastError();
    }

    // Waits (briefly) until the port has `count` bytes queued.
    DWORD WaitQueued(DWORD count)
    {
        COMSTAT stat{};
        const std::int64_t end = NowMs() + kSettle;
        do {
            if (!api_.ClearCommError(port_, nullptr, &stat))
                return 0;
            if (stat.cbInQue >= count)
                break;
            api_.Sleep(1);
        } while (NowMs() < end);
        return stat.cbInQue;
    }

    PseudoTerminal pty_;
    TempDir ports_;
    ScopedEnv portsEnv_{"TARVIK_PORTS", ports_.Path().c_str()};
    PosixCommApi api_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    int observer_ = -1;
};

} // namespace tarvik::posix::testing
