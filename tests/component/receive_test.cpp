#include "serial/serial_util.h"
#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

TEST(FindLineEndTest, EarliestWinsAndThePairWinsAtAnEqualStart)
{
    const struct {
        const char* Text;
        const char* Ending;
        std::size_t Offset;
    } cases[] = {
        {"x\r\ny", "\r\n", 1}, {"x\n\ry", "\n\r", 1}, {"x\ry\n", "\r", 1},
        {"x\ny\r\n", "\n", 1}, {"\r\r\n", "\r", 0},   {"ab\r", "\r", 2},
        {"\n", "\n", 0},       {"", "", 0},           {"no line end", "", 0},
    };
    for (const auto& c : cases) {
        const LineEnd end = FindLineEnd(c.Text);
        EXPECT_EQ(end.Ending, c.Ending) << c.Text;
        if (*c.Ending) {
            EXPECT_EQ(end.Offset, c.Offset) << c.Text;
        }
    }
}

// One terminated read per expected line, over chunks that arrive as separate reads.
struct LineCase {
    const char* What;
    bool Convert;
    std::vector<std::string> Chunks;
    std::vector<std::string> Lines;  // what each ReadUntil returns
    std::vector<std::int32_t> Codes; // and what it records
    std::string Left;                // LineBuffer afterwards
    bool PendingCR = false;
    bool PendingLF = false;
};

class TerminatedReadTest : public SerialFixture, public ::testing::WithParamInterface<LineCase> {};

TEST_P(TerminatedReadTest, ReadsTheLines)
{
    const LineCase& c = GetParam();
    OpenPort();
    for (const auto& chunk : c.Chunks)
        device.Send(chunk);
    serial.ConvertLineEnd = c.Convert;
    for (std::size_t i = 0; i < c.Lines.size(); ++i) {
        EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), c.Lines[i]) << "line " << i;
        EXPECT_EQ(serial.LastErrorCode(), c.Codes[i]) << "line " << i;
    }
    EXPECT_EQ(serial.LineBuffer, c.Left);
    EXPECT_EQ(serial.PendingCR(), c.PendingCR);
    EXPECT_EQ(serial.PendingLF(), c.PendingLF);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, TerminatedReadTest,
    ::testing::Values(
        LineCase{"one_read_two_lines", true, {"A\r\nB\r\n"}, {"A", "B"}, {0, 0}, ""},
        LineCase{"split_cr_lf", true, {"A\r", "\nB\r\n"}, {"A", "B"}, {0, 0}, ""},
        LineCase{"split_cr_lf_literal", false, {"A\r", "\nB\r\n"}, {"A"}, {0}, "B\r\n"},
        LineCase{"split_lf_cr", true, {"A\n", "\rB\n\r"}, {"A", "B"}, {0, 0}, ""},
        LineCase{"cr_then_cr_lf", true, {"\r\r\n"}, {"", ""}, {0, 0}, ""},
        LineCase{"lone_lf_first", true, {"A\nB\r\n"}, {"A", "B"}, {0, 0}, ""},
        LineCase{"lone_lf_literal", false, {"A\nB\r\n"}, {"A\nB"}, {0}, ""},
        LineCase{"lone_cr_at_end", true, {"A\r"}, {"A"}, {0}, "", true},
        LineCase{"lone_cr_literal_times_out", false, {"A\r"}, {""}, {seTimeout}, "A\r"},
        LineCase{"lone_lf_at_end", true, {"A\n"}, {"A"}, {0}, "", false, true},
        LineCase{"line_across_three_reads", true, {"O", "K", "\r\n"}, {"OK"}, {0}, ""},
        LineCase{
            "drop_only_the_first_byte", true, {"A\r", "\n\nB\r\n"}, {"A", "", "B"}, {0, 0, 0}, ""},
        LineCase{"silence_keeps_the_partial_line", true, {"AB"}, {""}, {seTimeout}, "AB"}),
    [](const auto& p) { return std::string(p.param.What); });

TEST_F(SerialFixture, TheSecondLineOfOneReadComesFromTheBuffer)
{
    OpenPort();
    serial.ConvertLineEnd = true;
    device.Send("A\r\nB\r\n");
    EXPECT_EQ(serial.ReadLine(1000), "A");
    EXPECT_EQ(serial.LineBuffer, "B\r\n");
    api.ClearCalls();
    EXPECT_EQ(serial.ReadLine(1000), "B");
    EXPECT_TRUE(api.CallsOf("ReadFile").empty());
    EXPECT_TRUE(api.CallsOf("ClearCommError").empty());
}

