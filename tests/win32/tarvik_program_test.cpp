// tarvik.exe driven through its standard input, its output read from pipes.
// Standard output is a pipe here, not a console, so the console's own calls
// (screen height, cursor position) fail as they do for any redirected run:
// what a console window shows is not covered.
#include "win32/wine_host.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarvik::wintest {
namespace {

const std::string kBanner = "\r\nTarvik\r\nAT-command terminal for serial modems\r\n\r\n\r\n\r\n"
                            "Please enter COM-port number (Digits ONLY):\r\n";
const std::string kExitQuestion = "Do you really want to exit? [Y/N]\r\n";
constexpr std::uint32_t kRunTimeoutMs = 20000;

class TarvikProgramTest : public testing::Test {
protected:
    void SetUp() override
    {
        program = BuiltProgram("console/tarvik.exe");
        ASSERT_FALSE(program.empty()) << "TARVIK_BIN_DIR is not set";
    }

    ProcessResult Run(const std::string& input)
    {
        ProcessResult result = RunProgram(program, input, kRunTimeoutMs);
        EXPECT_TRUE(result.Started) << "cannot start " << program;
        EXPECT_TRUE(result.Finished || !result.Started)
            << "tarvik.exe still ran after " << kRunTimeoutMs << " ms";
        return result;
    }

    // A device on a port that the program's probe can name: "COM<n>:" is a
    // device name only for n from 1 to 9.
    std::optional<PtyPeer> StartPeer(PtyPeer::Mode mode)
    {
        auto peer = PtyPeer::Start(mode);
        if (!peer)
            ADD_FAILURE() << PtyPeer::Error();
        else if (peer->PortNumber() > 9)
            ADD_FAILURE() << peer->PortName() << " is past COM9, which the probe cannot open";
        else
            return peer;
        return std::nullopt;
    }

    std::string program;
};

struct DialogueCase {
    const char* Name;
    const char* Input;
    std::string Output;
};

class DialogueWithoutPortTest : public TarvikProgramTest,
                                public testing::WithParamInterface<DialogueCase> {};

// The whole output, byte for byte: line ends pass unchanged both ways.
TEST_P(DialogueWithoutPortTest, WritesExactlyTheDialogue)
{
    const DialogueCase& c = GetParam();
    const ProcessResult result = Run(c.Input);
    EXPECT_EQ(result.ExitCode, 0u);
    EXPECT_EQ(result.Output, c.Output);
    EXPECT_EQ(result.ErrorOutput, "");
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, DialogueWithoutPortTest,
    testing::Values(DialogueCase{"quit_confirmed", "quit\r\ny\r\n", kBanner + kExitQuestion},
                    // Without a console there is no screen height: no blank lines.
                    DialogueCase{"clear_without_console", "CLEAR\r\nExit\r\nY\r\n",
                                 kBanner + kBanner + kExitQuestion},
                    DialogueCase{"absent_port", "250\nclose\nY\n",
                                 kBanner + "Connecting to COM250: ERROR!\r\n" + kBanner +
                                     kExitQuestion},
                    DialogueCase{"end_of_input", "", kBanner}),
    [](const testing::TestParamInfo<DialogueCase>& row) { return row.param.Name; });

TEST_F(TarvikProgramTest, TalksToAModemOnAComPort)
{
    if (!UnderWine())
        GTEST_SKIP() << "the device end is a Linux pseudo-terminal, reached only under Wine";
    const auto peer = StartPeer(PtyPeer::Mode::Modem);
    ASSERT_TRUE(peer);
    const std::string number = std::to_string(peer->PortNumber());
    const ProcessResult result = Run(number + "\r\n9\r\n8\r\nATI\r\nat\r\nquit\r\ny\r\n");
    const std::string& out = result.Output;
    EXPECT_NE(out.find("Connecting to COM" + number + ": OK!\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("COM-port speed: OK!\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("COM-port Data-bits: OK!\r\n"), std::string::npos) << out;
    // The component waits for an answer with a comm-event wait, which Wine
    // ends at once on a pseudo-terminal; an answer not yet queued when the
    // component first looks then counts as a time-out. Windows waits.
    if (result.ExitCode == 1 && result.ErrorOutput.find(" #9997: ") != std::string::npos)
        GTEST_SKIP() << "Wine ended the answer's wait before the peer's reply was queued";
    EXPECT_EQ(result.ExitCode, 0u) << result.ErrorOutput;
    // From the command stage on, every byte: the echo of each command is left
    // out, the empty line the peer sends before its answer is kept, and a
    // blank line follows each answer.
    const std::string commandStage = "COM-port Data-bits: OK!\r\n\r\n"
                                     "Please enter AT commnad:\r\n"
                                     "\r\nTarvik test peer\r\nOK\r\n\r\n"
                                     "Please enter AT commnad:\r\n"
                                     "\r\nOK\r\n\r\n"
                                     "Please enter AT commnad:\r\n" +
                                     kExitQuestion;
    EXPECT_TRUE(out.ends_with(commandStage)) << out;
    EXPECT_EQ(result.ErrorOutput, "");
}

TEST_F(TarvikProgramTest, ASilentDeviceEndsTheRunWithTheReport)
{
    if (!UnderWine())
        GTEST_SKIP() << "the device end is a Linux pseudo-terminal, reached only under Wine";
    const auto peer = StartPeer(PtyPeer::Mode::Silent);
    ASSERT_TRUE(peer);
    const ProcessResult result =
        Run(std::to_string(peer->PortNumber()) + "\r\n5\r\n8\r\nATZ\r\nquit\r\ny\r\n");
    EXPECT_EQ(result.ExitCode, 1u);
    EXPECT_TRUE(result.Output.ends_with("Please enter AT commnad:\r\n")) << result.Output;
    // The message is Windows-1251 text; the report shows it in the OEM code page.
    const std::string head = "Exception EKorloSerError in module tarvik.exe at ";
    const std::string tail = ".\r\n" + ToOemCodePage("\xCE\xF8\xE8\xE1\xEA\xE0") +
                             " #9997: Timeout during operation.\r\n\r\n";
    const std::string& report = result.ErrorOutput;
    ASSERT_EQ(report.size(), head.size() + 8 + tail.size()) << report;
    EXPECT_TRUE(report.starts_with(head)) << report;
    EXPECT_TRUE(report.ends_with(tail)) << report;
    const std::string address = report.substr(head.size(), 8);
    ASSERT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos) << address;
    // Relative to the program's load address, so well inside its image.
    EXPECT_LT(std::stoul(address, nullptr, 16), 0x1000000ul);
}

} // namespace
} // namespace tarvik::wintest
