#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

struct PortNameCase {
    const char* Name;
    std::int32_t PortIndex;
    const char* DevicePath;
};

class PortNameTest : public ::testing::TestWithParam<PortNameCase> {};

TEST_P(PortNameTest, NameGivesIndexAndPath)
{
    const PortNameCase& c = GetParam();
    sim::SimCommApi api;
    TBlockSerial serial(api);
    serial.Open(c.Name); // no such device here: the path tried is what counts
    EXPECT_EQ(serial.PortIndex(), c.PortIndex);
    EXPECT_EQ(serial.DevicePath(), c.DevicePath);
    EXPECT_EQ(api.CallsOf("CreateFileA").size(), 1u);
    EXPECT_EQ(serial.LastErrorCode(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortNameTest,
    ::testing::Values(
        PortNameCase{"COM3", 2, "\\\\.\\COM3"}, PortNameCase{"com12", 11, "\\\\.\\COM12"},
        PortNameCase{"cOm1", 0, "\\\\.\\COM1"}, PortNameCase{"COM", -1, "COM"},
        PortNameCase{"COM0", -1, "COM0"}, PortNameCase{"COMx", -1, "COMx"},
        PortNameCase{"COM 7", 6, "\\\\.\\COM7"}, PortNameCase{"COM+4", 3, "\\\\.\\COM4"},
        PortNameCase{"COM-2", -3, "\\\\.\\COM-2"}, PortNameCase{"COM$A", 9, "\\\\.\\COM10"},
        PortNameCase{"COM0x10", 15, "\\\\.\\COM16"}, PortNameCase{"COM3 ", -1, "COM3 "},
        PortNameCase{"COM99999999999", -1, "COM99999999999"},
        PortNameCase{"COM2147483647", 2147483646, "\\\\.\\COM2147483647"},
        PortNameCase{"/dev/ttyS0", 0, "\\\\.\\COM1"}, PortNameCase{"/DEV/TTYS4", 4, "\\\\.\\COM5"},
        PortNameCase{"/dev/ttyS", -2, "\\\\.\\COM-1"},
        PortNameCase{"/dev/ttySx", -2, "\\\\.\\COM-1"},
        PortNameCase{"/dev/ttyS-1", -1, "/dev/ttyS-1"},
        PortNameCase{"\\\\.\\COM5", -1, "\\\\.\\COM5"},
        PortNameCase{"/dev/ttyUSB0", -1, "/dev/ttyUSB0"}));

TEST_F(SerialFixture, OpenSetsThePortUpInOrder)
{
    device.SendNow("stale");
    serial.LineBuffer = "old";
    serial.Open("COM3");
    EXPECT_TRUE(serial.PortOpen());
    EXPECT_NE(serial.Handle, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(serial.PortIndex(), 2);
    EXPECT_THAT(api.Calls(),
                ElementsAre("SetLastError(0)", "CreateFileA(\\\\.\\COM3,3221225472,0,3,1073741952)",
                            "SetCommMask(0)", "SetupComm(4096,0)", "SetCommTimeouts",
                            "EscapeCommFunction(3)", "EscapeCommFunction(5)", "PurgeComm(15)"));
    const win::COMMTIMEOUTS timeouts = device.Timeouts();
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0xFFFFu);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_TRUE(device.Rts());
    EXPECT_TRUE(device.Dtr());
    EXPECT_EQ(device.QueuedBytes(), 0u);
    EXPECT_EQ(serial.LineBuffer, "");
    EXPECT_THAT(notes, ElementsAre(Notification{THookSerialReason::HR_Connect, kPath}));
}

TEST_F(SerialFixture, OpenOfAMissingOrHeldPortRecordsTheSystemReason)
{
    for (const bool held : {false, true}) {
        notes.clear();
        const char* name = held ? "COM3" : "COM4";
        if (held)
            api.SetOpenError(kPath, 5);
        serial.Open(name);
        EXPECT_EQ(serial.LastErrorCode(), held ? 5 : 2);
        EXPECT_EQ(serial.LastErrorText(),
                  held ? "Access is denied" : "The system cannot find the file specified");
        EXPECT_EQ(serial.Handle, win::INVALID_HANDLE_VALUE);
        EXPECT_FALSE(serial.PortOpen());
        EXPECT_TRUE(notes.empty());

        serial.RaiseExcept = true;
        try {
            serial.Open(name);
            ADD_FAILURE() << "Open did not raise";
        } catch (const EKorloSerError& error) {
            EXPECT_EQ(error.Code, held ? 5 : 2);
        }
        serial.RaiseExcept = false;
        EXPECT_TRUE(notes.empty());
    }
}

TEST_F(SerialFixture, OpenWithControlLinesNotReady)
{
    serial.TestDSR = true;
    device.SetModemStatus(win::MS_CTS_ON);
    serial.Open("COM3");
    EXPECT_EQ(serial.LastErrorCode(), seNoAnswer);
    EXPECT_EQ(serial.Handle, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(serial.PortIndex(), -1);
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_FALSE(device.IsOpen());
    EXPECT_THAT(notes, ElementsAre(Notification{THookSerialReason::HR_Connect, kPath}));

    notes.clear();
    serial.RaiseExcept = true;
    try {
        serial.Open("COM3");
        FAIL() << "Open did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seNoAnswer);
    }
    EXPECT_TRUE(notes.empty());
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(SerialFixture, ControlLinesAreReadOnlyWhenTested)
{
    device.SetModemStatus(win::MS_DSR_ON);
    serial.TestCTS = true;
    serial.Open("COM3");
    EXPECT_EQ(serial.LastErrorCode(), seNoAnswer);

    api.ClearCalls();
    serial.TestCTS = false;
    serial.TestDSR = true;
    serial.Open("COM3");
    EXPECT_TRUE(serial.PortOpen());
    EXPECT_EQ(api.CallsOf("GetCommModemStatus").size(), 1u);

    api.ClearCalls();
    serial.TestDSR = false;
    EXPECT_FALSE(serial.NotReady());
    EXPECT_TRUE(api.Calls().empty());
}

TEST_F(SerialFixture, FailingModemStatusInsideOpenLeavesItHalfOpen)
{
    serial.TestDSR = true;
    serial.RaiseExcept = true;
    api.FailCall("GetCommModemStatus", 1);
    EXPECT_THROW(serial.Open("COM3"), EKorloSerError);
    EXPECT_EQ(serial.LastErrorCode(), 1);
    EXPECT_NE(serial.Handle, win::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_TRUE(device.IsOpen());

    serial.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(serial.Handle, win::INVALID_HANDLE_VALUE);
}

TEST_F(SerialFixture, SecondOpenIsRefusedAndTheFirstStaysUsable)
{
    OpenPort();
    const win::HANDLE handle = serial.Handle;
    serial.Open("COM3");
    EXPECT_EQ(serial.LastErrorCode(), seInUse);
    EXPECT_EQ(serial.Handle, handle);
    EXPECT_TRUE(serial.PortOpen());
    EXPECT_TRUE(api.CallsOf("CreateFileA").empty());
    serial.SendText("AT");
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(device.Written(), "AT");

    serial.RaiseExcept = true;
    EXPECT_THROW(serial.Open("COM3"), EKorloSerError);
    EXPECT_TRUE(serial.PortOpen());
}

TEST_F(SerialFixture, CloseOnANeverOpenedObjectTouchesNoPort)
{
    serial.SetError(seTimeout);
    serial.Close();
    EXPECT_TRUE(api.Calls().empty());
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_THAT(notes, ElementsAre(Notification{THookSerialReason::HR_SerialClose, ""}));
}

TEST_F(SerialFixture, CloseUndoesOpenAndKeepsThePath)
{
    OpenPort();
    serial.LineBuffer = "left";
    serial.Close();
    EXPECT_THAT(api.Calls(), ElementsAre("PurgeComm(15)", "EscapeCommFunction(4)",
                                         "EscapeCommFunction(6)", "CloseHandle(port)"));
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_EQ(serial.Handle, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(serial.PortIndex(), -1);
    EXPECT_EQ(serial.DevicePath(), kPath);
    EXPECT_EQ(serial.LineBuffer, "");
    EXPECT_FALSE(device.Rts());
    EXPECT_FALSE(device.Dtr());
    EXPECT_THAT(notes, ElementsAre(Notification{THookSerialReason::HR_SerialClose, kPath}));
    // The port can be opened again.
    serial.Open("COM3");
    EXPECT_TRUE(serial.PortOpen());
}

TEST_F(SerialFixture, ClosingWhilePurgeRaisesKeepsThePortOpen)
{
    OpenPort();
    serial.RaiseExcept = true;
    api.FailCall("PurgeComm", 1167);
    EXPECT_THROW(serial.Close(), EKorloSerError);
    EXPECT_TRUE(serial.PortOpen());
    EXPECT_TRUE(device.IsOpen());
    serial.Close();
    EXPECT_FALSE(device.IsOpen());
}

TEST(DestroyTest, DestroyingClosesEvenWhenThePurgeFails)
{
    sim::SimCommApi api;
    sim::SimDevice& device = api.AddDevice("\\\\.\\COM1");
    std::vector<std::string> closed;
    {
        TBlockSerial serial(api);
        serial.OnStatus = [&](TBlockSerial&, THookSerialReason reason, const std::string& path) {
            if (reason == THookSerialReason::HR_SerialClose)
                closed.push_back(path);
        };
        serial.RaiseExcept = true;
        serial.Open("COM1");
        ASSERT_TRUE(device.IsOpen());
        api.FailCall("PurgeComm", 1167);
    }
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(closed, std::vector<std::string>{"\\\\.\\COM1"});
}

TEST_F(SerialFixture, NotReadyOnAClosedObject)
{
    EXPECT_TRUE(serial.NotReady());
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    serial.RaiseExcept = true;
    EXPECT_THROW(serial.NotReady(), EKorloSerError);
}

TEST_F(SerialFixture, NotReadyWhenALineDropsAfterOpening)
{
    serial.TestCTS = true;
    device.SetModemStatus(win::MS_CTS_ON);
    OpenPort();
    EXPECT_FALSE(serial.NotReady());
    device.SetModemStatus(0);
    EXPECT_TRUE(serial.NotReady());
    EXPECT_EQ(serial.LastErrorCode(), seNoAnswer);
}

TEST_F(SerialFixture, ModemStatusReadsAndFailures)
{
    OpenPort();
    device.SetModemStatus(win::MS_DSR_ON | win::MS_RLSD_ON);
    EXPECT_EQ(serial.ReadModemStatus(), win::MS_DSR_ON | win::MS_RLSD_ON);
    EXPECT_TRUE(serial.ReadDSR());
    EXPECT_FALSE(serial.ReadCTS());

    // A failed read records the reason and reads as no lines at all...
    api.FailCall("GetCommModemStatus", 1);
    EXPECT_EQ(serial.ReadModemStatus(), 0u);
    EXPECT_EQ(serial.LastErrorCode(), 1);
    EXPECT_EQ(serial.ModemLines(), 0u);
    // ...unless raising ends it first: then the old bits stay.
    device.SetModemStatus(win::MS_CTS_ON);
    serial.ReadModemStatus();
    serial.RaiseExcept = true;
    api.FailCall("GetCommModemStatus", 1);
    EXPECT_THROW(serial.ReadModemStatus(), EKorloSerError);
    EXPECT_EQ(serial.ModemLines(), win::MS_CTS_ON);
}

TEST_F(SerialFixture, OperationsOnAClosedObjectRecordTheInvalidHandle)
{
    serial.ReadDcb();
    EXPECT_EQ(serial.LastErrorCode(), 6);
    serial.WriteDcb();
    EXPECT_EQ(serial.LastErrorCode(), 6);
    serial.PurgeAll();
    EXPECT_EQ(serial.LastErrorCode(), 6);
    serial.ReadModemStatus();
    EXPECT_EQ(serial.LastErrorCode(), 6);
    EXPECT_EQ(serial.LastErrorText(), "The handle is invalid");
}

TEST_F(SerialFixture, PurgeAllEmptiesTheBufferEvenWhenThePurgeFails)
{
    OpenPort();
    serial.LineBuffer = "abc";
    api.FailCall("PurgeComm", 1167);
    serial.PurgeAll();
    EXPECT_EQ(serial.LastErrorCode(), 1167);
    EXPECT_EQ(serial.LineBuffer, "");
}

TEST_F(SerialFixture, UartAddressOnlyOutsideTheNtFamily)
{
    OpenPort();
    EXPECT_EQ(serial.UartAddress(), 0);
    EXPECT_TRUE(api.CallsOf("EscapeCommFunction(10)").empty());
    serial.Close();

    api.SetPlatformId(win::VER_PLATFORM_WIN32_WINDOWS);
    api.SetUartBase(0x3F8);
    serial.Open("COM3");
    EXPECT_EQ(serial.UartAddress(), 0x3F8);
}

} // namespace
} // namespace tarvik::testing
