#include "null_modem.h"
#include "serial/block_serial.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace tarvik::testing {
namespace {

// A stream of a known pseudo-random content, made as it is read.
class PatternStream final : public TStream {
public:
    explicit PatternStream(std::int64_t size) : FSize(size) {}
    std::int64_t Size() override { return FSize; }
    std::int64_t Position() override { return FPosition; }
    std::int32_t Read(void* buffer, std::int32_t count) override
    {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::int32_t n = 0;
        for (; n < count && FPosition < FSize; ++n, ++FPosition)
            out[n] = ByteAt(FPosition);
        return n;
    }
    std::int32_t Write(const void*, std::int32_t) override { return 0; }
    static std::uint8_t ByteAt(std::int64_t i)
    {
        return static_cast<std::uint8_t>((i * 2654435761u) >> 13 ^ i);
    }

private:
    std::int64_t FSize;
    std::int64_t FPosition = 0;
};

// Checks what is written against the pattern without keeping it.
class CheckingStream final : public TStream {
public:
    std::int64_t Size() override { return FPosition; }
    std::int64_t Position() override { return FPosition; }
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    std::int32_t Write(const void* buffer, std::int32_t count) override
    {
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        for (std::int32_t i = 0; i < count; ++i, ++FPosition)
            if (in[i] != PatternStream::ByteAt(FPosition) && FirstMismatch < 0)
                FirstMismatch = FPosition;
        return count;
    }
    std::int64_t FirstMismatch = -1;

private:
    std::int64_t FPosition = 0;
};

class StreamTransferTest : public ::testing::TestWithParam<bool> {};

TEST_P(StreamTransferTest, TwentyMegabytesArriveWholeAndInOrder)
{
    const bool networkOrder = GetParam();
    constexpr std::int64_t kSize = 20'000'000;
    NullModem cable;
    // Both on the process's one backend, each end in a thread of its own.
    TBlockSerial sender;
    TBlockSerial receiver;
    sender.RaiseExcept = true;
    receiver.RaiseExcept = true;
    sender.Open(cable.FirstPath());
    receiver.Open(cable.SecondPath());
    sender.Configure(921600, 8, 'N', 0, false, false);
    receiver.Configure(921600, 8, 'N', 0, false, false);

    std::thread sending([&] {
        PatternStream source(kSize);
        if (networkOrder)
            sender.SendStreamSizedNet(source);
        else
            sender.SendStreamSized(source);
    });
    CheckingStream target;
    if (networkOrder)
        receiver.ReadStreamSizedNet(target, 5000);
    else
        receiver.ReadStreamSized(target, 5000);
    sending.join();

    EXPECT_EQ(receiver.LastErrorCode(), 0);
    EXPECT_EQ(target.Position(), kSize);
    EXPECT_EQ(target.FirstMismatch, -1);
    EXPECT_EQ(receiver.LineBuffer, "");
}

INSTANTIATE_TEST_SUITE_P(LengthOrder, StreamTransferTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "network" : "little_endian"; });

} // namespace
} // namespace tarvik::testing
