// Line settings, queue and error status, modem lines, break and drain.
#include "platform/posix/posix_comm.h"

#include "platform/posix/custom_baud.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/posix_errors.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace tarvik::posix {

using namespace tarvik::win;

namespace {

DWORD DeviceBaud(int fd, const termios& settings)
{
    // termios2 knows every rate; the B-constant only the standard ones.
    const unsigned baud = tarvik_get_custom_baud(fd);
    return baud != 0 ? baud : BaudOfSpeed(cfgetospeed(&settings));
}

DCB FreshDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    return dcb;
}

// Modem output lines; a pseudo-terminal has none, so failures are ignored.
void SetModemLine(int fd, int line, bool on)
{
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace

void PosixCommApi::RefreshLineCache(Port& port)
{
    termios settings{};
    if (::tcgetattr(port.fd.Get(), &settings) != 0)
        return;
    port.frameBits = FrameBits(settings);
    if (const DWORD baud = DeviceBaud(port.fd.Get(), settings); baud != 0)
        port.baud = baud;
}

void PosixCommApi::TakeLineCounts(Port& port, DWORD* errors)
{
    DWORD bits = 0;
    serial_icounter_struct now{};
    // Pseudo-terminals and many USB adapters keep no counters; once the
    // driver has said so, it is not asked again.
    if (port.terminal && !port.pseudoTerminal && !port.countsUnsupported) {
        if (::ioctl(port.fd.Get(), TIOCGICOUNT, &now) != 0) {
            port.countsUnsupported = true;
            if (errors != nullptr)
                *errors = 0;
            return;
        }
        // The counters only grow (and wrap); any change is a new error.
        const LineCounts& last = port.counts;
        if (last.valid) {
            if (now.frame != last.frame)
                bits |= CE_FRAME;
            if (now.overrun != last.overrun)
                bits |= CE_OVERRUN;
            if (now.parity != last.parity)
                bits |= CE_RXPARITY;
            if (now.buf_overrun != last.bufferOverrun)
                bits |= CE_RXOVER;
            if (now.brk != last.breaks)
                bits |= CE_BREAK;
        }
        port.counts =
            LineCounts{true, now.frame, now.overrun, now.parity, now.buf_overrun, now.brk};
    }
    if (errors != nullptr)
        *errors = bits;
}

BOOL PosixCommApi::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    // A tty's queues have a fixed size; the request is only remembered.
    port->inQueueSize = inQueue;
    port->outQueueSize = outQueue;
    return 1;
}

BOOL PosixCommApi::SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    port->timeouts = *timeouts;
    return 1;
}

BOOL PosixCommApi::ApplyLineSettings(Port& port, const DCB& dcb)
{
    const int fd = port.fd.Get();
    termios old{};
    if (::tcgetattr(fd, &old) != 0)
        return FailErrno(errno);
    termios wanted{};
    if (const DWORD refused = BuildLineSettings(dcb, old, wanted); refused != ERROR_SUCCESS)
        return Fail(refused);

    const DWORD oldBaud = DeviceBaud(fd, old);
    const auto restore = [&] {
        ::tcsetattr(fd, TCSANOW, &old);
        if (oldBaud != 0 && StandardSpeed(oldBaud) == B0)
            tarvik_set_custom_baud(fd, oldBaud);
    };
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
        const int err = errno;
        restore();
        return FailErrno(err);
    }
    if (StandardSpeed(dcb.BaudRate) == B0) {
        if (const int err = tarvik_set_custom_baud(fd, dcb.BaudRate); err != 0) {
            restore();
            return FailErrno(err);
        }
    }
    // tcsetattr succeeds when any part was taken, so read back what holds.
    termios got{};
    if (::tcgetattr(fd, &got) != 0) {
        const int err = errno;
        restore();
        return FailErrno(err);
    }
    if (DeviceBaud(fd, got) != dcb.BaudRate ||
        !LineSettingsTaken(wanted, got, port.pseudoTerminal)) {
        restore();
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return 1;
}

BOOL PosixCommApi::ApplyRtsToggle(Port& port, bool on)
{
    if (on == port.rs485)
        return 1;
    serial_rs485 mode{};
    const int fd = port.fd.Get();
    if (::ioctl(fd, TIOCGRS485, &mode) != 0 || [&] {
            if (on) {
                mode.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
                mode.flags &= ~static_cast<decltype(mode.flags)>(SER_RS485_RTS_AFTER_SEND);
            } else {
                mode.flags &= ~static_cast<decltype(mode.flags)>(SER_RS485_ENABLED);
            }
            return ::ioctl(fd, TIOCSRS485, &mode) != 0;
        }()) {
        const int err = errno;
        // A driver without RS-485 support cannot toggle RTS by itself.
        if (err == ENOTTY || err == EINVAL || err == EOPNOTSUPP)
            return Fail(ERROR_NOT_SUPPORTED);
        return FailErrno(err);
    }
    port.rs485 = on;
    return 1;
}

