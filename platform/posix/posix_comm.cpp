// Handles, opening and closing, events, messages and the clock. The
// transfers and waits are in posix_io.cpp, the line settings and status
// calls in posix_line.cpp.
#include "platform/posix/posix_comm.h"

#include "platform/posix/port_map.h"
#include "platform/posix/posix_errors.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvik::posix {

using namespace tarvik::win;

namespace {

// Unix98 pseudo-terminal slaves, and the legacy BSD ones.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

bool IsPseudoTerminal(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    return (deviceMajor >= kPtySlaveMajorFirst && deviceMajor <= kPtySlaveMajorLast) ||
           deviceMajor == kBsdPtySlaveMajor;
}

} // namespace

PosixCommApi::~PosixCommApi() = default;

PosixCommApi::Port::~Port()
{
    // The flag belongs to the terminal, not to our descriptor: a pty slave
    // keeps it after we close unless we take it back.
    if (exclusive && fd.Valid())
        ::ioctl(fd.Get(), TIOCNXCL);
}

BOOL PosixCommApi::FailErrno(int err)
{
    return Fail(Win32FromErrno(err));
}

thread_local DWORD PosixCommApi::lastError_ = 0;

HANDLE PosixCommApi::NewHandle()
{
    const std::lock_guard lock(table_);
    for (;;) {
        const HANDLE handle = nextHandle_++;
        if (handle == 0 || handle == INVALID_HANDLE_VALUE)
            continue;
        if (ports_.count(handle) == 0 && events_.count(handle) == 0)
            return handle;
    }
}

PosixCommApi::Port* PosixCommApi::LookupPort(HANDLE handle)
{
    const std::lock_guard lock(table_);
    const auto found = ports_.find(handle);
    return found == ports_.end() ? nullptr : found->second.get();
}

PosixCommApi::Port* PosixCommApi::FindPort(HANDLE handle)
{
    Port* port = LookupPort(handle);
    if (port == nullptr)
        Fail(ERROR_INVALID_HANDLE);
    return port;
}

PosixCommApi::Event* PosixCommApi::FindEvent(HANDLE handle)
{
    const std::lock_guard lock(table_);
    const auto found = events_.find(handle);
    if (found == events_.end()) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &found->second;
}

HANDLE PosixCommApi::CreateFileA(const char* name, DWORD /*access*/, DWORD shareMode,
                                 DWORD creation, DWORD flagsAndAttributes)
{
    if (name == nullptr) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Nothing here creates files: devices and paths must already be there.
    if (creation != OPEN_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const PortTarget target = ResolvePortName(name);
    if (target.absent) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }

    // Owned from here on, so every early return closes (and unlocks) it.
    auto port = std::make_unique<Port>();
    port->fd.Reset(::open(target.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port->fd.Valid()) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = port->fd.Get();
    // Sharers take a shared lock, so they too are kept out by an exclusive
    // holder and keep one out.
    if (::flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }

    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        port->terminal = true;
    } else if (errno != ENOTTY) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (port->terminal) {
        if (shareMode == 0) {
            if (::ioctl(fd, TIOCEXCL) != 0) {
                FailErrno(errno);
                return INVALID_HANDLE_VALUE;
            }
            port->exclusive = true;
        }
        // Raw whatever the last user left: bytes pass unchanged both ways.
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
            FailErrno(errno);
            return INVALID_HANDLE_VALUE;
        }
        port->pseudoTerminal = IsPseudoTerminal(fd);
        RefreshLineCache(*port);
        TakeLineCounts(*port, nullptr);
    }
    port->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;

    const std::lock_guard lock(table_);
    const HANDLE handle = NewHandle();
    ports_.emplace(handle, std::move(port));
    return handle;
}

BOOL PosixCommApi::CloseHandle(HANDLE handle)
{
    const std::lock_guard lock(table_);
    if (const auto port = ports_.find(handle); port != ports_.end()) {
        FinishAll(*port->second, ERROR_OPERATION_ABORTED);
        ports_.erase(port);
        return 1;
    }
    if (const auto event = events_.find(handle); event != events_.end()) {
        // Pending work must not signal a handle that may be handed out again.
        if (const auto bound = ports_.find(event->second.port); bound != ports_.end()) {
            Port& port = *bound->second;
            for (HANDLE* user : {&port.read.event, &port.write.event, &port.wait.event})
                if (*user == handle)
                    *user = 0;
        }
        events_.erase(event);
        return 1;
    }
    return Fail(ERROR_INVALID_HANDLE);
}

HANDLE PosixCommApi::CreateEventA(BOOL manualReset, BOOL initialState)
{
    const std::lock_guard lock(table_);
    const HANDLE handle = NewHandle();
    Event& event = events_[handle];
    event.manualReset = manualReset != 0;
    event.signalled = initialState != 0;
    return handle;
}

DWORD PosixCommApi::FormatMessageA(DWORD flags, DWORD messageId, DWORD /*languageId*/, char* buffer,
                                   DWORD size)
{
    // Only the system's own table exists here, in one language.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr || size == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = Win32MessageText(messageId);
    if (text == nullptr) {
        Fail(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::min<std::size_t>(std::strlen(text), size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

BOOL PosixCommApi::QueryPerformanceFrequency(std::int64_t* frequency)
{
    if (frequency == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *frequency = 1'000'000'000;
    return 1;
}

BOOL PosixCommApi::QueryPerformanceCounter(std::int64_t* count)
{
    if (count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *count = MonotonicNow();
    return 1;
}

DWORD PosixCommApi::GetTickCount()
{
    return static_cast<DWORD>(MonotonicNow() / kNanosPerMilli);
}

void PosixCommApi::Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        ::sched_yield();
        return;
    }
    // An absolute wake-up time makes a signal cost nothing but the restart.
    const timespec wake = ToTimespec(DeadlineAfter(MonotonicNow(), milliseconds));
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

} // namespace tarvik::posix

namespace tarvik::win {

// One backend for the process, as the system's own; objects in different
// threads share only its locked handle table and keep their last errors apart.
CommApi& NativeCommApi()
{
    static posix::PosixCommApi api;
    return api;
}

} // namespace tarvik::win
