// The Win32 communications calls on Linux terminals (termios, poll, flock).
// Overlapped I/O without threads: a transfer that cannot finish at once is
// kept by its port, and only the caller's own waits (WaitForSingleObject,
// GetOverlappedResult) move it on, so nothing runs behind the caller's back.
#pragma once

#include "platform/comm_api.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/posix/unique_fd.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace tarvik::posix {

class PosixCommApi final : public win::CommApi {
public:
    PosixCommApi() = default;
    ~PosixCommApi() override;
    PosixCommApi(const PosixCommApi&) = delete;
    PosixCommApi& operator=(const PosixCommApi&) = delete;

    void SetLastError(win::DWORD code) override { lastError_ = code; }
    win::DWORD GetLastError() override { return lastError_; }

    win::HANDLE CreateFileA(const char* name, win::DWORD access, win::DWORD shareMode,
                            win::DWORD creation, win::DWORD flagsAndAttributes) override;
    win::BOOL CloseHandle(win::HANDLE handle) override;
    win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read,
                       win::OVERLAPPED* overlapped) override;
    win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                        win::DWORD* written, win::OVERLAPPED* overlapped) override;
    win::BOOL GetOverlappedResult(win::HANDLE file, win::OVERLAPPED* overlapped,
                                  win::DWORD* transferred, win::BOOL wait) override;
    win::DWORD WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) override;
    win::HANDLE CreateEventA(win::BOOL manualReset, win::BOOL initialState) override;

    win::BOOL SetupComm(win::HANDLE file, win::DWORD inQueue, win::DWORD outQueue) override;
    win::BOOL SetCommTimeouts(win::HANDLE file, const win::COMMTIMEOUTS* timeouts) override;
    win::BOOL SetCommState(win::HANDLE file, const win::DCB* dcb) override;
    win::BOOL GetCommState(win::HANDLE file, win::DCB* dcb) override;
    win::BOOL SetCommMask(win::HANDLE file, win::DWORD mask) override;
    win::BOOL WaitCommEvent(win::HANDLE file, win::DWORD* occurred,
                            win::OVERLAPPED* overlapped) override;
    win::BOOL ClearCommError(win::HANDLE file, win::DWORD* errors, win::COMSTAT* stat) override;
    win::BOOL PurgeComm(win::HANDLE file, win::DWORD flags) override;
    std::uint64_t EscapeCommFunction(win::HANDLE file, win::DWORD function) override;
    win::BOOL GetCommModemStatus(win::HANDLE file, win::DWORD* status) override;
    win::BOOL SetCommBreak(win::HANDLE file) override;
    win::BOOL ClearCommBreak(win::HANDLE file) override;
    win::BOOL FlushFileBuffers(win::HANDLE file) override;

    win::DWORD FormatMessageA(win::DWORD flags, win::DWORD messageId, win::DWORD languageId,
                              char* buffer, win::DWORD size) override;

    win::BOOL QueryPerformanceFrequency(std::int64_t* frequency) override;
    win::BOOL QueryPerformanceCounter(std::int64_t* count) override;
    win::DWORD GetTickCount() override;
    void Sleep(win::DWORD milliseconds) override;

    win::DWORD PlatformId() override { return win::VER_PLATFORM_WIN32_NT; }
    // Linux gives a program no port I/O; the component asks only outside NT.
    win::BYTE ReadPortByte(win::WORD) override { return 0xFF; }

