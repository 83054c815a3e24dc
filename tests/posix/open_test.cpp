// Opening a port: raw mode whatever the terminal was left in, and access
// for one user at a time.
#include "posix/pty_fixture.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace tarvik::posix::testing {
namespace {

class OpenTest : public PortTest {
protected:
    int Exclusive() const
    {
        int exclusive = -1;
        EXPECT_EQ(::ioctl(observer_, TIOCGEXCL, &exclusive), 0);
        return exclusive;
    }
};

TEST_F(OpenTest, PutsACookedTerminalInRawModeAndKeepsItsSpeed)
{
    termios cooked{};
    ASSERT_EQ(::tcgetattr(observer_, &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | INLCR | IXON | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR | OCRNL;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    ASSERT_EQ(::cfsetspeed(&cooked, B4800), 0);
    ASSERT_EQ(::tcsetattr(observer_, TCSANOW, &cooked), 0);

    OpenPort();
    termios raw{};
    ASSERT_EQ(::tcgetattr(observer_, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetospeed(&raw), speed_t{B4800});
}

TEST_F(OpenTest, BytesPassBothWaysUnchanged)
{
    OpenPort();
    // CR, LF, the interrupt, erase and end-of-file characters, and a NUL:
    // each would be eaten or rewritten by a cooked terminal.
    const std::string toPort("A\r\nB\n\rC\x03\x7f\x04\x00Z", 11);
    pty_.Send(toPort);
    ASSERT_EQ(WaitQueued(toPort.size()), toPort.size());
    std::string got(toPort.size(), '\0');
    DWORD count = 0;
    OVERLAPPED overlapped{};
    ASSERT_TRUE(api_.ReadFile(port_, got.data(), toPort.size(), &count, &overlapped));
    EXPECT_EQ(count, toPort.size());
    EXPECT_EQ(got, toPort);
    EXPECT_EQ(pty_.Receive(1), "") << "echoed back";

    const std::string fromPort("x\ny\r\n\r", 6);
    overlapped = OVERLAPPED{};
    ASSERT_TRUE(api_.WriteFile(port_, fromPort.data(), fromPort.size(), &count, &overlapped));
    EXPECT_EQ(count, fromPort.size());
    EXPECT_EQ(pty_.Receive(fromPort.size() + 1), fromPort);
}

TEST_F(OpenTest, HoldsThePortExclusivelyUntilClosed)
{
    OpenPort();
    EXPECT_EQ(Exclusive(), 1);

    // The probe's form of the same port, and the same path once more.
    for (const char* name : {"COM3:", kPortName}) {
        api_.SetLastError(0);
        EXPECT_EQ(api_.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(api_.GetLastError(), ERROR_ACCESS_DENIED) << name;
    }
    // Another program's view of it: the lock is taken.
    EXPECT_NE(::flock(observer_, LOCK_SH | LOCK_NB), 0);

    ASSERT_TRUE(api_.CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Exclusive(), 0);
    OpenPort();
}

TEST_F(OpenTest, AForeignLockKeepsThePortOut)
{
    ASSERT_EQ(::flock(observer_, LOCK_EX | LOCK_NB), 0);
    api_.SetLastError(0);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api_.GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::flock(observer_, LOCK_UN), 0);
    OpenPort();
}

TEST_F(OpenTest, OnlyExistingDevicesAreOpened)
{
    api_.SetLastError(0);
    EXPECT_EQ(api_.CreateFileA(kPortName, GENERIC_READ | GENERIC_WRITE, 0, 2 /* CREATE_ALWAYS */,
                               FILE_ATTRIBUTE_NORMAL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER);
}

} // namespace
} // namespace tarvik::posix::testing
