// Error codes and their texts, and what a handle of the wrong kind gets.
#include "platform/posix/posix_errors.h"
#include "posix/pty_fixture.h"

#include <cerrno>
#include <cstring>

namespace tarvik::posix::testing {
namespace {

constexpr DWORD kSystemText =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;

TEST(ErrnoMapping, GivesTheWin32CodeOfTheSameMeaning)
{
    const struct {
        int err;
        DWORD code;
    } cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},     {ENXIO, ERROR_FILE_NOT_FOUND},
        {ENODEV, ERROR_FILE_NOT_FOUND},     {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},       {EBUSY, ERROR_ACCESS_DENIED},
        {EWOULDBLOCK, ERROR_ACCESS_DENIED}, {EBADF, ERROR_INVALID_HANDLE},
        {EINVAL, ERROR_INVALID_PARAMETER},  {ENOTTY, ERROR_INVALID_FUNCTION},
        {EIO, ERROR_DEVICE_NOT_CONNECTED},  {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EPROTO, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Win32FromErrno(c.err), c.code) << std::strerror(c.err);
}

TEST(ErrnoMapping, EveryCodeItGivesHasAMessage)
{
    // Whatever a failing call reports, the component can show a text for.
    for (int err = 1; err < 134; ++err)
        EXPECT_NE(Win32MessageText(Win32FromErrno(err)), nullptr)
            << std::strerror(err) << " -> " << Win32FromErrno(err);
}

TEST(FormatMessage, CopiesTheSystemTextWithItsLineEnd)
{
    const struct {
        DWORD id;
        const char* text;
    } cases[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
        {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
        {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a "
                                  "thread exit or an application request.\r\n"},
    };
    PosixCommApi api;
    for (const auto& c : cases) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        const DWORD length = api.FormatMessageA(kSystemText, c.id, 0, buffer, sizeof buffer);
        EXPECT_EQ(length, std::strlen(c.text)) << c.id;
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(FormatMessage, TruncatesToTheBufferAndTerminates)
{
    PosixCommApi api;
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(api.FormatMessageA(kSystemText, ERROR_FILE_NOT_FOUND, 0, buffer, sizeof buffer), 9u);
    EXPECT_STREQ(buffer, "The syste");
}

TEST(FormatMessage, AnIdWithoutTextGivesNothing)
{
    PosixCommApi api;
    char buffer[64] = "untouched";
    EXPECT_EQ(api.FormatMessageA(kSystemText, 12345, 0, buffer, sizeof buffer), 0u);
    EXPECT_EQ(api.GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(Handles, UnknownOrWrongKindIsInvalid)
{
    PosixCommApi api;
    const HANDLE event = api.CreateEventA(1, 0);
    ASSERT_NE(event, 0u);
    ASSERT_NE(event, INVALID_HANDLE_VALUE);
    for (const HANDLE handle : {HANDLE{0x4242}, INVALID_HANDLE_VALUE, event}) {
        char byte = 0;
        DWORD count = 0;
        OVERLAPPED overlapped{};
        DCB dcb{};
        COMSTAT stat{};
        api.SetLastError(0);
        EXPECT_FALSE(api.ReadFile(handle, &byte, 1, &count, &overlapped));
        EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
        api.SetLastError(0);
        EXPECT_FALSE(api.WriteFile(handle, &byte, 1, &count, &overlapped));
        EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
        api.SetLastError(0);
        EXPECT_FALSE(api.GetCommState(handle, &dcb));
        EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
        api.SetLastError(0);
        EXPECT_FALSE(api.ClearCommError(handle, nullptr, &stat));
        EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
        api.SetLastError(0);
        EXPECT_EQ(api.EscapeCommFunction(handle, SETDTR), 0u);
        EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
    }
    api.SetLastError(0);
    EXPECT_EQ(api.WaitForSingleObject(0x4242, 0), WAIT_FAILED);
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(api.CloseHandle(event));
    EXPECT_FALSE(api.CloseHandle(event));
    EXPECT_EQ(api.GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Clock, CountsNanosecondsAndMilliseconds)
{
    PosixCommApi api;
    std::int64_t frequency = 0;
    std::int64_t before = 0;
    std::int64_t after = 0;
    ASSERT_TRUE(api.QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency, 1'000'000'000);
    const DWORD tickBefore = api.GetTickCount();
    ASSERT_TRUE(api.QueryPerformanceCounter(&before));
    api.Sleep(15);
    ASSERT_TRUE(api.QueryPerformanceCounter(&after));
    const DWORD tickAfter = api.GetTickCount();
    EXPECT_GE(after - before, 15'000'000);
    EXPECT_LT(after - before, 1'000'000'000);
    EXPECT_GE(tickAfter - tickBefore, 14u);
    EXPECT_LE(tickAfter - tickBefore, (after - before) / 1'000'000 + 2);
}

TEST(NativeApi, IsOneLinuxBackendOfTheNtFamily)
{
    CommApi& api = NativeCommApi();
    EXPECT_EQ(&api, &NativeCommApi());
    EXPECT_NE(dynamic_cast<PosixCommApi*>(&api), nullptr);
    EXPECT_EQ(api.PlatformId(), VER_PLATFORM_WIN32_NT);
}

} // namespace
} // namespace tarvik::posix::testing
