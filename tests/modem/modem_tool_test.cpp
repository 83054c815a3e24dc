// The real tool through a real pseudo-terminal: the port map link, raw mode,
// the answers as bytes on the line, scripts, hang-ups and the ends of the process.
#include "modem/tool_harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

namespace tarvik::modem::testing {
namespace {

namespace fs = std::filesystem;

// The slave path from "ready COM<n> /dev/pts/N", checked against the link.
std::string CheckReady(ModemProcess& modem, const fs::path& link, const std::string& name)
{
    const auto ready = modem.ReadyLine();
    EXPECT_TRUE(ready.has_value()) << modem.Stderr();
    if (!ready) {
        return {};
    }
    const std::string expectedStart = "ready " + name + " /dev/pts/";
    EXPECT_TRUE(ready->starts_with(expectedStart)) << *ready;
    const std::string number = ready->substr(std::min(ready->size(), expectedStart.size()));
    EXPECT_FALSE(number.empty()) << *ready;
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << *ready;
    const std::string slave = ready->substr(ready->find('/'));
    EXPECT_TRUE(fs::is_symlink(link)) << link;
    EXPECT_EQ(fs::read_symlink(link).string(), slave);
    return slave;
}

TEST(ModemToolTest, AnswersLikeAModemAndKeepsTheLineAcrossReopens)
{
    TempDir temp;
    const fs::path link = temp.Path() / "COM7";
    ModemProcess modem({"--ports", temp.Path().string(), "--name", "com07"});
    CheckReady(modem, link, "COM7");
    {
        TerminalPort port(link);
        ASSERT_TRUE(port.IsOpen());
        // Exact bytes also show raw mode: a cooked slave would add its own echo or LFs.
        EXPECT_EQ(Exchange(port, "AT\r", 9), "AT\r\r\nOK\r\n");
        EXPECT_EQ(Exchange(port, "ATE0\r", 11), "ATE0\r\r\nOK\r\n");
        EXPECT_EQ(Exchange(port, "ATI\r", 30), "\r\nTarvik virtual modem\r\n\r\nOK\r\n");
        EXPECT_EQ(Exchange(port, "ATD5551234\r", 16), "\r\nCONNECT 9600\r\n");
    }
    // The terminal closed the port and comes back a little later: the modem
    // never saw a hang-up and still has echo off.
    std::this_thread::sleep_for(Millis(50));
    TerminalPort again(link);
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(Exchange(again, "AT\r", 6), "\r\nOK\r\n");

    EXPECT_EQ(modem.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(ModemToolTest, ScriptPausesSplitsAndHangsUp)
{
    TempDir temp;
    const fs::path script = temp.Path() / "answers.txt";
    WriteFile(script, "# split answer with odd line ends\n"
                      "on ATI\n"
                      "  send \"ATI\\r\"\n"
                      "  pause 50\n"
                      "  send \"\\r\\nTarvik\"\n"
                      "  pause 50\n"
                      "  send \" modem\\n\\rOK\\r\"\n"
                      "on ATX\n"
                      "  silent\n"
                      "on ATH\n"
                      "  send \"ATH\\r\\r\\nNO\"\n"
                      "  hangup\n");
    const fs::path link = temp.Path() / "COM1";
    ModemProcess modem({"--ports", temp.Path().string(), "--script", script.string(), "--dial",
                        "busy", "--exit-after-hangup"});
    CheckReady(modem, link, "COM1");
    TerminalPort port(link);
    ASSERT_TRUE(port.IsOpen());

    const std::string split = "ATI\r\r\nTarvik modem\n\rOK\r";
    const auto start = std::chrono::steady_clock::now();
    port.Send("ATI\r");
    EXPECT_EQ(port.Read(split.size(), Millis(1000)), split);
    EXPECT_GE(std::chrono::steady_clock::now() - start, Millis(100));

    EXPECT_EQ(Exchange(port, "ATX\r", 0), "");
    // Lines without a rule get the plain answer, with the echo.
    EXPECT_EQ(Exchange(port, "ATD1\r", 13), "ATD1\r\r\nBUSY\r\n");

    port.Send("ATH\r");
    bool gone = false;
    EXPECT_EQ(port.ReadUntilGone(Millis(1000), gone), "ATH\r\r\nNO");
    EXPECT_TRUE(gone);
    EXPECT_EQ(modem.WaitExit(Millis(2000)), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(ModemToolTest, StaysUpWithoutAPortAfterAHangupUnlessAskedToExit)
{
    TempDir temp;
    const fs::path script = temp.Path() / "hangup.txt";
    WriteFile(script, "on ATH\nhangup\n");
    const fs::path link = temp.Path() / "COM3";
    ModemProcess modem(
        {"--ports", temp.Path().string(), "--name", "COM3", "--script", script.string()});
    CheckReady(modem, link, "COM3");
    {
        TerminalPort port(link);
        ASSERT_TRUE(port.IsOpen());
        port.Send("ATH\r");
        bool gone = false;
        EXPECT_EQ(port.ReadUntilGone(Millis(1000), gone), "");
        EXPECT_TRUE(gone);
    }
    // The link goes with the line, so no terminal opens a stale device.
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(modem.WaitExit(Millis(100)), std::nullopt);
    EXPECT_EQ(modem.Stop(SIGHUP), 0);
}

TEST(ModemToolTest, StopSignalsRemoveTheLink)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir temp;
        const fs::path link = temp.Path() / "COM2";
        ModemProcess modem({"--ports", temp.Path().string(), "--name", "COM2"});
        CheckReady(modem, link, "COM2");
        EXPECT_EQ(modem.Stop(signal), 0) << signal;
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << signal;
    }
}

TEST(ModemToolTest, ReplacesOnlyDanglingLinksUnlessForced)
{
    TempDir temp;
    const fs::path live = temp.Path() / "COM2";
    fs::create_symlink("/dev/null", live);
    {
        ModemProcess refused({"--ports", temp.Path().string(), "--name", "COM2"});
        EXPECT_EQ(refused.WaitExit(Millis(2000)), 1);
        EXPECT_NE(refused.Stderr().find("--force"), std::string::npos) << refused.Stderr();
        EXPECT_EQ(fs::read_symlink(live), "/dev/null");
    }
    {
        ModemProcess forced({"--ports", temp.Path().string(), "--name", "COM2", "--force"});
        CheckReady(forced, live, "COM2");
        EXPECT_EQ(forced.Stop(SIGTERM), 0);
    }
    const fs::path dangling = temp.Path() / "COM4";
    fs::create_symlink(temp.Path() / "no-such-device", dangling);
    ModemProcess replaced({"--ports", temp.Path().string(), "--name", "COM4"});
    CheckReady(replaced, dangling, "COM4");
    TerminalPort port(dangling);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(Exchange(port, "AT\r", 9), "AT\r\r\nOK\r\n");
}

TEST(ModemToolTest, FindsThePortMapFolderAndCreatesIt)
{
    TempDir temp;
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        fs::path expectedDir;
    };
    const Case cases[] = {
        {{"--ports", (temp.Path() / "option" / "ports").string()},
         {"TARVIK_PORTS=" + (temp.Path() / "unused").string()},
         temp.Path() / "option" / "ports"},
        {{},
         {"TARVIK_PORTS=" + (temp.Path() / "env").string(), "HOME=" + temp.Path().string()},
         temp.Path() / "env"},
        {{},
         {"TARVIK_PORTS=", "HOME=" + (temp.Path() / "home").string()},
         temp.Path() / "home" / ".config" / "tarvik" / "ports"},
    };
    for (const Case& c : cases) {
        ModemProcess modem(c.arguments, c.environment);
        CheckReady(modem, c.expectedDir / "COM1", "COM1");
        EXPECT_EQ(modem.Stop(SIGTERM), 0);
    }
    EXPECT_FALSE(fs::exists(temp.Path() / "unused"));
}

TEST(ModemToolTest, RejectsBadInvocationsWithStatusTwo)
{
    TempDir temp;
    const fs::path script = temp.Path() / "broken.txt";
    WriteFile(script, "on AT\n  send \"OK\"\n  shout\n");
    struct Case {
        std::vector<std::string> arguments;
        std::string stderrPart;
    };
    const Case cases[] = {
        {{"--script", script.string()}, script.string() + ":3: unknown action 'shout'"},
        {{"--script", (temp.Path() / "missing.txt").string()}, "missing.txt"},
        {{"--name", "LPT1"}, "COM<n>"},
        {{"--name", "COM0"}, "COM<n>"},
        {{"--dial", "maybe"}, "nodialtone"},
        {{"--ports"}, "needs a value"},
        {{"--loud"}, "unknown option"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"--ports", (temp.Path() / "ports").string()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ModemProcess modem(arguments);
        EXPECT_EQ(modem.WaitExit(Millis(2000)), 2) << c.stderrPart;
        EXPECT_NE(modem.Stderr().find(c.stderrPart), std::string::npos) << modem.Stderr();
    }
    // Nothing was linked by any of them.
    EXPECT_FALSE(fs::exists(temp.Path() / "ports" / "COM1"));
}

} // namespace
} // namespace tarvik::modem::testing
