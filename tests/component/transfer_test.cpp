#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;
using HR = THookSerialReason;

TEST_F(SerialFixture, TransfersOnAClosedPortDoNothing)
{
    char buffer[4];
    EXPECT_EQ(serial.SendBytes("AT", 2), 0);
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    EXPECT_EQ(serial.ReadBytes(buffer, 4), 0);
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    EXPECT_TRUE(notes.empty());
    EXPECT_TRUE(api.Calls().empty());

    serial.RaiseExcept = true;
    try {
        serial.SendText("AT");
        FAIL() << "SendText did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seNotOpen);
    }
    EXPECT_TRUE(notes.empty());
}

TEST_F(SerialFixture, SendWritesTheWholeBufferInOneCall)
{
    OpenPort();
    EXPECT_EQ(serial.SendBytes("ATZ\r", 4), 4);
    serial.SendChar(0);
    serial.SendText("");
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_THAT(device.Writes(), ElementsAre("ATZ\r", std::string(1, '\0'), ""));
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_WriteCount, "4"},
                                   Notification{HR::HR_WriteCount, "1"},
                                   Notification{HR::HR_WriteCount, "0"}));
}

TEST_F(SerialFixture, ReadTakesWhatIsQueued)
{
    OpenPort();
    device.SendNow("OK\r\n");
    char buffer[4] = {};
    EXPECT_EQ(serial.ReadBytes(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "OK\r\n");
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_ReadCount, "4"}));
}

TEST_F(SerialFixture, AWriteThatCannotDrainIsAbortedAfterTheDeadlockTimeout)
{
    OpenPort();
    device.StallTransmitter(true, 2);
    const std::uint64_t start = api.NowNs();
    serial.SendText("hello");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(api.NowNs() - start, 30000 * kMs);
    EXPECT_THAT(api.Calls(),
                ElementsAre("WriteFile(5)", "GetLastError", "WaitForSingleObject(port,30000)",
                            "PurgeComm(1)", "GetOverlappedResult(0)", "ClearCommError"));
    EXPECT_FALSE(device.WritePending());
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_WriteCount, "2"}));

    notes.clear();
    serial.RaiseExcept = true;
    serial.DeadlockTimeout = 50;
    try {
        serial.SendBytes("hello", 5);
        FAIL() << "SendBytes did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seTimeout);
    }
    EXPECT_TRUE(notes.empty());
}

TEST_F(SerialFixture, AnIncompleteReadTimesOutUnlessALineErrorReplacesIt)
{
    OpenPort();
    serial.DeadlockTimeout = 100;
    char buffer[5] = {};
    device.SendNow("ab");
    EXPECT_EQ(serial.ReadBytes(buffer, 5), 2);
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(api.CallsOf("PurgeComm"), std::vector<std::string>{"PurgeComm(2)"});

    device.SendNow("cd");
    device.SetLineErrors(win::CE_FRAME);
    EXPECT_EQ(serial.ReadBytes(buffer, 5), 2);
    EXPECT_EQ(serial.LastErrorCode(), seFraming);
    EXPECT_EQ(serial.LastErrorText(), "Timeout during operation");
}

TEST_F(SerialFixture, AWriteRefusedAtOnceRecordsTheSystemCode)
{
    OpenPort();
    api.FailCall("WriteFile", 1167);
    EXPECT_EQ(serial.SendBytes("AT", 2), 0);
    EXPECT_EQ(serial.LastErrorCode(), 1167);
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_WriteCount, "0"}));
}

TEST_F(SerialFixture, LineErrorsDecodeByTheirOrder)
{
    const std::pair<win::DWORD, std::int32_t> cases[] = {
        {win::CE_FRAME, seFraming},
        {win::CE_OVERRUN, seOverrun},
        {win::CE_RXOVER, seRxOverflow},
        {win::CE_RXPARITY, seParity},
        {win::CE_TXFULL, seTxFull},
        {win::CE_FRAME | win::CE_RXPARITY, seParity},
        {win::CE_OVERRUN | win::CE_RXOVER, seRxOverflow},
        {win::CE_TXFULL | win::CE_FRAME | win::CE_OVERRUN | win::CE_RXPARITY, seTxFull},
        {win::CE_BREAK, seTimeout},
        {0x8000, seTimeout},
    };
    for (const auto& [bits, code] : cases) {
        serial.SetError(seTimeout);
        serial.DecodeLineErrors(bits);
        EXPECT_EQ(serial.LastErrorCode(), code) << bits;
        EXPECT_EQ(serial.LastErrorText(), "Timeout during operation") << bits;
    }
}

TEST_F(SerialFixture, ALineErrorIsRaisedWithItsOwnText)
{
    OpenPort();
    serial.RaiseExcept = true;
    device.SendNow("x");
    device.SetLineErrors(win::CE_OVERRUN);
    char byte = 0;
    try {
        serial.ReadBytes(&byte, 1);
        FAIL() << "ReadBytes did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seOverrun);
        EXPECT_EQ(error.Description, "Receive Overrun Error");
    }
    EXPECT_EQ(serial.LastErrorText(), "OK");
    EXPECT_EQ(byte, 'x');
}

