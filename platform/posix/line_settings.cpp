#include "platform/posix/line_settings.h"

namespace tarvik::posix {

using namespace tarvik::win;

namespace {

struct SpeedEntry {
    DWORD baud;
    speed_t speed;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

constexpr tcflag_t kFrameBits = CSIZE | PARENB;
constexpr tcflag_t kControlBits =
    CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t kInputBits = IXON | IXOFF | INPCK;

tcflag_t SizeBits(BYTE byteSize)
{
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

speed_t StandardSpeed(DWORD baud)
{
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.baud == baud)
            return entry.speed;
    return B0;
}

DWORD BaudOfSpeed(speed_t speed)
{
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.speed == speed)
            return entry.baud;
    return 0;
}

DWORD BuildLineSettings(const DCB& dcb, const termios& current, termios& out)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY)
        return ERROR_INVALID_PARAMETER;
    // 1.5 stop bits exist only beside 5 data bits, where the UART's second
    // stop bit is half a bit long.
    const bool oneAndHalf = dcb.StopBits == ONE5STOPBITS;
    if (dcb.StopBits > TWOSTOPBITS || (oneAndHalf && dcb.ByteSize != 5))
        return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;

    termios next = current;
    next.c_cflag &= ~kControlBits;
    next.c_cflag |= SizeBits(dcb.ByteSize) | CLOCAL | CREAD;
    switch (dcb.Parity) {
    case ODDPARITY:
        next.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        next.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        next.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        next.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits != ONESTOPBIT)
        next.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        next.c_cflag |= CRTSCTS;

    next.c_iflag &= ~kInputBits;
    if (dcb.fParity)
        next.c_iflag |= INPCK;
    if (dcb.fOutX)
        next.c_iflag |= IXON;
    if (dcb.fInX)
        next.c_iflag |= IXOFF;
    next.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    next.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    const speed_t speed = StandardSpeed(dcb.BaudRate);
    if (speed != B0 && (cfsetispeed(&next, speed) != 0 || cfsetospeed(&next, speed) != 0))
        return ERROR_INVALID_PARAMETER;
    out = next;
    return ERROR_SUCCESS;
}

bool LineSettingsTaken(const termios& wanted, const termios& got, bool pseudoTerminal)
{
    const tcflag_t controlMask = pseudoTerminal ? kControlBits & ~kFrameBits : kControlBits;
    if ((wanted.c_cflag & controlMask) != (got.c_cflag & controlMask))
        return false;
    if ((wanted.c_iflag & kInputBits) != (got.c_iflag & kInputBits))
        return false;
    return wanted.c_cc[VSTART] == got.c_cc[VSTART] && wanted.c_cc[VSTOP] == got.c_cc[VSTOP];
}

void ReadLineSettings(const termios& settings, DWORD baud, bool frameFromDevice, DCB& dcb)
{
    const tcflag_t cflag = settings.c_cflag;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    if (frameFromDevice) {
        switch (cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
        }
        if (!(cflag & PARENB))
            dcb.Parity = NOPARITY;
        else if (cflag & CMSPAR)
            dcb.Parity = (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        else
            dcb.Parity = (cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (!(cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else if (dcb.StopBits == ONESTOPBIT)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    // Otherwise keep the caller's 1.5 or 2: CSTOPB means either.

    // CRTSCTS is both halves of hardware flow control; a caller who asked
    // for it through either member gets the DCB back as it was written.
    if (cflag & CRTSCTS) {
        if (!dcb.fOutxCtsFlow && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        dcb.fOutxCtsFlow = 0;
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb.fParity = (settings.c_iflag & INPCK) != 0;
    dcb.fOutX = (settings.c_iflag & IXON) != 0;
    dcb.fInX = (settings.c_iflag & IXOFF) != 0;
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
}

unsigned FrameBits(const termios& settings)
{
    const tcflag_t cflag = settings.c_cflag;
    unsigned data = 8;
    switch (cflag & CSIZE) {
    case CS5:
        data = 5;
        break;
    case CS6:
        data = 6;
        break;
    case CS7:
        data = 7;
        break;
    default:
        break;
    }
    return 1 + data + ((cflag & PARENB) ? 1 : 0) + ((cflag & CSTOPB) ? 2 : 1);
}

} // namespace tarvik::posix
