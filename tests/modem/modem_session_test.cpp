#include "tools/virtual_modem/modem_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvik::modem {
namespace {

using Kind = ModemStep::Kind;

// Steps as text, so a whole answer compares in one readable assertion.
std::string Describe(const std::vector<ModemStep>& steps)
{
    std::string text;
    for (const ModemStep& step : steps) {
        switch (step.kind) {
        case Kind::Write:
            text += "write[" + step.bytes + "]";
            break;
        case Kind::Pause:
            text += "pause[" + std::to_string(step.milliseconds) + "]";
            break;
        case Kind::Hangup:
            text += "hangup";
            break;
        }
    }
    return text;
}

ModemSession Scripted(const char* text, DialOutcome dial = DialOutcome::Connect)
{
    return ModemSession(dial, ParseScript(text));
}

constexpr const char* kSplitAnswers = "on ATI\n"
                                      "  send \"ATI\\r\"\n"
                                      "  pause 50\n"
                                      "  send \"\\r\\nTarvik\"\n"
                                      "  pause 50\n"
                                      "  send \" modem\\n\\rOK\\r\"\n"
                                      "on ATX\n"
                                      "  silent\n"
                                      "  send \"never\"\n"
                                      "on ATH\n"
                                      "  send \"ATH\\r\\r\\nNO\"\n"
                                      "  hangup\n"
                                      "  send \"never\"\n";

TEST(ModemSessionTest, PlainModemEchoesEachByteAsItComes)
{
    ModemSession modem(DialOutcome::Busy, std::nullopt);
    EXPECT_EQ(Describe(modem.Receive("A")), "write[A]");
    EXPECT_EQ(Describe(modem.Receive("TD1\r")), "write[TD1\r\r\nBUSY\r\n]");
    EXPECT_EQ(Describe(modem.Receive("ATE0\r")), "write[ATE0\r\r\nOK\r\n]");
    // With echo off a partial line produces nothing at all.
    EXPECT_EQ(Describe(modem.Receive("AT")), "");
    EXPECT_FALSE(modem.HungUp());
}

TEST(ModemSessionTest, RulesAnswerInTheirOwnSteps)
{
    ModemSession modem = Scripted(kSplitAnswers);
    // No byte echo in scripted mode: nothing until the line is complete.
    EXPECT_EQ(Describe(modem.Receive("AT")), "");
    EXPECT_EQ(Describe(modem.Receive("I\r")),
              "write[ATI\r]pause[50]write[\r\nTarvik]pause[50]write[ modem\n\rOK\r]");
    EXPECT_EQ(Describe(modem.Receive("ATX\r")), "");
    // Rules match case-sensitively; other lines get the plain answer, echo first.
    EXPECT_EQ(Describe(modem.Receive("atx\r")), "write[atx\r\r\nERROR\r\n]");
    EXPECT_EQ(Describe(modem.Receive("\nATI0\r")),
              "write[ATI0\r\r\nTarvik virtual modem\r\n\r\nOK\r\n]");
    EXPECT_EQ(Describe(modem.Receive("\r")), "write[\r]");
}

TEST(ModemSessionTest, HangupEndsTheLineForGood)
{
    ModemSession modem = Scripted(kSplitAnswers);
    // The AT after ATH in the same read is never answered.
    EXPECT_EQ(Describe(modem.Receive("ATH\rAT\r")), "write[ATH\r\r\nNO]hangup");
    EXPECT_TRUE(modem.HungUp());
    EXPECT_EQ(Describe(modem.Receive("AT\r")), "");
}

TEST(ModemSessionTest, FirstMatchWinsAndOnceRulesStepAside)
{
    ModemSession modem = Scripted("on AT\n"
                                  "  once\n"
                                  "  send \"first\"\n"
                                  "on AT\n"
                                  "  send \"second\"\n"
                                  "on *\n"
                                  "  send \"any\"\n"
                                  "on ATI\n"
                                  "  send \"unreachable\"\n");
    EXPECT_EQ(Describe(modem.Receive("AT\r")), "write[first]");
    EXPECT_EQ(Describe(modem.Receive("AT\r")), "write[second]");
    EXPECT_EQ(Describe(modem.Receive("AT\r")), "write[second]");
    EXPECT_EQ(Describe(modem.Receive("ATI\r")), "write[any]");
    EXPECT_EQ(Describe(modem.Receive("\r")), "write[any]");
}

TEST(ModemSessionTest, EchoAndHayesActionsShareThePlainModemState)
{
    ModemSession modem = Scripted("on ATD1\n"
                                  "  echo\n"
                                  "  pause 5\n"
                                  "  hayes\n"
                                  "on \"ATV0 \"\n"
                                  "  hayes\n",
                                  DialOutcome::NoCarrier);
    EXPECT_EQ(Describe(modem.Receive("ATD1\r")), "write[ATD1\r]pause[5]write[\r\nNO CARRIER\r\n]");
    // A rule's hayes action changes the settings the unmatched lines use.
    EXPECT_EQ(Describe(modem.Receive("ATV0 \r")), "write[0\r]");
    EXPECT_EQ(Describe(modem.Receive("ATE0\r")), "write[ATE0\r0\r]");
    // With echo off the echo action sends nothing, as a plain modem would.
    EXPECT_EQ(Describe(modem.Receive("ATD1\r")), "pause[5]write[3\r]");
}

TEST(ModemSessionTest, AnEmptyScriptStillTurnsByteEchoOff)
{
    ModemSession modem = Scripted("# no rules yet\n");
    EXPECT_EQ(Describe(modem.Receive("A")), "");
    EXPECT_EQ(Describe(modem.Receive("T\r")), "write[AT\r\r\nOK\r\n]");
}

} // namespace
} // namespace tarvik::modem