TEST_F(SerialFixture, PacingWaitsForThePreviousTransferOfItsDirection)
{
    OpenPort();
    serial.SetRateLimit(1000);
    std::string block(500, 'x');
    serial.SendText(block); // the first never waits
    EXPECT_TRUE(NotesOf(HR::HR_Wait).empty());
    api.AdvanceMs(200);
    serial.SendText(block);
    EXPECT_THAT(NotesOf(HR::HR_Wait), ElementsAre(Notification{HR::HR_Wait, "300"}));
    EXPECT_EQ(api.CallsOf("Sleep(300)").size(), 1u);

    // Reads keep their own tick: the first read does not wait for the sends.
    notes.clear();
    device.SendNow("abc");
    char buffer[3];
    serial.ReadBytes(buffer, 3);
    EXPECT_TRUE(NotesOf(HR::HR_Wait).empty());

    // 10 bytes at 3 bytes per second hold the next send back 3333 ms.
    serial.SetRateLimit(3);
    api.AdvanceMs(1000);
    serial.SendText("0123456789");
    notes.clear();
    serial.SendText("");
    EXPECT_THAT(NotesOf(HR::HR_Wait), ElementsAre(Notification{HR::HR_Wait, "3333"}));
}

TEST_F(SerialFixture, NoPacingWithoutALimit)
{
    OpenPort();
    for (const std::int32_t limit : {0, -5}) {
        serial.SetRateLimit(limit);
        serial.SendText(std::string(100, 'x'));
        serial.SendText(std::string(100, 'x'));
        EXPECT_EQ(serial.NextSendTick(), 0u);
    }
    EXPECT_TRUE(NotesOf(HR::HR_Wait).empty());
    EXPECT_TRUE(api.CallsOf("Sleep(").empty());
}

TEST_F(SerialFixture, PacingSurvivesTheClockWrap)
{
    OpenPort();
    // The first paced transfer never waits, wherever the clock stands.
    serial.SetRateLimit(10);
    api.SetNowNs((0x100000000ull - 100) * kMs + kClockStartNs);
    serial.SendText("x");
    EXPECT_TRUE(NotesOf(HR::HR_Wait).empty());
    // Its next tick, 0xFFFFFF9C + 100, is past once the clock has wrapped:
    // no wait of nearly 2^32 ms.
    EXPECT_EQ(serial.NextSendTick(), 0u);
    serial.SetRateLimit(1000);
    api.SetNowNs(0x100000000ull * kMs + 5000 * kMs + kClockStartNs);
    serial.SendText(std::string(100, 'x'));
    serial.SendText(std::string(100, 'x'));
    EXPECT_THAT(NotesOf(HR::HR_Wait), ElementsAre(Notification{HR::HR_Wait, "100"}));

    notes.clear();
    serial.SetRateLimit(1);
    api.SetNowNs((0x100000000ull - 10) * kMs + kClockStartNs);
    serial.SendText("x"); // next tick 0xFFFFFFF6 + 1000: wraps to 990
    api.SetNowNs((0x100000000ull + 5) * kMs + kClockStartNs);
    serial.SendText("");
    EXPECT_THAT(NotesOf(HR::HR_Wait), ElementsAre(Notification{HR::HR_Wait, "985"}));
}

TEST_F(SerialFixture, AStaleTickFromBeforeTheWrapAsksNoWait)
{
    OpenPort();
    serial.SetRateLimit(1000);
    api.SetNowNs((0x100000000ull - 1000) * kMs + kClockStartNs);
    serial.SendText(std::string(500, 'x')); // next tick: 500 ms before the wrap
    api.SetNowNs((0x100000000ull + 20) * kMs + kClockStartNs);
    serial.SendText("");
    EXPECT_TRUE(NotesOf(HR::HR_Wait).empty());
    EXPECT_TRUE(api.CallsOf("Sleep(4").empty());
}

TEST_F(SerialFixture, WaitReadableAnswersFromTheQueueFirst)
{
    OpenPort();
    device.SendNow("x");
    EXPECT_TRUE(serial.WaitReadable(1000));
    EXPECT_TRUE(api.CallsOf("SetCommMask").empty());
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_CanRead, ""}));
}

