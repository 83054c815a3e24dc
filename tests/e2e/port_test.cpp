// What the dialogue does to the port itself: the probe meets a port held
// elsewhere, the chosen settings reach the line, a refused setting ends the run.
#include "e2e/screens.h"
#include "e2e/tarvik_harness.h"
#include "platform/posix/unique_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

namespace tarvik::e2e {
namespace {

using namespace screen;

// A second descriptor on the modem's line, as another program would hold it.
posix::UniqueFd OpenLine(const std::string& device)
{
    return posix::UniqueFd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

TEST_F(PlainModemTest, PortLockedByAnotherProgramFailsTheProbeAndTheRunGoesOn)
{
    posix::UniqueFd holder = OpenLine(ModemDevice());
    ASSERT_TRUE(holder.Valid()) << std::strerror(errno);
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0) << std::strerror(errno);

    const auto tarvik = StartTarvik();
    ASSERT_TRUE(tarvik->Send("1\n"));
    ASSERT_TRUE(tarvik->WaitForOutput(NotConnected("1") + kBanner, Millis(5000)))
        << tarvik->Output();
    // Once the other program lets go, the same answer connects.
    holder.Reset();
    ASSERT_TRUE(tarvik->Send("1\n9\n8\nAT\nquit\ny\n"));
    const RunResult run = tarvik->Finish(kRunLimit);
    EXPECT_EQ(run.out,
              kBanner + NotConnected("1") + kSetUp + Answered("\r\nOK\r\n") + kExitQuestion);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

struct LineSettingsCase {
    const char* name;
    std::string answers; // speed and data-bits answers after the port
    speed_t speed;

    friend void PrintTo(const LineSettingsCase& c, std::ostream* os) { *os << c.name; }
};

class LineSettingsTest : public PlainModemTest,
                         public ::testing::WithParamInterface<LineSettingsCase> {};

// Read back from the line while tarvik holds it at the command prompt. A
// pseudo-terminal always reports 8 data bits and no parity, whatever was
// asked for, so of the frame only the stop bits can be seen here.
TEST_P(LineSettingsTest, SpeedAndFlowControlReachTheLine)
{
    // Opened before tarvik holds the line exclusively, and left as another
    // program might leave it, so that every setting checked must be made.
    const posix::UniqueFd observer = OpenLine(ModemDevice());
    ASSERT_TRUE(observer.Valid()) << std::strerror(errno);
    termios settings{};
    ASSERT_EQ(::tcgetattr(observer.Get(), &settings), 0) << std::strerror(errno);
    ::cfsetspeed(&settings, B50);
    settings.c_cflag |= CSTOPB | CRTSCTS;
    settings.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(::tcsetattr(observer.Get(), TCSANOW, &settings), 0) << std::strerror(errno);

    const auto tarvik = StartTarvik();
    ASSERT_TRUE(tarvik->Send("1\n" + GetParam().answers));
    ASSERT_TRUE(tarvik->WaitForOutput(kDataBitsOk + kPrompt, Millis(5000))) << tarvik->Output();

    ASSERT_EQ(::tcgetattr(observer.Get(), &settings), 0) << std::strerror(errno);
    EXPECT_EQ(::cfgetospeed(&settings), GetParam().speed);
    EXPECT_EQ(::cfgetispeed(&settings), GetParam().speed);
    // One stop bit, no flow control.
    EXPECT_EQ(settings.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);

    ASSERT_TRUE(tarvik->Send("quit\ny\n"));
    EXPECT_TRUE(ExitedWith(tarvik->Finish(kRunLimit), 0));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, LineSettingsTest,
    ::testing::Values(LineSettingsCase{"Slowest", "1\n5\n", B300},
                      LineSettingsCase{"Menu4Is4800", "4\n7\n", B4800},
                      LineSettingsCase{"Menu12Is921600", "12\n8\n", B921600},
                      // The speed is kept while the data-bits stage starts over.
                      LineSettingsCase{"SpeedSurvivesRestarts", "11\nCLEAR\nexit\nn\n9\n6\n",
                                       B460800}),
    NamedCase{});

// The Linux backend has no 4-bit frame and refuses it with 87.
TEST_F(PlainModemTest, DataBitsThePortRefusesEndTheRunWithTheReport)
{
    const RunResult run = RunTarvik("1\n9\n4\nAT\n");
    EXPECT_EQ(run.out, kBanner + Connected("1") + kSpeedMenu + kSpeedOk + kDataBitsMenu);
    EXPECT_TRUE(IsErrorReport(run.err, "Ошибка #87: The parameter is incorrect."));
    EXPECT_TRUE(ExitedWith(run, 1));
}

} // namespace
} // namespace tarvik::e2e