BOOL PosixCommApi::SetCommState(HANDLE file, const DCB* dcb)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // RS-485 first: refused, it leaves every other setting as it was.
    const bool toggle = dcb->fRtsControl == RTS_CONTROL_TOGGLE;
    if (toggle && !ApplyRtsToggle(*port, true))
        return 0;
    if (!ApplyLineSettings(*port, *dcb))
        return 0;
    if (!toggle)
        ApplyRtsToggle(*port, false);

    const int fd = port->fd.Get();
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE || dcb->fDtrControl == DTR_CONTROL_DISABLE)
        SetModemLine(fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE);
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE)
        SetModemLine(fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
    port->dcb = *dcb;
    RefreshLineCache(*port);
    return 1;
}

BOOL PosixCommApi::GetCommState(HANDLE file, DCB* dcb)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    termios settings{};
    if (::tcgetattr(port->fd.Get(), &settings) != 0)
        return FailErrno(errno);
    DCB result = port->dcb.value_or(FreshDcb());
    // A pseudo-terminal reports CS8 without parity whatever was set; the
    // frame the caller chose is the better answer there.
    const bool frameFromDevice = !(port->pseudoTerminal && port->dcb.has_value());
    ReadLineSettings(settings, DeviceBaud(port->fd.Get(), settings), frameFromDevice, result);
    *dcb = result;
    return 1;
}

BOOL PosixCommApi::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    // Called around every transfer: ask the kernel only what the answer
    // needs. Without a COMSTAT only the error word is wanted.
    if (stat == nullptr) {
        TakeLineCounts(*port, errors);
        return 1;
    }
    const int fd = port->fd.Get();
    int inQueue = 0;
    int outQueue = 0;
    int failure = 0;
    // A pseudo-terminal hands written bytes on at once: its send queue is
    // always empty, so it is not asked.
    if (::ioctl(fd, FIONREAD, &inQueue) != 0) {
        failure = errno;
        inQueue = 0;
    } else if (port->terminal && !port->pseudoTerminal && ::ioctl(fd, TIOCOUTQ, &outQueue) != 0) {
        failure = errno;
        outQueue = 0;
    }
    // A hung-up terminal fails every ioctl with EIO; bytes that came before
    // the device went are handed out first.
    const bool gone = failure == EIO || port->hungUp;
    if (gone && inQueue <= 0)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (gone)
        failure = 0;
    if (failure != 0)
        return FailErrno(failure);

    TakeLineCounts(*port, errors);
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(inQueue);
    stat->cbOutQue = static_cast<DWORD>(outQueue);
    return 1;
}

std::uint64_t PosixCommApi::EscapeCommFunction(HANDLE file, DWORD function)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    const int fd = port->fd.Get();
    int result = 0;
    int line = 0;
    switch (function) {
    case SETDTR:
    case CLRDTR:
        line = TIOCM_DTR;
        result = ::ioctl(fd, function == SETDTR ? TIOCMBIS : TIOCMBIC, &line);
        break;
    case SETRTS:
    case CLRRTS:
        line = TIOCM_RTS;
        result = ::ioctl(fd, function == SETRTS ? TIOCMBIS : TIOCMBIC, &line);
        break;
    case SETBREAK:
        result = ::ioctl(fd, TIOCSBRK);
        break;
    case CLRBREAK:
        result = ::ioctl(fd, TIOCCBRK);
        break;
    case SETXON:
        result = ::tcflow(fd, TCOON);
        break;
    case SETXOFF:
        result = ::tcflow(fd, TCOOFF);
        break;
    default: // GETBASEADDRESS among them: no UART address on this family
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (result != 0)
        return FailErrno(errno);
    return 1;
}

BOOL PosixCommApi::GetCommModemStatus(HANDLE file, DWORD* status)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    if (status == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    int lines = 0;
    if (::ioctl(port->fd.Get(), TIOCMGET, &lines) != 0)
        return FailErrno(errno);
    *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
              ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
    return 1;
}

// The same as the escape functions SETBREAK and CLRBREAK, as on Win32.
BOOL PosixCommApi::SetCommBreak(HANDLE file)
{
    return EscapeCommFunction(file, SETBREAK) != 0;
}

BOOL PosixCommApi::ClearCommBreak(HANDLE file)
{
    return EscapeCommFunction(file, CLRBREAK) != 0;
}

BOOL PosixCommApi::FlushFileBuffers(HANDLE file)
{
    Port* port = FindPort(file);
    if (port == nullptr)
        return 0;
    const int fd = port->fd.Get();
    int result = 0;
    do
        result = port->terminal ? ::tcdrain(fd) : ::fsync(fd);
    while (result != 0 && errno == EINTR);
    if (result != 0)
        return FailErrno(errno);
    return 1;
}

} // namespace tarvik::posix
