// The backend on a COM port with a device behind it: under Wine a
// pseudo-terminal whose other end pty_peer.py plays (it echoes each byte).
//
// What Wine's serial emulation cannot show, and so is not asserted here: a
// pseudo-terminal reads back 8 data bits and no parity whatever was set, it
// has no modem lines (reading them, or setting DTR or RTS, fails with
// ERROR_NOT_SUPPORTED), Wine grants no exclusive use of a COM port, and a
// comm-event wait on it ends at once, with no event, when nothing is queued.
#include "platform/comm_api.h"
#include "win32/wine_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>

namespace tarvik::win {
namespace {

using wintest::PtyPeer;

constexpr DWORD kWaitMs = 2000;

class PortTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!wintest::UnderWine())
            GTEST_SKIP() << "the device end is a Linux pseudo-terminal, reached only under Wine";
        peer = PtyPeer::Start(PtyPeer::Mode::Modem);
        ASSERT_TRUE(peer) << PtyPeer::Error();
        port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << api.GetLastError();
    }

    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            api.CloseHandle(port);
    }

    HANDLE OpenPort()
    {
        // As the component opens it.
        const std::string path = "\\\\.\\" + peer->PortName();
        return api.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    }

    // One overlapped transfer as the component makes it: no event of its own,
    // the wait on the port handle, then the count.
    DWORD Transfer(bool writing, void* bytes, DWORD count)
    {
        OVERLAPPED overlapped{};
        DWORD done = 0;
        const BOOL completed = writing ? api.WriteFile(port, bytes, count, &done, &overlapped)
                                       : api.ReadFile(port, bytes, count, &done, &overlapped);
        if (!completed) {
            EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
            EXPECT_EQ(api.WaitForSingleObject(port, kWaitMs), WAIT_OBJECT_0);
            EXPECT_TRUE(api.GetOverlappedResult(port, &overlapped, &done, false));
        }
        return done;
    }

    DWORD Write(std::string bytes)
    {
        return Transfer(true, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    std::string Read(DWORD count)
    {
        std::string bytes(count, '\0');
        bytes.resize(Transfer(false, bytes.data(), count));
        return bytes;
    }

    DWORD Queued()
    {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(api.ClearCommError(port, &errors, &stat));
        return stat.cbInQue;
    }

    // The echo takes a moment to come back through the peer.
    bool WaitQueued(DWORD count)
    {
        for (DWORD waited = 0; waited < kWaitMs; waited += 10) {
            if (Queued() >= count)
                return true;
            api.Sleep(10);
        }
        return false;
    }

    CommApi& api = NativeCommApi();
    std::optional<PtyPeer> peer;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(PortTest, WritesAndReadsWhatIsQueued)
{
    const COMMTIMEOUTS timeouts{0xFFFF, 0, 0, 0, 0};
    ASSERT_TRUE(api.SetCommTimeouts(port, &timeouts));
    const std::string bytes("hello\0\xFF\x7F", 8);
    EXPECT_EQ(Write(bytes), bytes.size());
    ASSERT_TRUE(WaitQueued(bytes.size()));
    EXPECT_EQ(Queued(), bytes.size());
    EXPECT_EQ(Read(bytes.size()), bytes);
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(PortTest, PurgeDropsWhatIsQueued)
{
    Write("abc");
    ASSERT_TRUE(WaitQueued(3));
    EXPECT_TRUE(api.PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(Queued(), 0u);
    Write("xy");
    ASSERT_TRUE(WaitQueued(2));
    EXPECT_EQ(Read(2), "xy");
}

TEST_F(PortTest, ClosedPortCanBeOpenedAgain)
{
    EXPECT_TRUE(api.CloseHandle(port));
    EXPECT_FALSE(api.CloseHandle(port));
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Write("again");
    ASSERT_TRUE(WaitQueued(5));
    EXPECT_EQ(Read(5), "again");
}

struct LineCase {
    const char* Name;
    DWORD BaudRate;
    BYTE StopBits;
    bool HardwareFlow;
    bool SoftwareFlow;
};

class LineSettingsTest : public PortTest, public testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsTest, SettingsReadBackAsSet)
{
    const LineCase& c = GetParam();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(api.GetCommState(port, &dcb));
    dcb.BaudRate = c.BaudRate;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = c.StopBits;
    dcb.fOutxCtsFlow = c.HardwareFlow;
    dcb.fRtsControl = c.HardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = c.SoftwareFlow;
    dcb.fInX = c.SoftwareFlow;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(api.SetCommState(port, &dcb)) << "error " << api.GetLastError();

    DCB back{};
    ASSERT_TRUE(api.GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, c.BaudRate);
    EXPECT_EQ(back.StopBits, c.StopBits);
    EXPECT_EQ(back.fOutxCtsFlow, c.HardwareFlow);
    EXPECT_EQ(back.fOutX, c.SoftwareFlow);
    EXPECT_EQ(back.fInX, c.SoftwareFlow);
    EXPECT_EQ(back.fBinary, 1u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineSettingsTest,
    testing::Values(LineCase{"b300", 300, ONESTOPBIT, false, false},
                    LineCase{"b9600_two_stop", 9600, TWOSTOPBITS, false, false},
                    LineCase{"b115200_hardware_flow", 115200, ONESTOPBIT, true, false},
                    LineCase{"b19200_software_flow", 19200, TWOSTOPBITS, false, true},
                    LineCase{"b921600", 921600, ONESTOPBIT, false, false}),
    [](const testing::TestParamInfo<LineCase>& row) { return row.param.Name; });

TEST_F(PortTest, RefusedDataBitsLeaveTheSettings)
{
    DCB before{};
    ASSERT_TRUE(api.GetCommState(port, &before));
    for (const BYTE bits : {BYTE{4}, BYTE{9}}) {
        DCB dcb = before;
        dcb.ByteSize = bits;
        api.SetLastError(0);
        // Windows answers 87, Wine 50; either way a code of the system.
        EXPECT_FALSE(api.SetCommState(port, &dcb)) << int{bits};
        EXPECT_NE(api.GetLastError(), ERROR_SUCCESS);
        DCB after{};
        ASSERT_TRUE(api.GetCommState(port, &after));
        EXPECT_EQ(after.ByteSize, before.ByteSize);
        EXPECT_EQ(after.BaudRate, before.BaudRate);
    }
}

TEST_F(PortTest, LineControlsAnswerWithThePlainBool)
{
    // The NT family has no base-address function: the upper half stays 0.
    EXPECT_EQ(api.EscapeCommFunction(port, GETBASEADDRESS), 0u);
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(api.EscapeCommFunction(port, SETXOFF), 1u);
    EXPECT_EQ(api.EscapeCommFunction(port, SETXON), 1u);
    EXPECT_TRUE(api.SetCommBreak(port));
    EXPECT_TRUE(api.ClearCommBreak(port));
    EXPECT_TRUE(api.FlushFileBuffers(port));
    EXPECT_TRUE(api.SetupComm(port, 4096, 0));
}

TEST_F(PortTest, ModemLinesNeedARealPort)
{
    DWORD status = 0;
    if (!api.GetCommModemStatus(port, &status) && api.GetLastError() == ERROR_NOT_SUPPORTED)
        GTEST_SKIP() << "Wine has no modem lines on a pseudo-terminal";
    EXPECT_EQ(api.EscapeCommFunction(port, SETDTR), 1u);
    EXPECT_EQ(api.EscapeCommFunction(port, CLRRTS), 1u);
}

TEST_F(PortTest, SecondOpenIsRefused)
{
    const HANDLE second = OpenPort();
    if (second != INVALID_HANDLE_VALUE) {
        api.CloseHandle(second);
        GTEST_SKIP() << "Wine grants no exclusive use of a COM port";
    }
    EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);
}

// The event wait as WaitForEvent makes it, with the bytes already there.
TEST_F(PortTest, CommEventReportsQueuedBytes)
{
    Write("q");
    ASSERT_TRUE(WaitQueued(1));
    const HANDLE event = api.CreateEventA(true, false);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD occurred = 0;
    ASSERT_TRUE(api.SetCommMask(port, EV_RXCHAR));
    if (!api.WaitCommEvent(port, &occurred, &overlapped)) {
        ASSERT_EQ(api.GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(api.WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0);
        DWORD transferred = 0;
        EXPECT_TRUE(api.GetOverlappedResult(port, &overlapped, &transferred, true));
    }
    EXPECT_EQ(occurred & EV_RXCHAR, EV_RXCHAR);
    api.SetCommMask(port, 0);
    api.CloseHandle(event);
}

// The pending case: the mask must reach the caller when it collects the
// result, since the system writes it into the port's own record.
TEST_F(PortTest, PendingCommEventReportsBytesThatArrive)
{
    const HANDLE event = api.CreateEventA(true, false);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD occurred = 0;
    ASSERT_TRUE(api.SetCommMask(port, EV_RXCHAR));
    ASSERT_FALSE(api.WaitCommEvent(port, &occurred, &overlapped));
    ASSERT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    DWORD transferred = 0;
    if (api.WaitForSingleObject(event, 100) == WAIT_OBJECT_0 &&
        !api.GetOverlappedResult(port, &overlapped, &transferred, true) && occurred == 0) {
        api.CloseHandle(event);
        GTEST_SKIP() << "Wine ends a comm-event wait on a pseudo-terminal at once, with no event";
    }
    Write("r");
    EXPECT_EQ(api.WaitForSingleObject(event, kWaitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(api.GetOverlappedResult(port, &overlapped, &transferred, true));
    EXPECT_EQ(occurred & EV_RXCHAR, EV_RXCHAR);
    api.SetCommMask(port, 0);
    api.CloseHandle(event);
}

// A timed-out read is abandoned as the component abandons it: purged, its
// result taken without waiting, and its OVERLAPPED and buffer gone. Whatever
// the system does with the transfer afterwards must not touch that memory.
TEST_F(PortTest, AnAbandonedReadNeverWritesIntoTheCallersMemory)
{
    std::array<unsigned char, 256> memory{};
    auto* overlapped = new (memory.data()) OVERLAPPED{};
    unsigned char* const buffer = memory.data() + 128;
    DWORD done = 0;
    ASSERT_FALSE(api.ReadFile(port, buffer, 4, &done, overlapped));
    ASSERT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api.WaitForSingleObject(port, 20), WAIT_TIMEOUT);
    api.PurgeComm(port, PURGE_RXABORT);
    const bool stillRunning = !api.GetOverlappedResult(port, overlapped, &done, false) &&
                              api.GetLastError() == ERROR_IO_INCOMPLETE;
    // The caller's frame is gone; its memory now holds something else.
    std::fill(memory.begin(), memory.end(), 0xA5);

    Write("wxyz");
    if (stillRunning) {
        // Wine's purge leaves the read running: it takes the echo, and the
        // next read waits for it to end before it starts.
        Write("tail");
        EXPECT_EQ(Read(4), "tail");
    } else {
        ASSERT_TRUE(WaitQueued(4));
        EXPECT_EQ(Read(4), "wxyz");
    }
    EXPECT_TRUE(
        std::all_of(memory.begin(), memory.end(), [](unsigned char b) { return b == 0xA5; }));
}

TEST_F(PortTest, ClosingEndsAPendingRead)
{
    char buffer[4];
    OVERLAPPED overlapped{};
    DWORD done = 0;
    ASSERT_FALSE(api.ReadFile(port, buffer, sizeof buffer, &done, &overlapped));
    ASSERT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    const DWORD start = api.GetTickCount();
    EXPECT_TRUE(api.CloseHandle(port));
    EXPECT_LT(api.GetTickCount() - start, kWaitMs);
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Write("ok");
    ASSERT_TRUE(WaitQueued(2));
    EXPECT_EQ(Read(2), "ok");
}

} // namespace
} // namespace tarvik::win
