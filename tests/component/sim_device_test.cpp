// The simulated port's scripting, as the component's tests rely on it: chunks
// that arrive one by one on the virtual clock, pending transfers, a held
// transmitter, injected failures and the call log.
#include "platform/sim/sim_comm.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarvik::sim {
namespace {

using namespace win;

constexpr const char* kPath = "\\\\.\\COM3";
constexpr std::uint64_t kMs = 1'000'000;

class SimDeviceTest : public ::testing::Test {
protected:
    HANDLE Open()
    {
        return api.CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    }
    DWORD Queued(HANDLE port)
    {
        COMSTAT stat{};
        EXPECT_EQ(api.ClearCommError(port, nullptr, &stat), 1);
        return stat.cbInQue;
    }

    SimCommApi api;
    SimDevice& device = api.AddDevice(kPath);
    OVERLAPPED ov{};
    DWORD count = 0;
};

TEST_F(SimDeviceTest, ChunksArriveOneAtATimeOnceTheQueueHasBeenRead)
{
    device.Send("AT", 0);
    device.Send("OK", 100);
    const HANDLE port = Open();
    EXPECT_EQ(Queued(port), 2u) << "two chunks must not merge into one arrival";
    api.AdvanceMs(500);
    EXPECT_EQ(Queued(port), 2u) << "the next chunk waits while the queue holds bytes";

    char buffer[2] = {};
    ASSERT_EQ(api.ReadFile(port, buffer, 2, &count, &ov), 1);
    EXPECT_EQ(std::string(buffer, count), "AT");
    // The delay counts from the read at 500 ms, not from the start.
    api.AdvanceMs(99);
    EXPECT_EQ(Queued(port), 0u);
    api.AdvanceMs(1);
    EXPECT_EQ(Queued(port), 2u);
}

TEST_F(SimDeviceTest, PendingReadFillsFromLaterChunksOrIsAbortedWithItsCount)
{
    device.Send("ab");
    device.Send("cde", 30);
    const HANDLE port = Open();
    char buffer[5] = {};
    ASSERT_EQ(api.ReadFile(port, buffer, 5, &count, &ov), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api.GetOverlappedResult(port, &ov, &count, 0), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(count, 2u);

    EXPECT_EQ(api.WaitForSingleObject(port, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(api.NowNs(), 30 * kMs) << "the wait ends at the arrival, not at its time-out";
    ASSERT_EQ(api.GetOverlappedResult(port, &ov, &count, 0), 1);
    EXPECT_EQ(std::string(buffer, count), "abcde");

    // Nothing more is coming: the next read runs out and is aborted.
    device.Send("xy");
    ASSERT_EQ(api.ReadFile(port, buffer, 5, &count, &ov), 0);
    EXPECT_EQ(api.WaitForSingleObject(port, 200), WAIT_TIMEOUT);
    EXPECT_EQ(api.NowNs(), 230 * kMs);
    EXPECT_TRUE(device.ReadPending());
    ASSERT_EQ(api.PurgeComm(port, PURGE_RXABORT), 1);
    EXPECT_EQ(api.GetOverlappedResult(port, &ov, &count, 0), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(device.ReadPending());
}

TEST_F(SimDeviceTest, StalledTransmitterHoldsTheWriteUntilItIsAborted)
{
    const HANDLE port = Open();
    device.StallTransmitter(true, 2);
    ASSERT_EQ(api.WriteFile(port, "hello", 5, &count, &ov), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api.WaitForSingleObject(port, 30000), WAIT_TIMEOUT);
    EXPECT_EQ(api.NowNs(), 30000 * kMs);
    ASSERT_EQ(api.PurgeComm(port, PURGE_TXABORT), 1);
    EXPECT_EQ(api.GetOverlappedResult(port, &ov, &count, 0), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(count, 2u);

    device.StallTransmitter(false);
    OVERLAPPED next{};
    ASSERT_EQ(api.WriteFile(port, "ok", 2, &count, &next), 1);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(next.InternalHigh, 2u);
    ASSERT_EQ(api.WriteFile(port, "", 0, &count, &next), 1);
    EXPECT_EQ(device.Written(), "heok");
    EXPECT_EQ(device.Writes(), (std::vector<std::string>{"he", "ok", ""}));
}

TEST_F(SimDeviceTest, CommEventWaitEndsAtAnArrivalAtATimeOutOrAtANewMask)
{
    const HANDLE port = Open();
    const HANDLE event = api.CreateEventA(1, 0);
    ov.hEvent = event;
    DWORD occurred = 0xFFFF;
    device.Send("x", 300);
    ASSERT_EQ(api.SetCommMask(port, EV_RXCHAR), 1);
    ASSERT_EQ(api.WaitCommEvent(port, &occurred, &ov), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api.WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(api.NowNs(), 100 * kMs);
    EXPECT_EQ(api.WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(api.NowNs(), 300 * kMs);
    EXPECT_EQ(occurred, EV_RXCHAR);
    EXPECT_EQ(api.WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";

    // With a byte queued the wait is over at once.
    occurred = 0;
    ASSERT_EQ(api.WaitCommEvent(port, &occurred, &ov), 1);
    EXPECT_EQ(occurred, EV_RXCHAR);

    // A new mask ends a pending wait with no events and signals its event.
    ASSERT_EQ(api.PurgeComm(port, PURGE_RXCLEAR), 1);
    occurred = 0xFFFF;
    ASSERT_EQ(api.WaitCommEvent(port, &occurred, &ov), 0);
    EXPECT_EQ(api.WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_EQ(api.SetCommMask(port, 0), 1);
    EXPECT_EQ(occurred, 0u);
    EXPECT_EQ(api.WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(api.GetOverlappedResult(port, &ov, &count, 1), 1);
}

TEST_F(SimDeviceTest, ReceiveClearDropsWhatArrivedButKeepsTheScript)
{
    device.SendNow("junk");
    device.Send("later");
    const HANDLE port = Open();
    EXPECT_EQ(Queued(port), 4u);
    ASSERT_EQ(api.PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR), 1);
    EXPECT_EQ(Queued(port), 5u);
}

TEST_F(SimDeviceTest, LineErrorsAreReportedOnceAndReadErrorsOnlyAfterTheRead)
{
    const HANDLE port = Open();
    DWORD errors = 0;
    device.SetLineErrors(CE_FRAME | CE_BREAK);
    ASSERT_EQ(api.ClearCommError(port, &errors, nullptr), 1);
    EXPECT_EQ(errors, CE_FRAME | CE_BREAK);
    ASSERT_EQ(api.ClearCommError(port, &errors, nullptr), 1);
    EXPECT_EQ(errors, 0u);

    device.SendNow("a");
    device.SetLineErrorsOnRead(CE_RXPARITY);
    ASSERT_EQ(api.ClearCommError(port, &errors, nullptr), 1);
    EXPECT_EQ(errors, 0u);
    char byte = 0;
    ASSERT_EQ(api.ReadFile(port, &byte, 1, &count, &ov), 1);
    ASSERT_EQ(api.ClearCommError(port, &errors, nullptr), 1);
    EXPECT_EQ(errors, CE_RXPARITY);
}

TEST_F(SimDeviceTest, InjectedFailuresHitTheNextCallsOnly)
{
    const HANDLE port = Open();
    DCB dcb{};
    DWORD status = 0;
    const std::map<std::string, std::function<bool()>> calls = {
        {"SetCommState", [&] { return api.SetCommState(port, &dcb) != 0; }},
        {"GetCommModemStatus", [&] { return api.GetCommModemStatus(port, &status) != 0; }},
        {"WaitForSingleObject", [&] { return api.WaitForSingleObject(port, 0) != WAIT_FAILED; }},
        {"EscapeCommFunction", [&] { return api.EscapeCommFunction(port, SETDTR) != 0; }},
    };
    struct Case {
        const char* function;
        int times;
        std::vector<bool> succeeds;
    };
    const Case cases[] = {
        {"SetCommState", 2, {false, false, true}},
        {"GetCommModemStatus", -1, {false, false, false, false}},
        {"WaitForSingleObject", 1, {false, true}},
        {"EscapeCommFunction", 1, {false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        api.FailCall(c.function, ERROR_GEN_FAILURE, c.times);
        for (const bool succeeds : c.succeeds) {
            api.SetLastError(0);
            EXPECT_EQ(calls.at(c.function)(), succeeds);
            EXPECT_EQ(api.GetLastError(), succeeds ? 0u : ERROR_GEN_FAILURE);
        }
    }
    api.FailCall("CreateFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(api.CreateFileA(kPath, 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_THROW(api.FailCall("SetComState", 5), std::invalid_argument);
}

TEST_F(SimDeviceTest, PortsOpenOnceFailOnBadHandlesAndKeepTheirStateWhenClosed)
{
    EXPECT_EQ(api.CreateFileA("\\\\.\\COM9", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), ERROR_FILE_NOT_FOUND);
    const HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(port, 0u);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);

    DCB dcb{};
    dcb.BaudRate = 9600;
    ASSERT_EQ(api.SetCommState(port, &dcb), 1);
    ASSERT_EQ(api.WriteFile(port, "AT", 2, &count, &ov), 1);
    ASSERT_EQ(api.CloseHandle(port), 1);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(api.ClearCommError(port, nullptr, nullptr), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(api.CloseHandle(port), 0);

    const HANDLE again = Open();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.Dcb().BaudRate, 9600u);
    EXPECT_EQ(device.Written(), "AT");

    device.Hangup();
    char byte = 0;
    EXPECT_EQ(api.ReadFile(again, &byte, 1, &count, &ov), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(api.ClearCommError(again, nullptr, nullptr), 0);
    EXPECT_EQ(api.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    api.AddDevice("\\\\.\\COM4");
    api.SetOpenError("\\\\.\\COM4", ERROR_ACCESS_DENIED);
    EXPECT_EQ(api.CreateFileA("\\\\.\\COM4", 0, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(SimDeviceTest, CallLogListsEveryCallButTheClockReads)
{
    api.SetLastError(0);
    const HANDLE port = Open();
    api.SetCommMask(port, 0);
    api.SetupComm(port, 4096, 0);
    api.EscapeCommFunction(port, SETRTS);
    api.PurgeComm(port, 0x0F);
    std::int64_t counter = 0;
    api.QueryPerformanceCounter(&counter);
    api.GetTickCount();
    api.WaitForSingleObject(port, 1000);
    api.Sleep(0);
    api.CloseHandle(port);
    const std::vector<std::string> expected = {
        "SetLastError(0)",
        "CreateFileA(\\\\.\\COM3,3221225472,0,3,1073741952)",
        "SetCommMask(0)",
        "SetupComm(4096,0)",
        "EscapeCommFunction(3)",
        "PurgeComm(15)",
        "WaitForSingleObject(port,1000)",
        "Sleep(0)",
        "CloseHandle(port)",
    };
    EXPECT_EQ(api.Calls(), expected);
    EXPECT_EQ(api.CallsOf("S"), (std::vector<std::string>{"SetLastError(0)", "SetCommMask(0)",
                                                          "SetupComm(4096,0)", "Sleep(0)"}));
    EXPECT_TRUE(device.Rts());
}

TEST_F(SimDeviceTest, ClockSourcesFollowTheVirtualClock)
{
    std::int64_t value = 0;
    api.SetPerformanceCounter(true, 10'000'000);
    api.SetNowNs(2'999'900);
    ASSERT_EQ(api.QueryPerformanceFrequency(&value), 1);
    EXPECT_EQ(value, 10'000'000);
    ASSERT_EQ(api.QueryPerformanceCounter(&value), 1);
    EXPECT_EQ(value, 29'999);

    api.SetNowNs((std::uint64_t{1} << 32) * kMs + 5 * kMs);
    EXPECT_EQ(api.GetTickCount(), 5u) << "GetTickCount keeps the low 32 bits";
    api.Sleep(20);
    EXPECT_EQ(api.GetTickCount(), 25u);

    api.SetPerformanceCounter(false);
    EXPECT_EQ(api.QueryPerformanceFrequency(&value), 0);
    api.SetTickCount(0xFFFFFFF0u);
    api.AdvanceMs(32);
    EXPECT_EQ(api.GetTickCount(), 16u);
}

} // namespace
} // namespace tarvik::sim
