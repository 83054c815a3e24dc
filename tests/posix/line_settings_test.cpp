// The DCB on termios: what a line can take, applied and read back from the
// device; what it cannot, refused with nothing changed.
#include "platform/posix/custom_baud.h"
#include "platform/posix/line_settings.h"
#include "posix/pty_fixture.h"

#include <termios.h>

namespace tarvik::posix::testing {
namespace {

DCB LineDcb(DWORD baud, BYTE bits = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

termios RawSettings()
{
    termios settings{};
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B9600);
    return settings;
}

// Frame and parity on termios, checked on the translation itself: a
// pseudo-terminal reports every frame as CS8 without parity.
TEST(LineSettings, FrameParityAndStopBitsMapToTermios)
{
    const struct {
        BYTE bits, parity, stop;
        tcflag_t expected;
    } cases[] = {
        {5, NOPARITY, ONESTOPBIT, CS5},
        {6, NOPARITY, ONESTOPBIT, CS6},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {8, ODDPARITY, ONESTOPBIT, CS8 | PARENB | PARODD},
        {8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | CMSPAR | PARODD},
        {8, SPACEPARITY, ONESTOPBIT, CS8 | PARENB | CMSPAR},
        {8, NOPARITY, TWOSTOPBITS, CS8 | CSTOPB},
        {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
    };
    constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const auto& c : cases) {
        termios out{};
        ASSERT_EQ(BuildLineSettings(LineDcb(9600, c.bits, c.parity, c.stop), RawSettings(), out),
                  ERROR_SUCCESS);
        EXPECT_EQ(out.c_cflag & kFrame, c.expected)
            << int{c.bits} << " bits, parity " << int{c.parity} << ", stop " << int{c.stop};

        // And back: the DCB read from these settings has the same frame.
        DCB back = LineDcb(0, 0, 0, ONESTOPBIT);
        ReadLineSettings(out, 9600, true, back);
        EXPECT_EQ(back.ByteSize, c.bits);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
    }
}

class CommStateTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        OpenPort();
    }
    termios Device() const
    {
        termios settings{};
        EXPECT_EQ(::tcgetattr(observer_, &settings), 0);
        return settings;
    }
};

TEST_F(CommStateTest, AppliedSettingsReadBackFromTheDevice)
{
    const auto flow = [](bool soft, bool hard) {
        DCB dcb = LineDcb(19200);
        dcb.fOutX = dcb.fInX = soft;
        dcb.XonChar = 0x01;
        dcb.XoffChar = 0x02;
        dcb.fOutxCtsFlow = hard;
        dcb.fRtsControl = hard ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        return dcb;
    };
    const struct {
        const char* what;
        DCB dcb;
        speed_t speed;
        tcflag_t cflagSet, cflagClear, iflagSet, iflagClear;
    } cases[] = {
        {"921600", LineDcb(921600), B921600, 0, CSTOPB | CRTSCTS, 0, IXON | IXOFF},
        {"two stop bits", LineDcb(115200, 8, NOPARITY, TWOSTOPBITS), B115200, CSTOPB, 0, 0, 0},
        {"odd", LineDcb(9600, 8, ODDPARITY), B9600, PARODD, CMSPAR, 0, 0},
        {"mark", LineDcb(9600, 7, MARKPARITY), B9600, PARODD | CMSPAR, 0, 0, 0},
        {"space", LineDcb(9600, 6, SPACEPARITY), B9600, CMSPAR, PARODD, 0, 0},
        {"xon/xoff", flow(true, false), B19200, 0, CRTSCTS, IXON | IXOFF, 0},
        {"rts/cts", flow(false, true), B19200, CRTSCTS, 0, 0, IXON | IXOFF},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(api_.SetCommState(port_, &c.dcb)) << c.what << ": " << api_.GetLastError();
        const termios got = Device();
        EXPECT_EQ(::cfgetospeed(&got), c.speed) << c.what;
        EXPECT_EQ(got.c_cflag & c.cflagSet, c.cflagSet) << c.what;
        EXPECT_EQ(got.c_cflag & c.cflagClear, 0u) << c.what;
        EXPECT_EQ(got.c_iflag & c.iflagSet, c.iflagSet) << c.what;
        EXPECT_EQ(got.c_iflag & c.iflagClear, 0u) << c.what;
        if (c.dcb.fOutX) {
            EXPECT_EQ(got.c_cc[VSTART], 0x01);
            EXPECT_EQ(got.c_cc[VSTOP], 0x02);
        }
    }
}

TEST_F(CommStateTest, ANonStandardRateGoesThroughTermios2)
{
    const DCB dcb = LineDcb(250000);
    ASSERT_TRUE(api_.SetCommState(port_, &dcb)) << api_.GetLastError();
    EXPECT_EQ(tarvik_get_custom_baud(observer_), 250000u);
    DCB back{};
    ASSERT_TRUE(api_.GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 250000u);

    // Back to a standard rate: the custom one does not linger.
    const DCB standard = LineDcb(57600);
    ASSERT_TRUE(api_.SetCommState(port_, &standard));
    const termios got = Device();
    EXPECT_EQ(::cfgetospeed(&got), speed_t{B57600});
    EXPECT_EQ(tarvik_get_custom_baud(observer_), 57600u);
}