TEST_F(SerialFixture, WaitReadableWaitsForAnArrivalAndRestoresTheMask)
{
    OpenPort();
    const std::uint64_t sent = api.NowNs();
    device.Send("late", 300);
    EXPECT_TRUE(serial.WaitReadable(1000));
    EXPECT_EQ(api.NowNs() - sent, 300 * kMs);
    EXPECT_EQ(device.CommMask(), 0u);

    notes.clear();
    api.ClearCalls();
    char buffer[4];
    serial.ReadBytes(buffer, 4);
    const std::uint64_t start = api.NowNs();
    EXPECT_FALSE(serial.WaitReadable(250));
    EXPECT_EQ(api.NowNs() - start, 250 * kMs);
    EXPECT_EQ(device.CommMask(), 0u);
    EXPECT_FALSE(device.EventWaitPending());
    EXPECT_EQ(api.CallsOf("CreateEventA").size(), 1u);
    EXPECT_EQ(api.CallsOf("CloseHandle(event)").size(), 1u);
    EXPECT_EQ(api.CallsOf("WaitForSingleObject(event,250)").size(), 1u);
    EXPECT_TRUE(NotesOf(HR::HR_CanRead).empty());
}

TEST_F(SerialFixture, WaitForEventEndsInCleanupEvenWhenTheCountRaises)
{
    OpenPort();
    serial.RaiseExcept = true;
    api.FailCall("ClearCommError", 1167);
    EXPECT_THROW(serial.WaitForEvent(win::EV_RXCHAR, 100), EKorloSerError);
    EXPECT_EQ(device.CommMask(), 0u);
    EXPECT_EQ(api.CallsOf("CloseHandle(event)").size(), 1u);
}

TEST_F(SerialFixture, WaitWritableOnTheNtFamilyNeverPollsTheUart)
{
    OpenPort();
    EXPECT_TRUE(serial.WaitWritable(100));
    EXPECT_TRUE(api.CallsOf("SetCommMask").empty());
    EXPECT_TRUE(api.CallsOf("ReadPortByte").empty());
    EXPECT_THAT(notes, ElementsAre(Notification{HR::HR_CanWrite, ""}));

    notes.clear();
    device.SetOutQueue(10);
    EXPECT_FALSE(serial.WaitWritable(100));
    EXPECT_TRUE(notes.empty());
}

TEST_F(SerialFixture, WaitWritableOutsideTheNtFamilyPollsTheUartForABoundedTime)
{
    api.SetPlatformId(win::VER_PLATFORM_WIN32_WINDOWS);
    api.SetUartBase(0x2F8);
    OpenPort();
    api.SetPortBytes(0x2F8 + 5, {0x00, 0x20, 0x60});
    EXPECT_TRUE(serial.WaitWritable(100));
    EXPECT_EQ(api.CallsOf("ReadPortByte").size(), 3u);

    // A UART that never reports empty is given up after a little more than 255 ms.
    api.ClearCalls();
    api.SetPortBytes(0x2F8 + 5, {0x00});
    const std::uint64_t start = api.NowNs();
    EXPECT_TRUE(serial.WaitWritable(100));
    const std::uint64_t waitedMs = (api.NowNs() - start) / kMs;
    EXPECT_GT(waitedMs, 255u);
    EXPECT_LT(waitedMs, 270u);
}

TEST_F(SerialFixture, QueueCountsAndFlushOnAClosedPortRecordTheInvalidHandle)
{
    EXPECT_EQ(serial.InQueueCount(), 0);
    EXPECT_EQ(serial.LastErrorCode(), 6);
    EXPECT_EQ(serial.OutQueueCount(), 0);
    EXPECT_EQ(serial.LastErrorCode(), 6);
    serial.FlushOutput();
    EXPECT_EQ(serial.LastErrorCode(), 6);
    serial.RaiseExcept = true;
    EXPECT_THROW(serial.InQueueCount(), EKorloSerError);
    EXPECT_THROW(serial.OutQueueCount(), EKorloSerError);
}

TEST_F(SerialFixture, QueueCounts)
{
    OpenPort();
    device.SendNow("12345");
    device.SetOutQueue(7);
    EXPECT_EQ(serial.InQueueCount(), 5);
    EXPECT_EQ(serial.OutQueueCount(), 7);
    EXPECT_EQ(serial.LastErrorCode(), 0);
}

TEST_F(SerialFixture, RtsTogglingFramesEachSendAndKeepsTheWritesOwnOutcome)
{
    api.SetPlatformId(win::VER_PLATFORM_WIN32_WINDOWS);
    OpenPort();
    api.SetPortByte(5, 0x40);
    serial.SetRtsToggle(true);
    EXPECT_TRUE(serial.RtsToggle());
    EXPECT_FALSE(device.Rts());
    api.ClearCalls();
    serial.SendText("AT");
    EXPECT_THAT(api.CallsOf("FlushFileBuffers"),
                ElementsAre("FlushFileBuffers", "FlushFileBuffers"));
    const auto escapes = api.CallsOf("EscapeCommFunction");
    EXPECT_THAT(escapes, ElementsAre("EscapeCommFunction(3)", "EscapeCommFunction(4)"));
    EXPECT_FALSE(device.Rts());

    device.StallTransmitter(true);
    serial.DeadlockTimeout = 10;
    serial.SendText("AT");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_FALSE(device.Rts());

    serial.SetRtsToggle(false);
    EXPECT_FALSE(serial.RtsToggle());
}

} // namespace
} // namespace tarvik::testing
