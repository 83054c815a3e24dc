// Overlapped transfers and comm-event waits on a non-blocking descriptor.
// Each pending operation is moved on by a step that never blocks; the
// caller's waits run those steps between polls of the descriptor.
#include "platform/posix/posix_comm.h"

#include "platform/posix/posix_errors.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarvik::posix {

using namespace tarvik::win;

namespace {

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
// A descriptor whose device has gone: the far end of a pty closed, a USB
// adapter pulled.
constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

short PollNow(int fd)
{
    pollfd entry{fd, POLLIN | POLLOUT, 0};
    int ready = 0;
    do
        ready = ::poll(&entry, 1, 0);
    while (ready < 0 && errno == EINTR);
    return ready > 0 ? entry.revents : 0;
}

Nanos MillisToNanos(std::uint64_t milliseconds)
{
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(kNever / 2) / kNanosPerMilli;
    return milliseconds >= kLimit ? kNever / 2 : static_cast<Nanos>(milliseconds) * kNanosPerMilli;
}

} // namespace

void PosixCommApi::BindEvent(HANDLE event, HANDLE port)
{
    const std::lock_guard lock(table_);
    // Win32 resets an operation's event when the operation starts.
    if (const auto found = events_.find(event); found != events_.end()) {
        found->second.signalled = false;
        found->second.port = port;
    }
}

void PosixCommApi::SignalEvent(HANDLE event)
{
    const std::lock_guard lock(table_);
    if (const auto found = events_.find(event); found != events_.end()) {
        found->second.signalled = true;
        found->second.port = 0;
    }
}

void PosixCommApi::Finish(Port& port, Transfer& transfer, DWORD status)
{
    transfer.overlapped->Internal = status;
    transfer.overlapped->InternalHigh = transfer.done;
    const HANDLE event = transfer.event;
    transfer.overlapped = nullptr;
    transfer.event = 0;
    ++port.completions;
    if (event != 0)
        SignalEvent(event);
}

void PosixCommApi::FinishWait(Port& port, DWORD status, DWORD occurred)
{
    CommWait& wait = port.wait;
    *wait.occurred = occurred;
    wait.overlapped->Internal = status;
    wait.overlapped->InternalHigh = 0;
    const HANDLE event = wait.event;
    wait = CommWait{};
    if (event != 0)
        SignalEvent(event);
}

void PosixCommApi::FinishAll(Port& port, DWORD status)
{
    if (port.read.Pending())
        Finish(port, port.read, status);
    if (port.write.Pending())
        Finish(port, port.write, status);
    if (port.wait.Pending())
        FinishWait(port, status, 0);
}

BOOL PosixCommApi::Collect(OVERLAPPED& overlapped, DWORD* transferred)
{
    if (transferred != nullptr)
        *transferred = static_cast<DWORD>(overlapped.InternalHigh);
    const auto status = static_cast<DWORD>(overlapped.Internal);
    if (status == ERROR_IO_PENDING) // pending on some other handle
        return Fail(ERROR_IO_INCOMPLETE);
    return status == ERROR_SUCCESS ? 1 : Fail(status);
}

bool PosixCommApi::StepRead(Port& port, short revents, Nanos now)
{
    Transfer& read = port.read;
    bool gotSome = false;
    while (read.done < read.requested) {
        const ssize_t count =
            ::read(port.fd.Get(), read.readInto + read.done, read.requested - read.done);
        if (count > 0) {
            read.done += static_cast<DWORD>(count);
            read.lastByte = now;
            gotSome = true;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN) {
            Finish(port, read, Win32FromErrno(errno));
            return true;
        }
        // A terminal with VMIN 0 reads 0 when nothing is queued; anything
        // else reads 0 only at its end.
        if (count == 0 && !port.terminal) {
            Finish(port, read, ERROR_SUCCESS);
            return true;
        }
        break;
    }
    if (read.done == read.requested) {
        Finish(port, read, ERROR_SUCCESS);
        return true;
    }
    if (!gotSome && (revents & kGone)) {
        Finish(port, read, ERROR_DEVICE_NOT_CONNECTED);
        return true;
    }
    // Readable by poll yet nothing to read: the data went elsewhere; end
    // with what there is rather than poll the same readiness again.
    if (!gotSome && (revents & POLLIN)) {
        Finish(port, read, ERROR_SUCCESS);
        return true;
    }
    // Time-outs end a read successfully with fewer bytes, as on Win32.
    const bool intervalPassed =
        read.interval > 0 && read.done > 0 && now - read.lastByte >= read.interval;
    if (read.endAtOnce || (read.endOnFirstByte && read.done > 0) || now >= read.totalDeadline ||
        intervalPassed) {
        Finish(port, read, ERROR_SUCCESS);
        return true;
    }
    return gotSome;
}

