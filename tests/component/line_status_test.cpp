#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

TEST_F(SerialFixture, CarrierAndRingComeFromTheModemStatus)
{
    OpenPort();
    const struct {
        win::DWORD Bits;
        bool Carrier, Ring;
    } cases[] = {{0, false, false},
                 {win::MS_RLSD_ON, true, false},
                 {win::MS_RING_ON, false, true},
                 {win::MS_RLSD_ON | win::MS_RING_ON | win::MS_CTS_ON, true, true}};
    for (const auto& c : cases) {
        device.SetModemStatus(c.Bits);
        EXPECT_EQ(serial.ReadCarrier(), c.Carrier) << c.Bits;
        EXPECT_EQ(serial.ReadRing(), c.Ring) << c.Bits;
    }
    api.FailCall("GetCommModemStatus", 1, 2);
    EXPECT_FALSE(serial.ReadCarrier());
    EXPECT_FALSE(serial.ReadRing());
    EXPECT_EQ(serial.LastErrorCode(), 1);
}

TEST_F(SerialFixture, BreakHoldsTheLineForItsDuration)
{
    OpenPort();
    const std::uint64_t start = api.NowNs();
    serial.SendBreak(250);
    EXPECT_THAT(api.Calls(), ElementsAre("SetCommBreak", "Sleep(250)", "ClearCommBreak"));
    EXPECT_EQ((api.NowNs() - start) / kMs, 250u);
    EXPECT_FALSE(device.Break());
    EXPECT_EQ(serial.LastErrorCode(), 0);

    api.ClearCalls();
    serial.SendBreak(0);
    EXPECT_THAT(api.Calls(), ElementsAre("SetCommBreak", "Sleep(0)", "ClearCommBreak"));
}

TEST_F(SerialFixture, ABreakOnAClosedPortIsRecordedButNeverRaised)
{
    serial.RaiseExcept = true;
    EXPECT_NO_THROW(serial.SendBreak(0));
    EXPECT_EQ(serial.LastErrorCode(), 6);
}

TEST_F(SerialFixture, RtsToggleOnTheNtFamilyIsTheDriversOwn)
{
    OpenPort();
    serial.Configure(9600, 8, 'N', 0, false, false);
    serial.SetRtsToggle(true);
    EXPECT_EQ(device.Dcb().fRtsControl, win::RTS_CONTROL_TOGGLE);
    EXPECT_FALSE(serial.RtsToggle());
    EXPECT_EQ(device.Dcb().BaudRate, 9600u);
    serial.SetRtsToggle(false);
    EXPECT_EQ(device.Dcb().fRtsControl, win::RTS_CONTROL_DISABLE);

    serial.SetRtsToggle(true);
    serial.Configure(9600, 8, 'N', 0, false, false);
    EXPECT_EQ(device.Dcb().fRtsControl, win::RTS_CONTROL_ENABLE);
    serial.Configure(9600, 8, 'N', 0, false, true);
    EXPECT_EQ(device.Dcb().fRtsControl, win::RTS_CONTROL_HANDSHAKE);
}

TEST_F(SerialFixture, RtsToggleOutsideTheNtFamilyLowersRtsOnlyWhenSwitchedOn)
{
    api.SetPlatformId(win::VER_PLATFORM_WIN32_WINDOWS);
    OpenPort();
    ASSERT_TRUE(device.Rts());
    serial.SetRtsToggle(false);
    EXPECT_TRUE(device.Rts());
    serial.SetRtsToggle(true);
    EXPECT_TRUE(serial.RtsToggle());
    EXPECT_FALSE(device.Rts());
    EXPECT_TRUE(api.CallsOf("GetCommState").empty());
}

TEST_F(SerialFixture, ReceiveBufferSizeSetsTheQueueAndTheXonLimits)
{
    OpenPort();
    serial.Configure(9600, 8, 'N', 0, false, false);
    serial.SetReceiveBufferSize(8192);
    EXPECT_EQ(device.InQueueSize(), 8192u);
    EXPECT_EQ(device.Dcb().XonLim, 2048);
    EXPECT_EQ(device.Dcb().XoffLim, 2048);
    EXPECT_EQ(device.Dcb().BaudRate, 9600u);
    EXPECT_EQ(serial.RecvQueueSize(), 8192);
}

TEST_F(SerialFixture, ReceiveBufferSizeOnAClosedObject)
{
    serial.SetReceiveBufferSize(2048);
    EXPECT_EQ(serial.LastErrorCode(), 6);
    EXPECT_EQ(serial.RecvQueueSize(), 2048);
    serial.Open("COM3");
    EXPECT_EQ(device.InQueueSize(), 2048u);

    serial.Close();
    serial.RaiseExcept = true;
    EXPECT_THROW(serial.SetReceiveBufferSize(1024), EKorloSerError);
    EXPECT_EQ(serial.RecvQueueSize(), 2048);
}

TEST_F(SerialFixture, RateLimitSetsBothDirectionsAndLeavesTheTicks)
{
    OpenPort();
    serial.SetRateLimit(100);
    serial.SendText("0123456789");
    const std::uint32_t next = serial.NextSendTick();
    serial.SetRateLimit(-5);
    EXPECT_EQ(serial.SendRateLimit(), -5);
    EXPECT_EQ(serial.RecvRateLimit(), -5);
    EXPECT_EQ(serial.NextSendTick(), next);
}

} // namespace
} // namespace tarvik::testing
