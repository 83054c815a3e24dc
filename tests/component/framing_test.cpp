#include "serial/serial_stream.h"
#include "serial/serial_util.h"
#include "serial_fixture.h"

#include <sstream>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

std::string Bytes(std::initializer_list<unsigned> values)
{
    std::string text;
    for (const unsigned v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

// A memory stream that records the size of every Write and can claim a
// size it does not hold.
class RecordingStream final : public TStream {
public:
    explicit RecordingStream(std::string bytes = {}, std::int64_t claimedSize = -1)
        : FMemory(std::move(bytes)), FClaimedSize(claimedSize)
    {
    }
    std::int64_t Size() override { return FClaimedSize >= 0 ? FClaimedSize : FMemory.Size(); }
    std::int64_t Position() override { return FMemory.Position(); }
    std::int32_t Read(void* buffer, std::int32_t count) override
    {
        return FMemory.Read(buffer, count);
    }
    std::int32_t Write(const void* buffer, std::int32_t count) override
    {
        Writes.push_back(count);
        return FMemory.Write(buffer, count);
    }
    void Seek(std::int64_t position) { FMemory.Seek(position); }
    const std::string& Content() const { return FMemory.Bytes(); }

    std::vector<std::int32_t> Writes;

private:
    TMemoryStream FMemory;
    std::int64_t FClaimedSize;
};

std::string Pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(i * 7 + i / 251);
    return text;
}

TEST_F(SerialFixture, IntegersAndSizedStringsOnTheWire)
{
    OpenPort();
    serial.SendInt32(1);
    serial.SendInt32(-2);
    serial.SendSized("ABC");
    serial.SendSized("");
    EXPECT_EQ(device.Written(),
              Bytes({1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 'A', 'B', 'C', 0, 0, 0, 0}));
    EXPECT_THAT(device.Writes(), ElementsAre(Bytes({1, 0, 0, 0}), Bytes({0xFE, 0xFF, 0xFF, 0xFF}),
                                             Bytes({3, 0, 0, 0}), "ABC", Bytes({0, 0, 0, 0}), ""));
}

TEST_F(SerialFixture, StreamsGoOutFromTheirPositionBehindTheirLength)
{
    OpenPort();
    struct {
        bool Net;
        std::int64_t Position;
        std::string Wire;
    } cases[] = {
        {false, 0, Bytes({5, 0, 0, 0}) + "hello"}, {true, 0, Bytes({0, 0, 0, 5}) + "hello"},
        {false, 3, Bytes({2, 0, 0, 0}) + "lo"},    {true, 3, Bytes({0, 0, 0, 2}) + "lo"},
        {false, 5, Bytes({0, 0, 0, 0})},
    };
    for (const auto& c : cases) {
        device.ClearWritten();
        RecordingStream stream("hello");
        stream.Seek(c.Position);
        if (c.Net)
            serial.SendStreamSizedNet(stream);
        else
            serial.SendStreamSized(stream);
        EXPECT_EQ(device.Written(), c.Wire) << c.Net << c.Position;
        EXPECT_EQ(stream.Position(), 5);
    }
}

TEST_F(SerialFixture, StreamContentTravelsInSegments)
{
    OpenPort();
    const std::string content = Pattern(20000);
    RecordingStream stream(content);
    serial.SendStreamSized(stream);
    ASSERT_EQ(device.Writes().size(), 4u);
    EXPECT_EQ(device.Writes()[0], Bytes({0x20, 0x4E, 0, 0}));
    EXPECT_EQ(device.Writes()[1].size(), 8192u);
    EXPECT_EQ(device.Writes()[2].size(), 8192u);
    EXPECT_EQ(device.Writes()[3].size(), 3616u);
    EXPECT_EQ(device.Written().substr(4), content);
    EXPECT_EQ(stream.Position(), 20000);
}

TEST_F(SerialFixture, AStreamThatEndsShortStopsTheSend)
{
    OpenPort();
    RecordingStream stream("abcd", 10);
    serial.SendStreamSized(stream);
    EXPECT_EQ(device.Written(), Bytes({10, 0, 0, 0}) + "abcd");
}

TEST_F(SerialFixture, SendingToAClosedPortStillReadsTheStream)
{
    RecordingStream stream(Pattern(9000));
    serial.SendStreamBody(stream);
    EXPECT_EQ(serial.LastErrorCode(), seNotOpen);
    EXPECT_EQ(stream.Position(), 9000);

    serial.RaiseExcept = true;
    RecordingStream again(Pattern(9000));
    EXPECT_THROW(serial.SendStreamBody(again), EKorloSerError);
    EXPECT_EQ(again.Position(), 8192);
}

TEST_F(SerialFixture, IntegersAndSizedStringsReadBack)
{
    OpenPort();
    const struct {
        std::string Wire;
        std::int32_t Value;
    } ints[] = {{Bytes({4, 3, 2, 1}), 0x01020304},
                {Bytes({0xFF, 0xFF, 0xFF, 0xFF}), -1},
                {Bytes({0, 0, 0, 0x80}), INT32_MIN}};
    for (const auto& c : ints) {
        device.Send(c.Wire);
        EXPECT_EQ(serial.ReadInt32(100), c.Value);
        EXPECT_EQ(serial.LastErrorCode(), 0);
    }

    const struct {
        std::string Wire;
        std::string Text;
    } sized[] = {{Bytes({3, 0, 0, 0}) + "xyz", "xyz"},
                 {Bytes({0, 0, 0, 0}), ""},
                 {Bytes({0xFF, 0xFF, 0xFF, 0xFF}), ""}};
    for (const auto& c : sized) {
        device.Send(c.Wire);
        EXPECT_EQ(serial.ReadSized(100), c.Text);
        EXPECT_EQ(serial.LastErrorCode(), 0);
        EXPECT_EQ(serial.LineBuffer, "");
    }
}

TEST_F(SerialFixture, AFrameReadInPiecesLeavesTheNextFrameBuffered)
{
    OpenPort();
    device.Send(Bytes({2, 0}));
    device.Send(Bytes({0, 0}) + "a");
    device.Send("b" + Bytes({7, 0, 0, 0}));
    EXPECT_EQ(serial.ReadSized(100), "ab");
    EXPECT_EQ(serial.ReadInt32(100), 7);
}

TEST_F(SerialFixture, FailedPrefixOrPayload)
{
    OpenPort();
    // Two bytes of a prefix, then silence: 0 with the time-out, nothing read after it.
    device.Send(Bytes({1, 2}));
    EXPECT_EQ(serial.ReadInt32(100), 0);
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    RecordingStream stream;
    device.Send(Bytes({1, 2}));
    serial.ReadStreamSized(stream, 100);
    EXPECT_TRUE(stream.Writes.empty());

    // A peer that announces 2 GiB and sends 10 bytes: an empty result, the
    // time-out, and memory only for what came.
    device.Send(Bytes({0xFF, 0xFF, 0xFF, 0x7F}) + "0123456789");
    EXPECT_EQ(serial.ReadSized(100), "");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
}

TEST_F(SerialFixture, StreamsAreReadInSegmentsAndStopAtTheFirstFailure)
{
    OpenPort();
    const std::string content = Pattern(8192);
    for (const bool net : {false, true}) {
        RecordingStream stream;
        device.Send((net ? Bytes({0, 0, 0x20, 0}) : Bytes({0, 0x20, 0, 0})) + content);
        if (net)
            serial.ReadStreamSizedNet(stream, 100);
        else
            serial.ReadStreamSized(stream, 100);
        EXPECT_EQ(serial.LastErrorCode(), 0);
        EXPECT_THAT(stream.Writes, ElementsAre(8192));
        EXPECT_EQ(stream.Content(), content);
    }

    RecordingStream counted;
    device.Send(Pattern(8193));
    serial.ReadStreamCount(counted, 100, 8193);
    EXPECT_THAT(counted.Writes, ElementsAre(8192, 1));
    EXPECT_EQ(counted.Content(), Pattern(8193));

    api.ClearCalls();
    serial.ReadStreamCount(counted, 100, 0);
    serial.ReadStreamCount(counted, 100, -5);
    EXPECT_TRUE(api.Calls().empty());

    // Two full segments and part of a third: the third is not written.
    RecordingStream partial;
    device.Send(Pattern(8192 * 2 + 100));
    serial.ReadStreamCount(partial, 100, 8192 * 3);
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_THAT(partial.Writes, ElementsAre(8192, 8192));
}

TEST_F(SerialFixture, ReadStreamAllCopiesUntilTheLineFallsSilent)
{
    OpenPort();
    RecordingStream stream;
    device.Send("abc");
    device.Send("def", 50);
    serial.ReadStreamAll(stream, 100);
    EXPECT_EQ(stream.Content(), "abcdef");
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);

    serial.RaiseExcept = true;
    RecordingStream raised;
    device.Send("ghi");
    EXPECT_THROW(serial.ReadStreamAll(raised, 100), EKorloSerError);
    EXPECT_EQ(raised.Content(), "ghi");
}