bool PosixCommApi::StepWrite(Port& port, short revents, Nanos now)
{
    Transfer& write = port.write;
    bool sentSome = false;
    while (write.done < write.requested) {
        const ssize_t count =
            ::write(port.fd.Get(), write.writeFrom + write.done, write.requested - write.done);
        if (count > 0) {
            write.done += static_cast<DWORD>(count);
            sentSome = true;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN) {
            Finish(port, write, Win32FromErrno(errno));
            return true;
        }
        break;
    }
    if (write.done == write.requested) {
        Finish(port, write, ERROR_SUCCESS);
        return true;
    }
    if (!sentSome && (revents & kGone)) {
        Finish(port, write, ERROR_DEVICE_NOT_CONNECTED);
        return true;
    }
    if (now >= write.totalDeadline) {
        Finish(port, write, ERROR_SUCCESS);
        return true;
    }
    return sentSome;
}

bool PosixCommApi::StepWait(Port& port, short revents)
{
    DWORD occurred = 0;
    // A hang-up counts as received data, the way poll reports it readable:
    // the caller's next ClearCommError then finds the device gone.
    if ((port.mask & EV_RXCHAR) && (revents & (POLLIN | kGone)))
        occurred |= EV_RXCHAR;
    if (port.mask & EV_TXEMPTY) {
        int queued = 0;
        if (::ioctl(port.fd.Get(), TIOCOUTQ, &queued) != 0) {
            FinishWait(port, Win32FromErrno(errno), 0);
            return true;
        }
        if (queued == 0)
            occurred |= EV_TXEMPTY;
    }
    if (occurred == 0)
        return false;
    FinishWait(port, ERROR_SUCCESS, occurred);
    return true;
}

bool PosixCommApi::Advance(Port& port)
{
    if (!port.read.Pending() && !port.write.Pending() && !port.wait.Pending())
        return false;
    return Advance(port, PollNow(port.fd.Get()));
}

bool PosixCommApi::Advance(Port& port, short revents)
{
    // A hang-up is for good; remembered, it costs ClearCommError no poll.
    if (revents & kGone)
        port.hungUp = true;
    const Nanos now = MonotonicNow();
    bool progressed = false;
    if (port.read.Pending())
        progressed |= StepRead(port, revents, now);
    if (port.write.Pending())
        progressed |= StepWrite(port, revents, now);
    if (port.wait.Pending())
        progressed |= StepWait(port, revents);
    return progressed;
}

Nanos PosixCommApi::NextWake(const Port& port, Nanos now) const
{
    Nanos wake = kNever;
    const Transfer& read = port.read;
    if (read.Pending()) {
        wake = std::min(wake, read.totalDeadline);
        if (read.interval > 0 && read.done > 0)
            wake = std::min(wake, read.lastByte + read.interval);
    }
    if (port.write.Pending())
        wake = std::min(wake, port.write.totalDeadline);
    if (port.wait.Pending() && (port.mask & EV_TXEMPTY)) {
        // Sleep about as long as the queued bytes take on the line.
        int queued = 0;
        if (::ioctl(port.fd.Get(), TIOCOUTQ, &queued) == 0 && queued > 0) {
            const Nanos line = static_cast<Nanos>(queued) * port.frameBits * 1'000'000'000 /
                               std::max<DWORD>(port.baud, 1);
            wake = std::min(wake, now + std::max(line, kNanosPerMilli));
        }
    }
    return wake;
}

