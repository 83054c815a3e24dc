#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

struct ConfigureCase {
    const char* What;
    char Parity;
    bool SoftFlow;
    bool HardFlow;
    win::DWORD FlagsWord;
    win::BYTE ParityValue;
};

class ConfigureTest : public SerialFixture, public ::testing::WithParamInterface<ConfigureCase> {};

TEST_P(ConfigureTest, BuildsTheDcbFromScratch)
{
    const ConfigureCase& c = GetParam();
    OpenPort();
    serial.Configure(9600, 8, c.Parity, 0, c.SoftFlow, c.HardFlow);
    EXPECT_EQ(serial.LastErrorCode(), 0);
    const win::DCB& dcb = device.Dcb();
    EXPECT_EQ(win::DcbFlagsWord(dcb), c.FlagsWord);
    EXPECT_EQ(dcb.Parity, c.ParityValue);
    EXPECT_EQ(dcb.fParity, c.ParityValue != win::NOPARITY);
    EXPECT_EQ(dcb.fOutX, c.SoftFlow);
    EXPECT_EQ(dcb.fInX, c.SoftFlow);
    EXPECT_EQ(dcb.fOutxCtsFlow, c.HardFlow);
    EXPECT_EQ(dcb.fRtsControl, c.HardFlow ? win::RTS_CONTROL_HANDSHAKE : win::RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 1024);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.wReserved1, 0);
    // The object's own copy is what was applied.
    EXPECT_EQ(win::DcbFlagsWord(serial.Dcb()), c.FlagsWord);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigureTest,
    ::testing::Values(ConfigureCase{"plain", 'N', false, false, 0x1011, win::NOPARITY},
                      ConfigureCase{"lower_n", 'n', false, false, 0x1011, win::NOPARITY},
                      ConfigureCase{"odd", 'O', false, false, 0x1013, win::ODDPARITY},
                      ConfigureCase{"even", 'e', false, false, 0x1013, win::EVENPARITY},
                      ConfigureCase{"mark", 'm', false, false, 0x1013, win::MARKPARITY},
                      ConfigureCase{"space", 'S', false, false, 0x1013, win::SPACEPARITY},
                      ConfigureCase{"unknown_letter", 'x', false, false, 0x1011, win::NOPARITY},
                      ConfigureCase{"software_flow", 'N', true, false, 0x1311, win::NOPARITY},
                      ConfigureCase{"hardware_flow", 'N', false, true, 0x2015, win::NOPARITY},
                      ConfigureCase{"both_flows", 'N', true, true, 0x2315, win::NOPARITY},
                      ConfigureCase{"both_flows_even", 'E', true, true, 0x2317, win::EVENPARITY}),
    [](const auto& p) { return std::string(p.param.What); });

TEST_F(SerialFixture, ConfigurePassesValuesUncheckedAndRebuildsEveryTime)
{
    OpenPort();
    serial.Configure(921600, 4, 'E', 2, true, true);
    serial.Configure(1234567, 7, 'N', 1, false, false);
    const win::DCB& dcb = device.Dcb();
    EXPECT_EQ(dcb.BaudRate, 1234567u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, 1);
    EXPECT_EQ(win::DcbFlagsWord(dcb), 0x1011u);
}

TEST_F(SerialFixture, RefusedSettingsSurfaceAsTheSystemError)
{
    OpenPort();
    api.FailCall("SetCommState", 87);
    serial.Configure(9600, 4, 'N', 0, false, false);
    EXPECT_EQ(serial.LastErrorCode(), 87);
    EXPECT_EQ(serial.LastErrorText(), "The parameter is incorrect");

    serial.RaiseExcept = true;
    api.FailCall("SetCommState", 87);
    try {
        serial.Configure(9600, 4, 'N', 0, false, false);
        FAIL() << "Configure did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, 87);
    }
}

TEST_F(SerialFixture, XonLimitsFollowTheReceiveQueueSize)
{
    OpenPort();
    serial.SetReceiveBufferSize(1000003);
    serial.Configure(9600, 8, 'N', 0, false, false);
    // 1000003 / 4 = 250000, kept in 16 bits.
    EXPECT_EQ(device.Dcb().XonLim, static_cast<win::WORD>(250000));
}

TEST_F(SerialFixture, ReadDcbFetchesThePortSettings)
{
    OpenPort();
    serial.Configure(19200, 7, 'O', 2, false, true);
    serial.Configure(300, 5, 'N', 0, false, false);
    win::DCB changed = device.Dcb();
    changed.BaudRate = 57600;
    api.SetCommState(serial.Handle, &changed);
    serial.ReadDcb();
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(serial.Dcb().BaudRate, 57600u);
    EXPECT_EQ(serial.Dcb().ByteSize, 5);
}

} // namespace
} // namespace tarvik::testing