TEST_F(SerialFixture, OtherTerminatorsAreSearchedLiterallyAndLeaveTheFlagsAlone)
{
    OpenPort();
    serial.ConvertLineEnd = true;
    device.Send("A\r");
    serial.ReadLine(1000);
    ASSERT_TRUE(serial.PendingCR());
    device.Send("\nxx;yy");
    EXPECT_EQ(serial.ReadUntil(1000, ";"), "\nxx");
    EXPECT_TRUE(serial.PendingCR());
    EXPECT_EQ(serial.LineBuffer, "yy");
}

TEST_F(SerialFixture, AnEmptyTerminatorReadsNothing)
{
    OpenPort();
    serial.LineBuffer = "keep";
    api.ClearCalls();
    EXPECT_EQ(serial.ReadUntil(1000, ""), "");
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(serial.LineBuffer, "keep");
    EXPECT_TRUE(api.Calls().empty());
}

TEST_F(SerialFixture, ReadsOnAClosedPortLeaveTheBufferAlone)
{
    serial.LineBuffer = "keep";
    char buffer[2];
    EXPECT_EQ(serial.ReadChunk(10), "");
    EXPECT_EQ(serial.ReadBytesWait(buffer, 2, 10), 0);
    EXPECT_EQ(serial.ReadTextCount(2, 10), "");
    EXPECT_EQ(serial.ReadChar(10), 0);
    EXPECT_EQ(serial.ReadLine(10), "");
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    EXPECT_EQ(serial.LineBuffer, "keep");
}

TEST_F(SerialFixture, LineTooLongStillCutsOutALineFoundInThatPass)
{
    OpenPort();
    serial.MaxLineLength = 4;
    device.Send("OK\r\nABC");
    EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), "OK");
    EXPECT_EQ(serial.LastErrorCode(), seLineTooLong);
    EXPECT_EQ(serial.LineBuffer, "ABC");

    serial.LineBuffer.clear();
    device.Send("OK\r\nABC");
    EXPECT_EQ(serial.ReadLine(1000), "");
    EXPECT_EQ(serial.LastErrorCode(), seLineTooLong);
    EXPECT_EQ(serial.LineBuffer, "ABC");

    serial.LineBuffer.clear();
    serial.RaiseExcept = true;
    device.Send("too long for it");
    EXPECT_THROW(serial.ReadLine(1000), EKorloSerError);
    EXPECT_EQ(serial.LineBuffer, "too long for it");
}

TEST_F(SerialFixture, PerPacketTimeoutLetsASlowTalkerGoOn)
{
    OpenPort();
    for (const char c : std::string("abcdef"))
        device.Send(std::string(1, c), 500);
    const std::uint64_t start = api.NowNs();
    EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(serial.LineBuffer, "abcdef");
    // Six bytes 500 ms apart, then one whole time-out of silence.
    EXPECT_EQ((api.NowNs() - start) / kMs, 6 * 500 + 1000u);
}

TEST_F(SerialFixture, TotalTimeoutEndsAfterTheTimeIsUsedUp)
{
    OpenPort();
    serial.InterPacketTimeout = false;
    for (const char c : std::string("abcdef"))
        device.Send(std::string(1, c), 500);
    EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(serial.LineBuffer, "ab");
    EXPECT_EQ(device.ScriptedChunks(), 4u);
}

TEST_F(SerialFixture, ALineEndInTheLastPassStillSucceeds)
{
    OpenPort();
    serial.InterPacketTimeout = false;
    device.Send("ab", 600);
    device.Send("\r\n", 400);
    EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), "ab");
    EXPECT_EQ(serial.LastErrorCode(), 0);
}