DWORD PosixCommApi::Drive(Port& port, const std::function<bool()>& done, Nanos deadline)
{
    // The readiness the last poll reported drives the next step, so each
    // round costs one poll; the first round simply tries the transfer.
    bool wokenByDevice = false;
    short revents = 0;
    for (;;) {
        const bool progressed = Advance(port, revents);
        if (done())
            return WAIT_OBJECT_0;
        const Nanos now = MonotonicNow();
        if (now >= deadline)
            return WAIT_TIMEOUT;
        Nanos wake = std::min(deadline, NextWake(port, now));
        short events = 0;
        if (port.read.Pending() || (port.wait.Pending() && (port.mask & EV_RXCHAR)))
            events |= POLLIN;
        if (port.write.Pending())
            events |= POLLOUT;
        if (wokenByDevice && !progressed) {
            // Ready by poll, yet no step moved: pause instead of spinning.
            events = 0;
            wake = std::min(wake, now + kNanosPerMilli);
        }
        if (events == 0 && wake == kNever) {
            // Nothing left that could end the wait; fail it rather than hang.
            FinishAll(port, ERROR_INVALID_PARAMETER);
            Fail(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        pollfd entry{port.fd.Get(), events, 0};
        const timespec timeout = ToTimespec(wake - now);
        const int ready = ::ppoll(events != 0 ? &entry : nullptr, events != 0 ? 1 : 0,
                                  wake == kNever ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            // Nothing pending may outlive a failed wait.
            const DWORD code = Win32FromErrno(errno);
            FinishAll(port, code);
            Fail(code);
            return WAIT_FAILED;
        }
        wokenByDevice = ready > 0;
        revents = ready > 0 ? entry.revents : 0;
    }
}

BOOL PosixCommApi::StartTransfer(HANDLE file, Port& port, Transfer& transfer, DWORD* count,
                                 OVERLAPPED* overlapped)
{
    OVERLAPPED own{};
    OVERLAPPED* record = overlapped;
    if (port.overlapped && record == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (record == nullptr)
        record = &own;
    if (record->hEvent != 0 && FindEvent(record->hEvent) == nullptr)
        return 0;
    if (count != nullptr)
        *count = 0;

    record->Internal = ERROR_IO_PENDING;
    record->InternalHigh = 0;
    transfer.overlapped = record;
    transfer.event = record->hEvent;
    if (transfer.event != 0)
        BindEvent(transfer.event, file);

    // Try the transfer first: it usually completes, and only when it does
    // not is the device polled for a hang-up.
    const auto step = [&](short revents) {
        const Nanos now = MonotonicNow();
        if (&transfer == &port.read)
            StepRead(port, revents, now);
        else
            StepWrite(port, revents, now);
    };
    step(0);
    if (transfer.Pending())
        step(PollNow(port.fd.Get()));

    // A synchronous handle waits here; Drive finishes the transfer even when
    // the wait itself fails, so `own` is never left behind.
    const auto finished = [&transfer] { return !transfer.Pending(); };
    if (!port.overlapped && transfer.Pending())
        Drive(port, finished, kNever);
    if (transfer.Pending())
        return Fail(ERROR_IO_PENDING);
    return Collect(*record, count);
}

BOOL PosixCommApi::ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read,
                            OVERLAPPED* overlapped)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (buffer == nullptr && toRead > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (port->read.Pending()) // one read at a time per port
        return Fail(ERROR_BUSY);

    Transfer transfer;
    transfer.readInto = static_cast<std::uint8_t*>(buffer);
    transfer.requested = toRead;
    const COMMTIMEOUTS& timeouts = port->timeouts;
    const Nanos start = MonotonicNow();
    if (timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
        timeouts.ReadTotalTimeoutConstant == 0) {
        transfer.endAtOnce = true;
    } else if (timeouts.ReadIntervalTimeout == MAXDWORD &&
               timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
               timeouts.ReadTotalTimeoutConstant != 0 &&
               timeouts.ReadTotalTimeoutConstant != MAXDWORD) {
        // Win32's "wait for the first byte, at most this long".
        transfer.endOnFirstByte = true;
        transfer.totalDeadline = start + MillisToNanos(timeouts.ReadTotalTimeoutConstant);
    } else {
        const std::uint64_t total =
            static_cast<std::uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * toRead +
            timeouts.ReadTotalTimeoutConstant;
        if (total != 0)
            transfer.totalDeadline = start + MillisToNanos(total);
        transfer.interval = MillisToNanos(timeouts.ReadIntervalTimeout);
    }
    port->read = transfer;
    return StartTransfer(file, *port, port->read, read, overlapped);
}

BOOL PosixCommApi::WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                             OVERLAPPED* overlapped)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (buffer == nullptr && toWrite > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (port->write.Pending()) // one write at a time per port
        return Fail(ERROR_BUSY);

    Transfer transfer;
    transfer.writeFrom = static_cast<const std::uint8_t*>(buffer);
    transfer.requested = toWrite;
    const COMMTIMEOUTS& timeouts = port->timeouts;
    const std::uint64_t total =
        static_cast<std::uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * toWrite +
        timeouts.WriteTotalTimeoutConstant;
    if (total != 0)
        transfer.totalDeadline = MonotonicNow() + MillisToNanos(total);
    port->write = transfer;
    return StartTransfer(file, *port, port->write, written, overlapped);
}

BOOL PosixCommApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                       BOOL wait)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (overlapped == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto pending = [port, overlapped] {
        return port->read.overlapped == overlapped || port->write.overlapped == overlapped ||
               port->wait.overlapped == overlapped;
    };
    if (pending()) {
        if (wait) {
            const auto finished = [&pending] { return !pending(); };
            if (Drive(*port, finished, kNever) == WAIT_FAILED && pending())
                return 0;
        } else {
            Advance(*port); // a time-out that has passed ends the transfer now
        }
        if (pending()) {
            const Transfer* transfer = port->read.overlapped == overlapped    ? &port->read
                                       : port->write.overlapped == overlapped ? &port->write
                                                                              : nullptr;
            if (transferred != nullptr)
                *transferred = transfer != nullptr ? transfer->done : 0;
            return Fail(ERROR_IO_INCOMPLETE);
        }
    }
    return Collect(*overlapped, transferred);
}

