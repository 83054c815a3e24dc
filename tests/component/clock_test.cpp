#include "platform/sim/sim_comm.h"
#include "serial/serial_util.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(TickElapsedTest, ForwardWrapAndStepsBack)
{
    const struct {
        std::uint32_t Old, New, Result;
    } cases[] = {
        {1000, 1000, 0},
        {1000, 1250, 250},
        {1250, 1000, 250},
        {0xFFFFFF00u, 0x00000100u, 512},
        {0xFFFFFFFFu, 0x00000000u, 1},
        {0x7FFFFFFFu, 0x80000000u, 1},
        {0x80000000u, 0x7FFFFFFFu, 4294967295u},
        {0xFFFFFF00u, 0xFFFFFE00u, 256},
        {0x7FFFFFF0u, 0x00000010u, 2147483616u},
        {0x00000100u, 0xFFFFFF00u, 4294966784u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TickElapsed(c.Old, c.New), c.Result) << std::hex << c.Old << " -> " << c.New;
}

TEST(ByteOrderTest, BigEndianImageAndSwap)
{
    EXPECT_EQ(Int32ToBigEndian(0x01020304), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(Int32ToBigEndian(-2), std::string("\xFF\xFF\xFF\xFE", 4));
    EXPECT_EQ(Int32ToBigEndian(0), std::string(4, '\0'));

    const std::pair<std::int32_t, std::int32_t> swaps[] = {
        {0x01020304, 0x04030201}, {1, 16777216}, {8192, 2097152}, {-2, -16777217}, {0, 0}};
    for (const auto& [value, swapped] : swaps) {
        EXPECT_EQ(SwapInt32(value), swapped) << value;
        EXPECT_EQ(SwapInt32(swapped), value) << value;
    }
    for (const std::int32_t x : {INT32_MIN, INT32_MAX, -1, 0x00FF00FF, 12345678})
        EXPECT_EQ(SwapInt32(SwapInt32(x)), x);
}

TEST(TickNowTest, WithoutACounterTheTickCountIsTheClock)
{
    sim::SimCommApi api;
    api.SetPerformanceCounter(false);
    api.SetTickCount(0xFFFFFFF0u);
    EXPECT_EQ(TickNow(api), 0xFFFFFFF0u);
    api.AdvanceMs(0x20);
    EXPECT_EQ(TickNow(api), 0x10u);
}

TEST(TickNowTest, CounterTimeIsTruncatedToWholeMillisecondsAndWraps)
{
    sim::SimCommApi api;
    api.SetPerformanceCounter(true, 10'000); // 10 counts per millisecond
    api.SetNowNs(2'999'900);                 // 29999 counts: 2.9999 ms
    EXPECT_EQ(TickNow(api), 2u);
    api.SetNowNs(3'000'000);
    EXPECT_EQ(TickNow(api), 3u);
    // Only the low 32 bits of the millisecond count are kept.
    api.SetNowNs((0x100000000ull + 7) * 1'000'000 + 500'000);
    EXPECT_EQ(TickNow(api), 7u);
}

TEST(TickNowTest, TheQuotientIsFormedBeforeTheFactor)
{
    // 10^6 counts at 10^9 per second: 0.001 is not exact in binary, so the
    // quotient first gives 0.99999... ms and truncates to 0, where the
    // product first would give exactly 1.
    sim::SimCommApi api;
    api.SetNowNs(1'000'000);
    EXPECT_EQ(TickNow(api), 0u);
    api.SetNowNs(2'500'000);
    EXPECT_EQ(TickNow(api), 2u);
}

} // namespace
} // namespace tarvik
