// The set-up dialogue as a user meets it: prompts, refused answers, control
// words and the ways a run ends, compared byte for byte.
#include "e2e/screens.h"
#include "e2e/tarvik_harness.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tarvik::e2e {
namespace {

using namespace screen;

enum class StageId { Port, Speed, DataBits, Command };

struct Stage {
    std::string input;  // the answers that reach the stage
    std::string before; // what is printed before the stage starts
    std::string start;  // what the stage prints each time it starts
};

const Stage& StageOf(StageId id)
{
    static const std::vector<Stage> stages{
        {"", "", kBanner},
        {"1\n", kBanner + Connected("1"), kSpeedMenu},
        {"1\n9\n", kBanner + Connected("1") + kSpeedMenu + kSpeedOk, kDataBitsMenu},
        {kSetUpInput,
         kBanner + Connected("1") + kSpeedMenu + kSpeedOk + kDataBitsMenu + kDataBitsOk, kPrompt},
    };
    return stages[static_cast<std::size_t>(id)];
}

const char* NameOf(StageId id)
{
    switch (id) {
    case StageId::Port:
        return "Port";
    case StageId::Speed:
        return "Speed";
    case StageId::DataBits:
        return "DataBits";
    case StageId::Command:
        return "Command";
    }
    return "Unknown";
}

void PrintTo(StageId id, std::ostream* os)
{
    *os << NameOf(id);
}

std::string StageName(const ::testing::TestParamInfo<StageId>& param)
{
    return NameOf(param.param);
}

class ControlWordTest : public PlainModemTest, public ::testing::WithParamInterface<StageId> {
protected:
    const Stage& CurrentStage() const { return StageOf(GetParam()); }
};

// With stdout on a pipe, clearing writes nothing: only the stage is shown again.
TEST_P(ControlWordTest, ClearInAnyCaseRestartsTheStage)
{
    const RunResult run = RunTarvik(CurrentStage().input + "clear\nClear\nCLEAR\n");
    EXPECT_EQ(run.out, CurrentStage().before + CurrentStage().start + CurrentStage().start +
                           CurrentStage().start + CurrentStage().start);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

// Only a lone Y or N answers the question; anything else asks it again,
// without showing the stage again.
TEST_P(ControlWordTest, ExitQuestionWantsYOrN)
{
    for (const std::string confirm : {"y", "Y"}) {
        SCOPED_TRACE("confirmed with " + confirm);
        // Lines after the confirmation must not be read any more.
        const RunResult run = RunTarvik(
            CurrentStage().input + "QUIT\nyes\n\n y\nn\nexit\nN\nClose\n" + confirm + "\nAT\n1\n");
        EXPECT_EQ(run.out, CurrentStage().before + CurrentStage().start + kExitQuestion +
                               kExitQuestion + kExitQuestion + kExitQuestion +
                               CurrentStage().start + kExitQuestion + CurrentStage().start +
                               kExitQuestion);
        EXPECT_TRUE(ExitedWith(run, 0));
        EXPECT_EQ(run.err, "");
    }
}

TEST_P(ControlWordTest, EndOfInputEndsTheRunAsAnExitDoes)
{
    const RunResult atPrompt = RunTarvik(CurrentStage().input);
    EXPECT_EQ(atPrompt.out, CurrentStage().before + CurrentStage().start);
    EXPECT_TRUE(ExitedWith(atPrompt, 0));
    EXPECT_EQ(atPrompt.err, "");

    const RunResult atQuestion = RunTarvik(CurrentStage().input + "Exit\n");
    EXPECT_EQ(atQuestion.out, CurrentStage().before + CurrentStage().start + kExitQuestion);
    EXPECT_TRUE(ExitedWith(atQuestion, 0));
    EXPECT_EQ(atQuestion.err, "");
}

INSTANTIATE_TEST_SUITE_P(EveryStage, ControlWordTest,
                         ::testing::Values(StageId::Port, StageId::Speed, StageId::DataBits,
                                           StageId::Command),
                         StageName);

struct PortAnswer {
    const char* name;
    std::string text;

    friend void PrintTo(const PortAnswer& c, std::ostream* os) { *os << c.name; }
};

class PortRefusalTest : public PlainModemTest, public ::testing::WithParamInterface<PortAnswer> {};

// A refused port shows the banner again below the ERROR line, and a good
// answer after it still connects.
TEST_P(PortRefusalTest, GivesTheErrorLineAndTheBannerAgain)
{
    const std::string& answer = GetParam().text;
    const RunResult run = RunTarvik(answer + "\n1\n");
    EXPECT_EQ(run.out, kBanner + NotConnected(answer) + kBanner + Connected("1") + kSpeedMenu);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Answers, PortRefusalTest,
                         ::testing::Values(PortAnswer{"AbsentPort", "9"}, PortAnswer{"Empty", ""},
                                           PortAnswer{"ClearWithBlankAfter", "CLEAR "},
                                           PortAnswer{"QuitWithBlankBefore", " quit"},
                                           PortAnswer{"ThousandCharacters",
                                                      "1" + std::string(999, '0')},
                                           PortAnswer{"BinaryBytes", "\x01\x1b[2J\x7f\x80\xff"},
                                           PortAnswer{"NulAfterPresentPort", std::string("1\0", 2)},
                                           PortAnswer{"LoneNul", std::string(1, '\0')}),
                         NamedCase{});

// Menu answers are compared exactly: no blanks, no leading zeros.
TEST_F(PlainModemTest, SpeedMenuTakesOnlyItsTwelveAnswers)
{
    const RunResult run = RunTarvik("1\n04\n 4\n4 \n13\n0\n\n12\n");
    std::string refusals;
    for (int i = 0; i < 6; ++i)
        refusals += kSpeedError + kSpeedMenu;
    EXPECT_EQ(run.out, kBanner + Connected("1") + kSpeedMenu + refusals + kSpeedOk + kDataBitsMenu);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

TEST_F(PlainModemTest, DataBitsMenuTakesOnlyFourToEight)
{
    const RunResult run = RunTarvik("1\n9\n3\n9\n08\n 8\n\n8\n");
    std::string refusals;
    for (int i = 0; i < 5; ++i)
        refusals += kDataBitsError + kDataBitsMenu;
    EXPECT_EQ(run.out, kBanner + Connected("1") + kSpeedMenu + kSpeedOk + kDataBitsMenu + refusals +
                           kDataBitsOk + kPrompt);
    EXPECT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.err, "");
}

} // namespace
} // namespace tarvik::e2e