DWORD PosixCommApi::WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    const Nanos deadline = DeadlineAfter(MonotonicNow(), milliseconds);
    if (Port* found = LookupPort(handle)) {
        // The port itself is signalled when one of its transfers finishes.
        Port& port = *found;
        if (!port.read.Pending() && !port.write.Pending())
            return WAIT_OBJECT_0;
        const std::uint64_t before = port.completions;
        const auto oneFinished = [&port, before] { return port.completions != before; };
        return Drive(port, oneFinished, deadline);
    }

    Event* event = FindEvent(handle);
    if (event == nullptr)
        return WAIT_FAILED;
    if (!event->signalled) {
        if (Port* bound = LookupPort(event->port)) {
            const auto signalled = [event] { return event->signalled; };
            if (Drive(*bound, signalled, deadline) == WAIT_FAILED)
                return WAIT_FAILED;
        } else if (deadline == kNever) {
            // One thread, and no pending work to signal it: this would never end.
            Fail(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        } else {
            const timespec wake = ToTimespec(deadline);
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
            }
        }
    }
    if (!event->signalled)
        return WAIT_TIMEOUT;
    if (!event->manualReset)
        event->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL PosixCommApi::SetCommMask(HANDLE file, DWORD mask)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    port->mask = mask;
    // A new mask ends the wait in progress with nothing occurred.
    if (port->wait.Pending())
        FinishWait(*port, ERROR_SUCCESS, 0);
    return 1;
}

BOOL PosixCommApi::WaitCommEvent(HANDLE file, DWORD* occurred, OVERLAPPED* overlapped)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (occurred == nullptr || port->mask == 0 || port->wait.Pending())
        return Fail(ERROR_INVALID_PARAMETER);
    // Linux tells received data and an empty transmitter; the modem-line
    // events have no poll-able source here.
    if ((port->mask & (EV_RXCHAR | EV_TXEMPTY)) == 0)
        return Fail(ERROR_NOT_SUPPORTED);
    OVERLAPPED own{};
    OVERLAPPED* record = overlapped;
    if (port->overlapped && record == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (record == nullptr)
        record = &own;
    if (record->hEvent != 0 && FindEvent(record->hEvent) == nullptr)
        return 0;

    *occurred = 0;
    record->Internal = ERROR_IO_PENDING;
    record->InternalHigh = 0;
    port->wait = CommWait{record, occurred, record->hEvent};
    if (record->hEvent != 0)
        BindEvent(record->hEvent, file);
    StepWait(*port, PollNow(port->fd.Get()));

    const auto finished = [port] { return !port->wait.Pending(); };
    if (!port->overlapped && port->wait.Pending())
        Drive(*port, finished, kNever);
    if (port->wait.Pending())
        return Fail(ERROR_IO_PENDING);
    return Collect(*record, nullptr);
}

BOOL PosixCommApi::PurgeComm(HANDLE file, DWORD flags)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if ((flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((flags & PURGE_TXABORT) && port->write.Pending())
        Finish(*port, port->write, ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_RXABORT) && port->read.Pending())
        Finish(*port, port->read, ERROR_OPERATION_ABORTED);

    const bool output = (flags & PURGE_TXCLEAR) != 0;
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    if (!output && !input)
        return 1;
    const int queues = output && input ? TCIOFLUSH : output ? TCOFLUSH : TCIFLUSH;
    if (::tcflush(port->fd.Get(), queues) != 0)
        return FailErrno(errno);
    return 1;
}

} // namespace tarvik::posix
