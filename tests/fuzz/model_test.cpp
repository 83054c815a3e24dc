// Pins the receive model to the worked cases of the terminated and counted
// reads, so that the model and the component cannot agree on a wrong reading.
#include "framed_model.h"
#include "receive_model.h"
#include "serial/block_serial.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tarvik::fuzz {
namespace {

struct Result {
    std::string Line;
    std::int32_t Code;
};

struct Settings {
    bool Convert = true;
    bool ReadLine = true; // else ReadUntil with CR LF
    std::int32_t MaxLineLength = 0;
    bool InterPacketTimeout = true;
};

struct After {
    std::string LineBuffer;
    bool PendingCR = false;
    bool PendingLF = false;
};

struct ModelCase {
    const char* What;
    Settings Set;
    std::vector<Chunk> Chunks;
    std::vector<Result> Results;
    After Left;
};

void PrintTo(const ModelCase& c, std::ostream* out)
{
    *out << c.What;
}

class ModelCaseTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelCaseTest, GivesTheLines)
{
    const ModelCase& c = GetParam();
    ReceiveModel model(c.Chunks);
    model.ConvertLineEnd = c.Set.Convert;
    model.MaxLineLength = c.Set.MaxLineLength;
    model.InterPacketTimeout = c.Set.InterPacketTimeout;
    for (std::size_t i = 0; i < c.Results.size(); ++i) {
        const std::string line =
            c.Set.ReadLine ? model.ReadLine(1000) : model.ReadUntil(1000, "\r\n");
        EXPECT_EQ(line, c.Results[i].Line) << "call " << i;
        EXPECT_EQ(model.LastErrorCode, c.Results[i].Code) << "call " << i;
    }
    EXPECT_EQ(model.LineBuffer, c.Left.LineBuffer);
    EXPECT_EQ(model.PendingCR, c.Left.PendingCR);
    EXPECT_EQ(model.PendingLF, c.Left.PendingLF);
}

const Settings kConvert{};
const Settings kLiteral{.Convert = false};
const Settings kWholeBudget{.Convert = false, .InterPacketTimeout = false};

const ModelCase kCases[] = {
    {"TwoLinesInOneRead", kConvert, {{"A\r\nB\r\n"}}, {{"A", seOK}, {"B", seOK}}, {}},
    {"SplitCrLfIsRepaired", kConvert, {{"A\r"}, {"\nB\r\n"}}, {{"A", seOK}, {"B", seOK}}, {}},
    {"SplitCrLfWithoutConversion", kLiteral, {{"A\r"}, {"\nB\r\n"}}, {{"A", seOK}}, {"B\r\n"}},
    {"SplitLfCrIsRepaired", kConvert, {{"A\n"}, {"\rB\n\r"}}, {{"A", seOK}, {"B", seOK}}, {}},
    {"CrCrLfIsTwoEmptyLines", kConvert, {{"\r\r\n"}}, {{"", seOK}, {"", seOK}}, {}},
    {"LoneCrEndsAtOnceAndIsRemembered", kConvert, {{"A\r"}}, {{"A", seOK}}, {"", true}},
    {"LoneLfEndsAndIsRemembered", kConvert, {{"A\nB"}}, {{"A", seOK}}, {"B", false, true}},
    {"LfInsideALineWithoutConversion", kLiteral, {{"A\nB\r\n"}}, {{"A\nB", seOK}}, {}},
    {"CrAloneWithoutConversionTimesOut", kLiteral, {{"A\r"}}, {{"", seTimeout}}, {"A\r"}},
    {"TooLongStillCutsTheLineOut",
     {.Convert = false, .ReadLine = false, .MaxLineLength = 4},
     {{"OK\r\nABC"}},
     {{"OK", seLineTooLong}},
     {"ABC"}},
    {"TooLongGivesReadLineNothing",
     {.Convert = false, .MaxLineLength = 4},
     {{"OK\r\nABC"}},
     {{"", seLineTooLong}},
     {"ABC"}},
    {"WholeReadBudgetRunsOut",
     kWholeBudget,
     {{"a", 500}, {"b", 500}, {"\r\n", 500}},
     {{"", seTimeout}},
     {"ab"}},
    {"LineEndInTheLastPassStillCounts",
     kWholeBudget,
     {{"a", 500}, {"\r\n", 500}},
     {{"a", seOK}},
     {}},
    {"EachPacketGetsTheTimeOut",
     kLiteral,
     {{"a", 900}, {"b", 900}, {"\r\n", 900}},
     {{"ab", seOK}},
     {}},
};

std::string CaseName(const ::testing::TestParamInfo<ModelCase>& c)
{
    return c.param.What;
}

INSTANTIATE_TEST_SUITE_P(Worked, ModelCaseTest, ::testing::ValuesIn(kCases), CaseName);

TEST(ModelCaseTest, EmptyTerminatorReadsNothing)
{
    ReceiveModel model({{"A\r\n"}});
    model.LineBuffer = "xy";
    EXPECT_EQ(model.ReadUntil(1000, ""), "");
    EXPECT_EQ(model.LastErrorCode, seOK);
    EXPECT_EQ(model.LineBuffer, "xy");
    EXPECT_EQ(model.Device().TakenBytes(), 0u);
}

TEST(FramedModelTest, ReadsFramesAndKeepsTheRest)
{
    // 0x01020304; a sized "hi"; a network-order length of 8192, then its bytes.
    const std::string frames("\x04\x03\x02\x01\x02\x00\x00\x00hi\x00\x00\x20\x00", 14);
    FramedModel model({{frames}, {std::string(8192, 'z') + "tail"}});
    EXPECT_EQ(model.ReadInt32(1000), 0x01020304);
    EXPECT_EQ(model.ReadSized(1000), "hi");
    model.ReadStreamSizedNet(1000);
    EXPECT_EQ(model.LastErrorCode, seOK);
    EXPECT_EQ(model.Stream, std::string(8192, 'z'));
    EXPECT_EQ(model.LineBuffer, "tail");
}

TEST(FramedModelTest, AFailedPayloadDropsWhatArrived)
{
    const std::string frames("\xff\xff\xff\x7f"
                             "abc",
                             7); // a length of 2^31 - 1
    FramedModel model({{frames}});
    EXPECT_EQ(model.ReadSized(1000), "");
    EXPECT_EQ(model.LastErrorCode, seTimeout);
    EXPECT_EQ(model.LineBuffer, "");
    EXPECT_EQ(model.Spent().size(), 7u);
}

} // namespace
} // namespace tarvik::fuzz
