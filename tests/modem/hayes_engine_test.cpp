#include "tools/virtual_modem/hayes_engine.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik::modem {
namespace {

struct ExchangeCase {
    const char* name;
    std::string sent;
    std::string answered;
};

// Shows the case by name in test listings and failures, not as raw bytes.
void PrintTo(const ExchangeCase& c, std::ostream* out)
{
    *out << c.name;
}

// What a plain modem sends back for these bytes, echo included.
std::string FeedAtOnce(const std::string& bytes)
{
    HayesModem modem;
    return modem.Receive(bytes);
}

std::string FeedByteByByte(const std::string& bytes)
{
    HayesModem modem;
    std::string out;
    for (const char byte : bytes) {
        out += modem.Receive(std::string(1, byte));
    }
    return out;
}

class HayesExchangeTest : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(HayesExchangeTest, AnswersTheSameHoweverTheBytesArrive)
{
    const ExchangeCase& c = GetParam();
    EXPECT_EQ(FeedAtOnce(c.sent), c.answered);
    EXPECT_EQ(FeedByteByByte(c.sent), c.answered);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HayesExchangeTest,
    ::testing::Values(
        ExchangeCase{"PlainAt", "AT\r", "AT\r\r\nOK\r\n"},
        ExchangeCase{"LowerCase", "at\r", "at\r\r\nOK\r\n"},
        ExchangeCase{"MixedCaseLetters", "aTi\r", "aTi\r\r\nTarvik virtual modem\r\n\r\nOK\r\n"},
        ExchangeCase{"Information", "ATI0\r", "ATI0\r\r\nTarvik virtual modem\r\n\r\nOK\r\n"},
        ExchangeCase{"UnknownInformationPage", "ATI4\r", "ATI4\r\r\nERROR\r\n"},
        // The LF of a CR LF terminal is echoed but is no part of the next command.
        ExchangeCase{"LeadingLineFeed", "AT\r\nAT\r", "AT\r\r\nOK\r\n\nAT\r\r\nOK\r\n"},
        ExchangeCase{"LeadingControlBytes",
                     "\n\t\x01"
                     "ATH0\r",
                     "\n\t\x01"
                     "ATH0\r\r\nOK\r\n"},
        ExchangeCase{"EmptyLineIsSilent", "\r", "\r"},
        ExchangeCase{"UnknownCommand", "ATX\r", "ATX\r\r\nERROR\r\n"},
        ExchangeCase{"NotAnAtLine", "hello\r", "hello\r\r\nERROR\r\n"},
        ExchangeCase{"BlankBeforeAt", " AT\r", " AT\r\r\nERROR\r\n"},
        ExchangeCase{"LoneA", "A\r", "A\r\r\nERROR\r\n"},
        ExchangeCase{"SwitchBeyondOne", "ATE2\r", "ATE2\r\r\nERROR\r\n"},
        ExchangeCase{"OffHookIsNotHangUp", "ATH1\r", "ATH1\r\r\nERROR\r\n"},
        ExchangeCase{"FactoryDefaultsNeedF", "AT&X\r", "AT&X\r\r\nERROR\r\n"},
        // Echo off takes effect after the CR that ends ATE0, and the OK still comes.
        ExchangeCase{"EchoOffThenInfo", "ATE0\rATI\r",
                     "ATE0\r\r\nOK\r\n\r\nTarvik virtual modem\r\n\r\nOK\r\n"},
        ExchangeCase{"EchoBackOn", "ATE0\rATE1\rAT\r", "ATE0\r\r\nOK\r\n\r\nOK\r\nAT\r\r\nOK\r\n"},
        // V0 applies to the result of the very line that sets it.
        ExchangeCase{"NumericResults", "ATV0\rATX\rATV1\r", "ATV0\r0\rATX\r4\rATV1\r\r\nOK\r\n"},
        ExchangeCase{"NumericInformation", "ATV0I\r", "ATV0I\rTarvik virtual modem\r\n0\r"},
        ExchangeCase{"QuietDropsResultsNotInfo", "ATQ1\rATI\rATX\rATQ0\r",
                     "ATQ1\rATI\r\r\nTarvik virtual modem\r\nATX\rATQ0\r\r\nOK\r\n"},
        ExchangeCase{"SeveralCommandsOnOneLine", "ATE0V0Q0\rAT\r", "ATE0V0Q0\r0\r0\r"},
        ExchangeCase{"BlanksBetweenCommands", "AT E0 V1\r", "AT E0 V1\r\r\nOK\r\n"},
        // Everything after D is the number, so a later letter is never run.
        ExchangeCase{"DialTakesTheRest", "ATDT555X\r", "ATDT555X\r\r\nCONNECT 9600\r\n"},
        ExchangeCase{"ResetRestoresDefaults", "ATE0V0Q1\rATZ\rAT\r",
                     "ATE0V0Q1\r\r\nOK\r\nAT\r\r\nOK\r\n"},
        ExchangeCase{"FactoryDefaults", "ATE0V0\rAT&F\rAT\r",
                     "ATE0V0\r0\r\r\nOK\r\nAT\r\r\nOK\r\n"},
        ExchangeCase{"RegisterDefault", "ATS7?\r", "ATS7?\r\r\n050\r\n\r\nOK\r\n"},
        ExchangeCase{"RegisterSetAndRead", "ATS0=2\rATS0?\r",
                     "ATS0=2\r\r\nOK\r\nATS0?\r\r\n002\r\n\r\nOK\r\n"},
        ExchangeCase{"RegisterResetByZ", "ATS7=9\rATZ\rATS7?\r",
                     "ATS7=9\r\r\nOK\r\nATZ\r\r\nOK\r\nATS7?\r\r\n050\r\n\r\nOK\r\n"},
        ExchangeCase{"RegisterValueTooBig", "ATS7=256\r", "ATS7=256\r\r\nERROR\r\n"},
        ExchangeCase{"RegisterUnknown", "ATS99?\r", "ATS99?\r\r\nERROR\r\n"},
        ExchangeCase{"RegisterWithoutOperation", "ATS7\r", "ATS7\r\r\nERROR\r\n"},
        ExchangeCase{"RegisterWithoutValue", "ATS7=\r", "ATS7=\r\r\nERROR\r\n"},
        ExchangeCase{"RepeatLastCommand", "ATI\rA/\r",
                     "ATI\r\r\nTarvik virtual modem\r\n\r\nOK\r\nA/\r\r\nTarvik virtual "
                     "modem\r\n\r\nOK\r\n"},
        // A rejected line is not remembered: A/ repeats the last AT command.
        ExchangeCase{"RepeatSkipsNonAtLines", "ATS7?\rxyz\ra/\r",
                     "ATS7?\r\r\n050\r\n\r\nOK\r\nxyz\r\r\nERROR\r\na/\r\r\n050\r\n\r\nOK\r\n"},
        ExchangeCase{"RepeatBeforeAnyCommand", "A/\r", "A/\r\r\nOK\r\n"}),
    [](const ::testing::TestParamInfo<ExchangeCase>& param) { return param.param.name; });

struct DialCase {
    DialOutcome outcome;
    const char* verbose;
    const char* numeric;
};

TEST(HayesDialTest, AnswersTheConfiguredOutcomeInBothForms)
{
    const DialCase cases[] = {
        {DialOutcome::Connect, "\r\nCONNECT 9600\r\n", "1\r"},
        {DialOutcome::Busy, "\r\nBUSY\r\n", "7\r"},
        {DialOutcome::NoCarrier, "\r\nNO CARRIER\r\n", "3\r"},
        {DialOutcome::NoDialtone, "\r\nNO DIALTONE\r\n", "6\r"},
    };
    for (const DialCase& c : cases) {
        HayesModem modem(c.outcome);
        EXPECT_EQ(modem.Receive("ATD12345\r"), std::string("ATD12345\r") + c.verbose);
        EXPECT_EQ(modem.Receive("ATE0V0\rATD\r"), std::string("ATE0V0\r0\r") + c.numeric);
        // The modem stays in command mode after dialling.
        EXPECT_EQ(modem.Receive("AT\r"), "0\r");
    }
}

TEST(HayesDialTest, ParsesOnlyTheFourOutcomeNames)
{
    EXPECT_EQ(ParseDialOutcome("connect"), DialOutcome::Connect);
    EXPECT_EQ(ParseDialOutcome("busy"), DialOutcome::Busy);
    EXPECT_EQ(ParseDialOutcome("nocarrier"), DialOutcome::NoCarrier);
    EXPECT_EQ(ParseDialOutcome("nodialtone"), DialOutcome::NoDialtone);
    EXPECT_FALSE(ParseDialOutcome("BUSY").has_value());
    EXPECT_FALSE(ParseDialOutcome("no carrier").has_value());
    EXPECT_FALSE(ParseDialOutcome("").has_value());
}

TEST(HayesModemTest, InformationPagesAreDistinctLines)
{
    HayesModem modem;
    modem.Receive("ATE0\r");
    std::string pages[4];
    for (int page = 0; page < 4; ++page) {
        const std::string answer = modem.Answer("ATI" + std::to_string(page));
        ASSERT_TRUE(answer.starts_with("\r\n")) << page;
        ASSERT_TRUE(answer.ends_with("\r\n\r\nOK\r\n")) << page;
        pages[page] = answer.substr(2, answer.size() - 2 - 8);
        EXPECT_FALSE(pages[page].empty()) << page;
        EXPECT_EQ(pages[page].find_first_of("\r\n"), std::string::npos) << page;
    }
    EXPECT_EQ(pages[0], "Tarvik virtual modem");
    for (int a = 0; a < 4; ++a) {
        for (int b = a + 1; b < 4; ++b) {
            EXPECT_NE(pages[a], pages[b]) << a << " " << b;
        }
    }
}

// Callers that gather lines themselves get the echo the line would have had.
TEST(HayesModemTest, EchoOfFollowsTheEchoSetting)
{
    HayesModem modem;
    EXPECT_EQ(modem.EchoOf("ATI"), "ATI\r");
    EXPECT_EQ(modem.EchoOf(""), "\r");
    EXPECT_EQ(modem.Answer("ATE0"), "\r\nOK\r\n");
    EXPECT_FALSE(modem.EchoOn());
    EXPECT_EQ(modem.EchoOf("ATI"), "");
    EXPECT_EQ(modem.Answer("ATZ"), "\r\nOK\r\n");
    EXPECT_TRUE(modem.EchoOn());
    EXPECT_TRUE(modem.VerboseOn());
    EXPECT_FALSE(modem.QuietOn());
}

// A partly applied line keeps what ran before the bad command, as real modems do.
TEST(HayesModemTest, ErrorStopsTheRestOfTheLine)
{
    HayesModem modem;
    EXPECT_EQ(modem.Answer("ATE0XV0"), "\r\nERROR\r\n");
    EXPECT_FALSE(modem.EchoOn());
    EXPECT_TRUE(modem.VerboseOn());
}

TEST(CommandLineReaderTest, SplitsAtCarriageReturnsAndDropsControlBytes)
{
    CommandLineReader reader;
    std::vector<std::string> lines;
    for (const char byte : std::string("\nAT\tI\x7f\r\r\x1b"
                                       "ATD 1\xe9\r"
                                       "AT")) {
        if (auto line = reader.Push(byte)) {
            lines.push_back(*line);
        }
    }
    const std::vector<std::string> expected{"ATI", "", "ATD 1\xe9"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(reader.Push('\r'), std::optional<std::string>("AT"));
}

} // namespace
} // namespace tarvik::modem