TEST_F(SerialFixture, TotalTimeoutSurvivesTheClockWrap)
{
    OpenPort();
    serial.InterPacketTimeout = false;
    api.SetNowNs((0x100000000ull - 300) * kMs + kClockStartNs);
    device.Send("a", 500);
    device.Send("b", 400);
    device.Send("\r\n", 400);
    EXPECT_EQ(serial.ReadUntil(1000, "\r\n"), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(serial.LineBuffer, "ab");
}

TEST_F(SerialFixture, ReadChunkHandsOutTheBufferFirst)
{
    OpenPort();
    serial.LineBuffer = "buffered";
    device.SendNow("queued");
    EXPECT_EQ(serial.ReadChunk(10), "buffered");
    EXPECT_TRUE(api.Calls().empty());
    EXPECT_EQ(serial.ReadChunk(10), "queued");
    EXPECT_THAT(api.CallsOf("ReadFile"), ElementsAre("ReadFile(6)"));
    EXPECT_EQ(api.Calls().front(), "Sleep(0)");
    EXPECT_EQ(serial.ReadChunk(10), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    serial.RaiseExcept = true;
    EXPECT_THROW(serial.ReadChunk(10), EKorloSerError);
}

TEST_F(SerialFixture, ReadChunkReportsAFailedCountInsteadOfWaiting)
{
    OpenPort();
    api.FailCall("ClearCommError", 1167);
    EXPECT_EQ(serial.ReadChunk(1000), "");
    EXPECT_EQ(serial.LastErrorCode(), 1167);
    EXPECT_TRUE(api.CallsOf("WaitCommEvent").empty());
}

TEST_F(SerialFixture, CountedReadsKeepWhatTheyDoNotUse)
{
    OpenPort();
    device.Send("ABCDE");
    char buffer[3];
    EXPECT_EQ(serial.ReadBytesWait(buffer, 3, 1000), 3);
    EXPECT_EQ(std::string(buffer, 3), "ABC");
    EXPECT_EQ(serial.LineBuffer, "DE");

    device.Send("FG");
    EXPECT_EQ(serial.ReadTextCount(4, 1000), "DEFG");
    EXPECT_EQ(serial.LineBuffer, "");

    api.ClearCalls();
    EXPECT_EQ(serial.ReadTextCount(0, 1000), "");
    EXPECT_EQ(serial.ReadTextCount(-3, 1000), "");
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_TRUE(api.Calls().empty());
}

TEST_F(SerialFixture, CountedReadsThatRunOutOfTime)
{
    OpenPort();
    serial.InterPacketTimeout = false;
    device.Send("ab", 400);
    device.Send("cdef", 400);
    device.Send("gh", 400);
    char buffer[8];
    EXPECT_EQ(serial.ReadBytesWait(buffer, 8, 1000), 6);
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");

    // The text form drops what it had gathered: "gh" is gone, "12" comes next.
    device.Send("12", 400);
    EXPECT_EQ(serial.ReadTextCount(5, 500), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(serial.ReadTextCount(2, 1000), "12");
}

TEST_F(SerialFixture, ReadCharServesLaterCallsFromTheBuffer)
{
    OpenPort();
    serial.LineBuffer = "XY";
    EXPECT_EQ(serial.ReadChar(10), 'X');
    EXPECT_EQ(serial.LineBuffer, "Y");
    EXPECT_TRUE(api.Calls().empty());

    serial.LineBuffer.clear();
    device.Send(std::string("\0Z", 2));
    EXPECT_EQ(serial.ReadChar(10), 0);
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(serial.ReadChar(10), 'Z');
    EXPECT_EQ(serial.ReadChar(10), 0);
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
}

TEST_F(SerialFixture, ALineErrorLosesNoBytes)
{
    OpenPort();
    device.Send("AB\r\n");
    device.SetLineErrorsOnRead(win::CE_FRAME);
    serial.ConvertLineEnd = true;
    EXPECT_EQ(serial.ReadLine(1000), "");
    EXPECT_EQ(serial.LastErrorCode(), seFraming);
    EXPECT_EQ(serial.LineBuffer, "AB\r\n");
    EXPECT_EQ(serial.ReadLine(1000), "AB");

    device.Send("xyz");
    device.SetLineErrorsOnRead(win::CE_RXPARITY);
    char buffer[5] = {};
    EXPECT_EQ(serial.ReadBytesWait(buffer, 5, 100), 3);
    EXPECT_EQ(serial.LastErrorCode(), seParity);
    EXPECT_EQ(std::string(buffer, 3), "xyz");

    device.Send("q");
    device.SetLineErrorsOnRead(win::CE_OVERRUN);
    EXPECT_EQ(serial.ReadChar(100), 0);
    EXPECT_EQ(serial.LineBuffer, "q");
}

TEST_F(SerialFixture, PendingCountAndWaitPendingLookAtTheBufferFirst)
{
    OpenPort();
    serial.LineBuffer = "ab";
    device.SendNow("0123456789");
    EXPECT_EQ(serial.PendingCount(), 2);
    EXPECT_TRUE(serial.WaitPending(100000));
    EXPECT_TRUE(api.Calls().empty());
    serial.LineBuffer.clear();
    EXPECT_EQ(serial.PendingCount(), 10);
}

} // namespace
} // namespace tarvik::testing