TEST(StreamAdapterTest, MemoryFileAndStdStreamsReadAndWrite)
{
    TMemoryStream memory("hello");
    char buffer[8];
    EXPECT_EQ(memory.Read(buffer, 3), 3);
    EXPECT_EQ(memory.Position(), 3);
    EXPECT_EQ(memory.Read(buffer, 8), 2);
    EXPECT_EQ(memory.Read(buffer, 8), 0);
    AppendToStream(memory, "!!");
    EXPECT_EQ(memory.Bytes(), "hello!!");

    const std::string path = ::testing::TempDir() + "tarvik_stream_test.bin";
    {
        TFileStream file(path, TFileStream::Mode::Write);
        ASSERT_TRUE(file.IsOpen());
        AppendToStream(file, "file content");
    }
    TFileStream file(path, TFileStream::Mode::Read);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 12);
    EXPECT_EQ(file.Read(buffer, 4), 4);
    EXPECT_EQ(file.Position(), 4);
    EXPECT_EQ(std::string(buffer, 4), "file");
    std::remove(path.c_str());
    EXPECT_FALSE(TFileStream("/nonexistent/dir/x", TFileStream::Mode::Read).IsOpen());

    std::stringstream text("abcdef");
    TStdStream standard(text);
    EXPECT_EQ(standard.Size(), 6);
    EXPECT_EQ(standard.Read(buffer, 4), 4);
    EXPECT_EQ(standard.Position(), 4);
    EXPECT_EQ(standard.Read(buffer, 4), 2);
    EXPECT_EQ(standard.Position(), 6);
}

} // namespace
} // namespace tarvik::testing