private:
    // A ReadFile or WriteFile that has not finished. The caller's OVERLAPPED
    // is referred to only while the transfer is pending.
    struct Transfer {
        win::OVERLAPPED* overlapped = nullptr;
        std::uint8_t* readInto = nullptr;
        const std::uint8_t* writeFrom = nullptr;
        win::DWORD requested = 0;
        win::DWORD done = 0;
        win::HANDLE event = 0;
        Nanos totalDeadline = kNever;
        Nanos interval = 0; // a gap this long after a byte ends a read; 0: none
        Nanos lastByte = 0;
        bool endAtOnce = false;      // hand over what is queued, even nothing
        bool endOnFirstByte = false; // end as soon as anything came
        bool Pending() const { return overlapped != nullptr; }
    };

    // A WaitCommEvent that has not finished.
    struct CommWait {
        win::OVERLAPPED* overlapped = nullptr;
        win::DWORD* occurred = nullptr;
        win::HANDLE event = 0;
        bool Pending() const { return overlapped != nullptr; }
    };

    // The driver's line-error counters as last seen.
    struct LineCounts {
        bool valid = false;
        int frame = 0;
        int overrun = 0;
        int parity = 0;
        int bufferOverrun = 0;
        int breaks = 0;
    };

    struct Port {
        UniqueFd fd;
        bool exclusive = false; // we set TIOCEXCL and clear it again on close
        bool rs485 = false;     // we switched the driver's RS-485 mode on
        bool overlapped = false;
        bool terminal = false;
        bool pseudoTerminal = false;
        win::DWORD mask = 0;
        win::COMMTIMEOUTS timeouts{};
        std::optional<win::DCB> dcb; // as the caller last set it
        win::DWORD inQueueSize = 0;
        win::DWORD outQueueSize = 0;
        win::DWORD baud = 9600;
        unsigned frameBits = 10;
        LineCounts counts;
        bool countsUnsupported = false; // the driver refused TIOCGICOUNT
        bool hungUp = false;            // a poll saw the device go
        Transfer read;
        Transfer write;
        CommWait wait;
        std::uint64_t completions = 0; // transfers finished, for port waits
        Port() = default;
        Port(const Port&) = delete;
        Port& operator=(const Port&) = delete;
        ~Port();
    };

    struct Event {
        bool manualReset = true;
        bool signalled = false;
        win::HANDLE port = 0; // whose pending work ends by signalling it
    };

    win::BOOL Fail(win::DWORD code)
    {
        lastError_ = code;
        return 0;
    }
    win::BOOL FailErrno(int err);
    win::HANDLE NewHandle();
    Port* FindPort(win::HANDLE handle);
    Event* FindEvent(win::HANDLE handle);

    void RefreshLineCache(Port& port);
    void TakeLineCounts(Port& port, win::DWORD* errors);
    win::BOOL ApplyLineSettings(Port& port, const win::DCB& dcb);
    // RTS_CONTROL_TOGGLE is the driver's RS-485 mode: RTS up only while sending.
    win::BOOL ApplyRtsToggle(Port& port, bool on);

    win::BOOL StartTransfer(win::HANDLE file, Port& port, Transfer& transfer, win::DWORD* count,
                            win::OVERLAPPED* overlapped);
    win::BOOL Collect(win::OVERLAPPED& overlapped, win::DWORD* transferred);
    void BindEvent(win::HANDLE event, win::HANDLE port);
    void SignalEvent(win::HANDLE event);
    void Finish(Port& port, Transfer& transfer, win::DWORD status);
    void FinishWait(Port& port, win::DWORD status, win::DWORD occurred);
    void FinishAll(Port& port, win::DWORD status);

    bool StepRead(Port& port, short revents, Nanos now);
    bool StepWrite(Port& port, short revents, Nanos now);
    bool StepWait(Port& port, short revents);
    bool Advance(Port& port);
    bool Advance(Port& port, short revents);
    Nanos NextWake(const Port& port, Nanos now) const;
    // Moves the port's pending work on until done() holds or the deadline
    // passes: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the error set.
    win::DWORD Drive(Port& port, const std::function<bool()>& done, Nanos deadline);

    // The port (or its bound port) behind a handle, or nullptr; sets no error.
    Port* LookupPort(win::HANDLE handle);

    // The table is shared by every thread of the process; a port or an
    // event itself is used by one thread at a time, as its object is, and
    // map entries stay where they are while others come and go.
    std::recursive_mutex table_;
    std::map<win::HANDLE, std::unique_ptr<Port>> ports_;
    std::map<win::HANDLE, Event> events_;
    win::HANDLE nextHandle_ = 1;
    // Win32 keeps the last error per thread.
    static thread_local win::DWORD lastError_;
};

} // namespace tarvik::posix