TEST_F(CommStateTest, RefusedSettingsLeaveTheOldOnesInForce)
{
    DCB good = LineDcb(250000, 8, ODDPARITY, TWOSTOPBITS);
    good.fOutX = 1;
    ASSERT_TRUE(api_.SetCommState(port_, &good));
    const termios before = Device();

    const auto with = [](auto change) {
        DCB dcb = LineDcb(9600);
        change(dcb);
        return dcb;
    };
    const struct {
        const char* what;
        DCB dcb;
    } cases[] = {
        {"4 data bits", LineDcb(9600, 4)},
        {"9 data bits", LineDcb(9600, 9)},
        {"parity 7", LineDcb(9600, 8, 7)},
        {"parity 5", LineDcb(9600, 8, 5)},
        {"baud 0", LineDcb(0)},
        {"1.5 stop bits with 8 data bits", LineDcb(9600, 8, NOPARITY, ONE5STOPBITS)},
        {"stop bits 3", LineDcb(9600, 8, NOPARITY, 3)},
        {"xon equal to xoff", with([](DCB& dcb) {
             dcb.fInX = 1;
             dcb.XoffChar = dcb.XonChar;
         })},
    };
    for (const auto& c : cases) {
        api_.SetLastError(0);
        EXPECT_FALSE(api_.SetCommState(port_, &c.dcb)) << c.what;
        EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
        const termios after = Device();
        EXPECT_EQ(after.c_cflag, before.c_cflag) << c.what;
        EXPECT_EQ(after.c_iflag, before.c_iflag) << c.what;
        EXPECT_EQ(tarvik_get_custom_baud(observer_), 250000u) << c.what;
    }
    DCB back{};
    ASSERT_TRUE(api_.GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 250000u);
    EXPECT_EQ(back.Parity, ODDPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
}

TEST_F(CommStateTest, RtsToggleNeedsTheDriversRs485Mode)
{
    const DCB good = LineDcb(4800);
    ASSERT_TRUE(api_.SetCommState(port_, &good));
    const termios before = Device();

    // A pseudo-terminal has no RS-485 mode: refused as unsupported, nothing changed.
    DCB toggle = LineDcb(115200);
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    api_.SetLastError(0);
    EXPECT_FALSE(api_.SetCommState(port_, &toggle));
    EXPECT_EQ(api_.GetLastError(), ERROR_NOT_SUPPORTED);
    const termios after = Device();
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(CommStateTest, GetCommStateKeepsTheCallersFieldsAndReadsTheDevice)
{
    DCB set = LineDcb(38400, 7, EVENPARITY, TWOSTOPBITS);
    set.fParity = 1;
    set.XonLim = 1024;
    set.XoffLim = 1024;
    set.ErrorChar = '?';
    set.EofChar = 0x1A;
    set.EvtChar = '\n';
    set.fOutX = 1;
    set.fInX = 1;
    ASSERT_TRUE(api_.SetCommState(port_, &set));
    DCB got{};
    ASSERT_TRUE(api_.GetCommState(port_, &got));
    EXPECT_EQ(got.DCBlength, 28u);
    EXPECT_EQ(got.BaudRate, 38400u);
    EXPECT_EQ(DcbFlagsWord(got), DcbFlagsWord(set));
    EXPECT_EQ(got.XonLim, 1024);
    EXPECT_EQ(got.XoffLim, 1024);
    EXPECT_EQ(got.ByteSize, 7);
    EXPECT_EQ(got.Parity, EVENPARITY);
    EXPECT_EQ(got.StopBits, TWOSTOPBITS);
    EXPECT_EQ(got.XonChar, 0x11);
    EXPECT_EQ(got.XoffChar, 0x13);
    EXPECT_EQ(got.ErrorChar, '?');
    EXPECT_EQ(got.EofChar, 0x1A);
    EXPECT_EQ(got.EvtChar, '\n');

    // Someone else changes the line: the device's word counts.
    termios changed = Device();
    ::cfsetspeed(&changed, B4800);
    changed.c_iflag &= ~tcflag_t{IXON | IXOFF};
    changed.c_cflag |= CRTSCTS;
    ASSERT_EQ(::tcsetattr(observer_, TCSANOW, &changed), 0);
    ASSERT_TRUE(api_.GetCommState(port_, &got));
    EXPECT_EQ(got.BaudRate, 4800u);
    EXPECT_EQ(got.fOutX, 0u);
    EXPECT_EQ(got.fInX, 0u);
    EXPECT_EQ(got.fOutxCtsFlow, 1u);
    EXPECT_EQ(got.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(got.XonLim, 1024);
}

TEST_F(CommStateTest, ModemLinesAndBreakOnAPseudoTerminal)
{
    // A pty has no modem lines: the calls say so with a code instead of
    // pretending, and the unknown function codes are refused.
    DWORD status = 0xDEAD;
    EXPECT_FALSE(api_.GetCommModemStatus(port_, &status));
    EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_FUNCTION); // ENOTTY
    EXPECT_EQ(status, 0xDEADu);
    for (const DWORD function : {GETBASEADDRESS, DWORD{0}, DWORD{7}, DWORD{11}}) {
        api_.SetLastError(0);
        EXPECT_EQ(api_.EscapeCommFunction(port_, function), 0u) << function;
        EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER) << function;
    }
    // Output flow control works on any terminal.
    EXPECT_EQ(api_.EscapeCommFunction(port_, SETXOFF), 1u);
    const char byte = 'q';
    DWORD count = 0;
    OVERLAPPED overlapped{};
    EXPECT_FALSE(api_.WriteFile(port_, &byte, 1, &count, &overlapped));
    EXPECT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api_.EscapeCommFunction(port_, SETXON), 1u);
    EXPECT_EQ(api_.WaitForSingleObject(port_, kSettle), WAIT_OBJECT_0);
    EXPECT_TRUE(api_.GetOverlappedResult(port_, &overlapped, &count, 0));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(pty_.Receive(1), "q");
}

} // namespace
} // namespace tarvik::posix::testing
