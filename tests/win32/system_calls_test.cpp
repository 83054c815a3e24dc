// The backend's calls that need no port: a missing port and its error text,
// events and waits, the clocks and the platform family.
#include "platform/comm_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tarvik::win {
namespace {

constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

std::string MessageOf(CommApi& api, DWORD code, DWORD size = 256)
{
    std::string buffer(size, '\0');
    const DWORD count = api.FormatMessageA(kMessageFlags, code, 0, buffer.data(), size);
    EXPECT_EQ(count, std::strlen(buffer.c_str())) << "code " << code;
    buffer.resize(count);
    return buffer;
}

TEST(SystemCalls, AMissingPortFailsWithFileNotFound)
{
    CommApi& api = NativeCommApi();
    api.SetLastError(0);
    const HANDLE handle =
        api.CreateFileA("\\\\.\\COM255", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SystemCalls, MessagesComeFromTheSystemTable)
{
    CommApi& api = NativeCommApi();
    const std::string notFound = MessageOf(api, ERROR_FILE_NOT_FOUND);
    // Wine words it "File not found.", Windows in its own way; both end the
    // text with a full stop and a line break, which the component trims.
    ASSERT_GT(notFound.size(), 3u);
    EXPECT_TRUE(notFound.ends_with(".\r\n")) << notFound;
    EXPECT_NE(notFound, MessageOf(api, ERROR_ACCESS_DENIED));

    // The buffer size reaches the system: a text that does not fit fails.
    std::string tiny(4, '\0');
    EXPECT_EQ(api.FormatMessageA(kMessageFlags, ERROR_FILE_NOT_FOUND, 0, tiny.data(), 4), 0u);
    EXPECT_EQ(api.GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    std::string none(256, '\0');
    EXPECT_EQ(api.FormatMessageA(kMessageFlags, 0x3FFFFFFF, 0, none.data(), 256), 0u);
    EXPECT_EQ(api.GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

struct EventCase {
    const char* Name;
    BOOL ManualReset;
    BOOL InitialState;
    DWORD FirstWait;
    DWORD SecondWait;
};

class EventTest : public testing::TestWithParam<EventCase> {};

TEST_P(EventTest, ResetAndInitialStateReachTheSystem)
{
    CommApi& api = NativeCommApi();
    const EventCase& c = GetParam();
    const HANDLE event = api.CreateEventA(c.ManualReset, c.InitialState);
    ASSERT_NE(event, 0u);
    EXPECT_EQ(api.WaitForSingleObject(event, 0), c.FirstWait);
    EXPECT_EQ(api.WaitForSingleObject(event, 0), c.SecondWait);
    EXPECT_TRUE(api.CloseHandle(event));
}

INSTANTIATE_TEST_SUITE_P(
    Events, EventTest,
    testing::Values(EventCase{"manual_unsignalled", true, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
                    EventCase{"manual_signalled", true, true, WAIT_OBJECT_0, WAIT_OBJECT_0},
                    // An auto-reset event lets one wait through.
                    EventCase{"auto_signalled", false, true, WAIT_OBJECT_0, WAIT_TIMEOUT}),
    [](const testing::TestParamInfo<EventCase>& row) { return row.param.Name; });

TEST(SystemCalls, AClosedHandleIsRefused)
{
    CommApi& api = NativeCommApi();
    const HANDLE event = api.CreateEventA(true, true);
    ASSERT_TRUE(api.CloseHandle(event));
    EXPECT_EQ(api.WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(api.CloseHandle(event));
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SystemCalls, TheClocksRunInMilliseconds)
{
    CommApi& api = NativeCommApi();
    std::int64_t frequency = 0;
    ASSERT_TRUE(api.QueryPerformanceFrequency(&frequency));
    ASSERT_GT(frequency, 0);
    std::int64_t countBefore = 0;
    std::int64_t countAfter = 0;
    ASSERT_TRUE(api.QueryPerformanceCounter(&countBefore));
    const DWORD tickBefore = api.GetTickCount();
    api.Sleep(50);
    ASSERT_TRUE(api.QueryPerformanceCounter(&countAfter));
    const DWORD tickAfter = api.GetTickCount();
    // Lower bounds only: a busy machine may sleep longer, never shorter.
    // The tick count moves in steps of about 16 ms.
    EXPECT_GE(countAfter - countBefore, frequency * 45 / 1000);
    EXPECT_GE(tickAfter - tickBefore, 25u) << "ticks " << tickBefore << " to " << tickAfter;
}

TEST(SystemCalls, TheSystemIsOfTheNtFamily)
{
    EXPECT_EQ(NativeCommApi().PlatformId(), VER_PLATFORM_WIN32_NT);
}

} // namespace
} // namespace tarvik::win
