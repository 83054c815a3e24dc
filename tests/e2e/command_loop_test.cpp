// The command loop against the virtual modem: answers as printed, odd line
// ends and split answers from scripts, and the runs that end with a report.
#include "e2e/screens.h"
#include "e2e/tarvik_harness.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarvik::e2e {
namespace {

using namespace screen;

// The whole session through a pipe, as `printf ... | tarvik` would run it.
TEST_F(PlainModemTest, SessionPrintsEachAnswerWithAnEmptyLineAfterIt)
{
    const RunResult run = RunTarvik(kSetUpInput + "AT\nATI\nATI3\nAT+FOO\nat\nquit\ny\n");
    EXPECT_EQ(run.out, kSetUp + Answered("\r\nOK\r\n") +
                           Answered("\r\nTarvik virtual modem\r\n\r\nOK\r\n") +
                           Answered("\r\nTarvik virtual modem on a Linux pseudo-terminal\r\n"
                                    "\r\nOK\r\n") +
                           Answered("\r\nERROR\r\n") + Answered("\r\nOK\r\n") + kExitQuestion);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

struct ScriptedCase {
    const char* name;
    std::string script;
    std::vector<std::string> commands;
    std::string answer; // what each of the commands gets printed

    friend void PrintTo(const ScriptedCase& c, std::ostream* os) { *os << c.name; }
};

class ScriptedAnswerTest : public TarvikTest, public ::testing::WithParamInterface<ScriptedCase> {};

TEST_P(ScriptedAnswerTest, IsPrintedLineByLine)
{
    StartModem(GetParam().script);
    std::string input = kSetUpInput;
    std::string expected = kSetUp;
    for (const std::string& command : GetParam().commands) {
        input += command + "\n";
        expected += Answered(GetParam().answer);
    }
    const RunResult run = RunTarvik(input + "quit\ny\n");
    EXPECT_EQ(run.out, expected + kExitQuestion);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

// Each line-end case sends its command twice: what the first answer leaves
// behind (a CR after an LF, an LF after a CR) must not show in the second.
INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptedAnswerTest,
    ::testing::Values(
        // The rule matches only if the line reaches the modem untrimmed and
        // in lower case; its echo is left out like any other.
        ScriptedCase{"LowerCaseWithBlanksUnchanged",
                     "on \"  at  \"\necho\nsend \"\\r\\nMARKER\\r\\nOK\\r\\n\"\n",
                     {"  at  "},
                     "\r\nMARKER\r\nOK\r\n"},
        ScriptedCase{"ErrorAnswerAndTheLoopGoesOn",
                     "on AT+X\necho\nsend \"\\r\\nNOT SUPPORTED\\r\\nERROR\\r\\n\"\n",
                     {"AT+X", "AT+X"},
                     "\r\nNOT SUPPORTED\r\nERROR\r\n"},
        ScriptedCase{"SplitAcrossReads",
                     "on ATI\nsend \"ATI\\r\"\npause 60\nsend \"\\r\\nTarvik\"\npause 60\n"
                     "send \" modem\\r\"\npause 60\nsend \"\\n\\r\\nO\"\npause 60\n"
                     "send \"K\\r\"\npause 60\nsend \"\\n\"\n",
                     {"ATI", "ATI"},
                     "\r\nTarvik modem\r\n\r\nOK\r\n"},
        ScriptedCase{"LoneCarriageReturns",
                     "on AT\nsend \"AT\\r\\rINFO\\rOK\\r\"\n",
                     {"AT", "AT"},
                     "\r\nINFO\r\nOK\r\n"},
        ScriptedCase{"LoneLineFeeds",
                     "on AT\nsend \"AT\\n\\nINFO\\nOK\\n\"\n",
                     {"AT", "AT"},
                     "\r\nINFO\r\nOK\r\n"},
        ScriptedCase{"LineFeedCarriageReturn",
                     "on AT\nsend \"AT\\n\\r\\n\\rINFO\\n\\rOK\\n\\r\"\n",
                     {"AT", "AT"},
                     "\r\nINFO\r\nOK\r\n"},
        // Only a whole line reading OK ends the answer; empty lines stay.
        ScriptedCase{"OkOnlyAsAWholeLine",
                     "on AT\nsend \"\\r\\n\\r\\nOK then\\r\\nOKAY\\r\\n ok\\r\\n\\r\\nOK\\r\\n\"\n",
                     {"AT"},
                     "\r\n\r\nOK then\r\nOKAY\r\n ok\r\n\r\nOK\r\n"}),
    NamedCase{});

// Any line that reached the modem would bring LEAKED into some answer.
TEST_F(TarvikTest, ControlWordsNeverReachTheDevice)
{
    StartModem("on AT\nsend \"\\r\\nOK\\r\\n\"\non *\nsend \"\\r\\nLEAKED\\r\\nOK\\r\\n\"\n");
    const RunResult run =
        RunTarvik(kSetUpInput + "clear\nQuit\nn\nEXIT\nyes\nN\nCLOSE\nno\nn\nAT\nquit\ny\n");
    EXPECT_EQ(run.out, kSetUp + kPrompt + kExitQuestion + kPrompt + kExitQuestion + kExitQuestion +
                           kPrompt + kExitQuestion + kExitQuestion + kPrompt +
                           Answered("\r\nOK\r\n") + kExitQuestion);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

struct FailingCase {
    const char* name;
    std::optional<std::string> script; // none: a plain modem
    std::string command;

    friend void PrintTo(const FailingCase& c, std::ostream* os) { *os << c.name; }
};

// Runs the set-up, then times one command until the run ends.
class FailingExchangeTest : public TarvikTest, public ::testing::WithParamInterface<FailingCase> {
protected:
    RunResult RunFailingCommand(Millis& elapsed)
    {
        StartModem(GetParam().script);
        const auto tarvik = StartTarvik();
        EXPECT_TRUE(tarvik->Send(kSetUpInput));
        EXPECT_TRUE(tarvik->WaitForOutput(kSetUp, Millis(5000))) << tarvik->Output();
        const auto start = Clock::now();
        EXPECT_TRUE(tarvik->Send(GetParam().command + "\n"));
        RunResult run = tarvik->Finish(kRunLimit);
        elapsed = std::chrono::duration_cast<Millis>(Clock::now() - start);
        return run;
    }
};

class SilentDeviceTest : public FailingExchangeTest {};

// AtTimeout stays at its 1000 ms; the bounds are loose for a busy machine.
TEST_P(SilentDeviceTest, EndsTheRunWithTheTimeoutReport)
{
    Millis elapsed{};
    const RunResult run = RunFailingCommand(elapsed);
    // Nothing of a partly gathered answer is printed.
    EXPECT_EQ(run.out, kSetUp);
    EXPECT_TRUE(IsErrorReport(run.err, "Ошибка #9997: Timeout during operation."));
    EXPECT_TRUE(ExitedWith(run, 1));
    EXPECT_GE(elapsed.count(), 800);
    EXPECT_LE(elapsed.count(), 5000);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SilentDeviceTest,
    ::testing::Values(FailingCase{"NoAnswerAtAll", "on *\nsilent\n", "AT"},
                      FailingCase{"EchoOnly", "on *\necho\nsilent\n", "AT"},
                      FailingCase{"AnswerWithoutLineEnd", "on *\necho\nsend \"\\r\\nOK\"\n", "AT"},
                      // The empty line is sent as a lone CR, which a modem
                      // echoes and leaves unanswered.
                      FailingCase{"EmptyCommandToPlainModem", std::nullopt, ""}),
    NamedCase{});

class HangupTest : public FailingExchangeTest {};

// A hang-up must be noticed as such, not waited out as silence.
TEST_P(HangupTest, EndsTheRunPromptlyWithTheDeviceGoneReport)
{
    Millis elapsed{};
    const RunResult run = RunFailingCommand(elapsed);
    EXPECT_EQ(run.out, kSetUp);
    EXPECT_TRUE(IsErrorReport(run.err, "Ошибка #1167: The device is not connected."));
    EXPECT_TRUE(ExitedWith(run, 1));
    EXPECT_LT(elapsed.count(), 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HangupTest,
    ::testing::Values(FailingCase{"InTheMiddleOfAnAnswer",
                                  "on AT\necho\nsend \"\\r\\nPARTIAL LINE\\r\\nPART\"\nhangup\n",
                                  "AT"},
                      FailingCase{"BeforeAnyAnswer", "on AT\nhangup\n", "AT"}),
    NamedCase{});

} // namespace
} // namespace tarvik::e2e
