#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

const std::string CR = "\r";
const std::string LF = "\n";
const std::string CRLF = "\r\n";

struct ExchangeCase {
    const char* What;
    bool Dial;
    std::string Command;
    std::vector<std::string> Reads; // separate arrivals
    std::string Answer;
    bool CommandOk;
    std::int32_t Code;
    std::string Left = "";
    bool PendingCR = false;
};

class ExchangeTest : public SerialFixture, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(ExchangeTest, CollectsTheAnswer)
{
    const ExchangeCase& c = GetParam();
    OpenPort();
    for (const auto& read : c.Reads)
        device.Send(read);
    const std::string answer =
        c.Dial ? serial.ModemConnect(c.Command) : serial.ModemCommand(c.Command);
    EXPECT_EQ(answer, c.Answer);
    EXPECT_EQ(serial.CommandOk(), c.CommandOk);
    EXPECT_EQ(serial.LastErrorCode(), c.Code);
    EXPECT_EQ(serial.LineBuffer, c.Left);
    EXPECT_EQ(serial.PendingCR(), c.PendingCR);
    EXPECT_FALSE(serial.PendingLF());
    EXPECT_FALSE(serial.ConvertLineEnd);
    EXPECT_EQ(device.Written(), c.Command + CR);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, ExchangeTest,
    ::testing::Values(
        ExchangeCase{
            "echo_in_one_read", false, "AT", {"AT\r\r\nOK\r\n"}, CRLF + "OK" + CRLF, true, 0},
        ExchangeCase{
            "echo_then_answer", false, "AT", {"AT\r", "\r\nOK\r\n"}, CRLF + "OK" + CRLF, true, 0},
        ExchangeCase{"split_after_the_empty_line_cr",
                     false,
                     "AT",
                     {"AT\r\r", "\nOK\r\n"},
                     CRLF + "OK" + CRLF,
                     true,
                     0},
        ExchangeCase{"no_echo", false, "AT", {"\r\nOK\r\n"}, CRLF + "OK" + CRLF, true, 0},
        ExchangeCase{"information_line",
                     false,
                     "X",
                     {"X\r\r\nABC\r\n\r\nOK\r\n"},
                     CRLF + "ABC" + CRLF + CRLF + "OK" + CRLF,
                     true,
                     0},
        ExchangeCase{
            "error_answer", false, "X", {"X\r\r\nERROR\r\n"}, CRLF + "ERROR" + CRLF, false, 0},
        ExchangeCase{"silence", false, "AT", {}, CRLF, false, seTimeout},
        ExchangeCase{"echo_then_silence", false, "AT", {"AT\r"}, CRLF, false, seTimeout, "", true},
        ExchangeCase{"lines_over_several_reads",
                     false,
                     "AT",
                     {"AT\r", "\r\nO", "K\r", "\n"},
                     CRLF + "OK" + CRLF,
                     true,
                     0,
                     "",
                     true},
        ExchangeCase{"partial_answer_then_silence",
                     false,
                     "AT",
                     {"AT\r\r\nOK"},
                     CRLF + CRLF,
                     false,
                     seTimeout,
                     "OK"},
        ExchangeCase{"empty_command", false, "", {}, "", false, seTimeout},
        ExchangeCase{"the_command_ok_itself",
                     false,
                     "OK",
                     {"OK\r\r\nOK\r\n"},
                     "",
                     true,
                     0,
                     "\r\nOK\r\n",
                     true},
        ExchangeCase{"dial_connect",
                     true,
                     "D",
                     {"D\r", "\r\nCONNECT 9600\r\n"},
                     CRLF + "CONNECT 9600" + CRLF,
                     true,
                     0},
        ExchangeCase{
            "dial_busy", true, "D", {"D\r", "\r\nBUSY\r\n"}, CRLF + "BUSY" + CRLF, false, 0},
        ExchangeCase{"dial_ok_is_no_end",
                     true,
                     "D",
                     {"D\r", "\r\nOK\r\n"},
                     CRLF + "OK" + CRLF + CRLF,
                     false,
                     seTimeout},
        ExchangeCase{"dial_no_dialtone",
                     true,
                     "ATD5",
                     {"\r\nNO DIALTONE\r\n"},
                     CRLF + "NO DIALTONE" + CRLF,
                     false,
                     0},
        ExchangeCase{"words_are_whole_lines",
                     false,
                     "AT",
                     {"AT\r\r\n OK\r\nOK \r\nok\r\nOK\r\n"},
                     CRLF + " OK" + CRLF + "OK " + CRLF + "ok" + CRLF + "OK" + CRLF,
                     true,
                     0}),
    [](const auto& p) { return std::string(p.param.What); });

TEST_F(SerialFixture, ALoneCrLeftByOneExchangeDropsTheLfThatStartsTheNext)
{
    OpenPort();
    device.Send("AT\r");
    device.Send("\r\nO");
    device.Send("K\r");
    device.Send("\nAT\r\r\nOK\r\n");
    EXPECT_EQ(serial.ModemCommand("AT"), CRLF + "OK" + CRLF);
    EXPECT_TRUE(serial.PendingCR());
    EXPECT_EQ(serial.ModemCommand("AT"), CRLF + "OK" + CRLF);
    EXPECT_TRUE(serial.CommandOk());
}

TEST_F(SerialFixture, SilenceEndsTheExchangeAfterTheLineTimeout)
{
    OpenPort();
    const std::uint64_t start = api.NowNs();
    serial.ModemCommand("AT");
    EXPECT_EQ((api.NowNs() - start) / kMs, 1000u);

    serial.AtTimeout = 20;
    const std::uint64_t dialStart = api.NowNs();
    serial.ModemConnect("ATD1");
    EXPECT_EQ((api.NowNs() - dialStart) / kMs, 20u * 90);
}

TEST_F(SerialFixture, ARaisedTimeoutLeavesConvertLineEndAsItWas)
{
    OpenPort();
    serial.RaiseExcept = true;
    device.Send("AT\r\r\nPARTIAL");
    try {
        serial.ModemCommand("AT");
        FAIL() << "ModemCommand did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seTimeout);
        EXPECT_EQ(error.Description, "Timeout during operation");
    }
    EXPECT_FALSE(serial.ConvertLineEnd);
    EXPECT_FALSE(serial.CommandOk());

    serial.ConvertLineEnd = true;
    EXPECT_THROW(serial.ModemCommand("AT"), EKorloSerError);
    EXPECT_TRUE(serial.ConvertLineEnd);
}

TEST_F(SerialFixture, CommandsGoOutUnchanged)
{
    OpenPort();
    for (const std::string& command :
         std::vector<std::string>{"at", "  ATI  ", "AT+CSQ", std::string("A\0B", 3)}) {
        device.ClearWritten();
        device.Send(CRLF + "OK" + CRLF);
        serial.ModemCommand(command);
        EXPECT_EQ(device.Written(), command + CR);
        EXPECT_TRUE(serial.CommandOk());
    }
}

TEST_F(SerialFixture, AnExchangeOnAClosedPortAnswersOneEmptyLine)
{
    EXPECT_EQ(serial.ModemCommand("AT"), CRLF);
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    EXPECT_FALSE(serial.CommandOk());
}

} // namespace
} // namespace tarvik::testing
