// Overlapped reads and writes: finished at once, pending until the device
// moves, ended by the port time-outs, aborted, and the synchronous form.
#include "posix/pty_fixture.h"

#include <vector>

namespace tarvik::posix::testing {
namespace {

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

class TransferTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        OpenPort();
        // What the component gives every port it opens.
        SetTimeouts({0xFFFF, 0, 0, 0, 0});
    }
    void SetTimeouts(COMMTIMEOUTS timeouts) { ASSERT_TRUE(api_.SetCommTimeouts(port_, &timeouts)); }

    OVERLAPPED overlapped_{};
    DWORD count_ = 0xDEAD;
};

TEST_F(TransferTest, CompleteAtOnceWhenTheDeviceIsReady)
{
    ASSERT_TRUE(api_.WriteFile(port_, "hello", 5, &count_, &overlapped_));
    EXPECT_EQ(count_, 5u);
    EXPECT_EQ(overlapped_.Internal, 0u);
    EXPECT_EQ(overlapped_.InternalHigh, 5u);
    EXPECT_EQ(pty_.Receive(6), "hello");

    pty_.Send("abc");
    ASSERT_EQ(WaitQueued(3), 3u);
    char got[3] = {};
    overlapped_ = OVERLAPPED{};
    ASSERT_TRUE(api_.ReadFile(port_, got, 3, &count_, &overlapped_));
    EXPECT_EQ(count_, 3u);
    EXPECT_EQ(overlapped_.InternalHigh, 3u);
    EXPECT_EQ(std::string(got, 3), "abc");
    // Nothing pending: the port is signalled.
    EXPECT_EQ(api_.WaitForSingleObject(port_, 0), WAIT_OBJECT_0);
}

TEST_F(TransferTest, APendingReadEndsWhenAllBytesHaveCome)
{
    char got[6] = {};
    EXPECT_FALSE(api_.ReadFile(port_, got, 6, &count_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);

    pty_.Send("ab");
    EXPECT_EQ(api_.WaitForSingleObject(port_, kShort), WAIT_TIMEOUT);
    EXPECT_FALSE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(api_.GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(count_, 2u);

    pty_.Send("cdef");
    EXPECT_EQ(api_.WaitForSingleObject(port_, kSettle), WAIT_OBJECT_0);
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(count_, 6u);
    EXPECT_EQ(std::string(got, 6), "abcdef");
}

TEST_F(TransferTest, GetOverlappedResultCanWaitForTheRead)
{
    char got[2] = {};
    EXPECT_FALSE(api_.ReadFile(port_, got, 2, &count_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    pty_.Send("yz");
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 1));
    EXPECT_EQ(count_, 2u);
    EXPECT_EQ(std::string(got, 2), "yz");
}

TEST_F(TransferTest, ReadTimeOutsEndAReadWithWhatCame)
{
    const struct {
        const char* what;
        COMMTIMEOUTS timeouts;
        const char* sent; // before the read starts
        DWORD expected;
        std::int64_t atLeastMs;
    } cases[] = {
        {"gap between bytes", {30, 0, 0, 0, 0}, "abc", 3, 30},
        {"total", {0, 0, 25, 0, 0}, "", 0, 25},
        {"total per byte", {0, 2, 5, 0, 0}, "x", 1, 25},
        {"at once, nothing queued", {MAXDWORD, 0, 0, 0, 0}, "", 0, 0},
        {"at once, some queued", {MAXDWORD, 0, 0, 0, 0}, "pq", 2, 0},
        {"first byte or time", {MAXDWORD, MAXDWORD, 20, 0, 0}, "", 0, 20},
    };
    for (const auto& c : cases) {
        SetTimeouts(c.timeouts);
        const std::string sent = c.sent;
        pty_.Send(sent);
        ASSERT_EQ(WaitQueued(sent.size()), sent.size());
        char got[10] = {};
        overlapped_ = OVERLAPPED{};
        const std::int64_t start = NowMs();
        if (!api_.ReadFile(port_, got, 10, &count_, &overlapped_)) {
            ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING) << c.what;
            EXPECT_EQ(api_.WaitForSingleObject(port_, kSettle), WAIT_OBJECT_0) << c.what;
            ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0)) << c.what;
        }
        const std::int64_t took = NowMs() - start;
        EXPECT_EQ(count_, c.expected) << c.what;
        EXPECT_EQ(std::string(got, count_), sent) << c.what;
        EXPECT_GE(took, c.atLeastMs) << c.what;
        EXPECT_LT(took, c.atLeastMs + kSettle) << c.what;
    }
}

TEST_F(TransferTest, TheFirstByteEndsAFirstByteRead)
{
    SetTimeouts({MAXDWORD, MAXDWORD, 1000, 0, 0});
    char got[10] = {};
    EXPECT_FALSE(api_.ReadFile(port_, got, 10, &count_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    pty_.Send("k");
    EXPECT_EQ(api_.WaitForSingleObject(port_, kSettle), WAIT_OBJECT_0);
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(count_, 1u);
    EXPECT_EQ(got[0], 'k');
}

TEST_F(TransferTest, AWriteTheDeviceDoesNotTakeIsAbortedWithItsCount)
{
    // Far more than a pty buffers while nobody reads the master.
    std::vector<char> data(1 << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);
    EXPECT_FALSE(api_.WriteFile(port_, data.data(), data.size(), &count_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);

    const std::int64_t start = NowMs();
    EXPECT_EQ(api_.WaitForSingleObject(port_, kShort), WAIT_TIMEOUT);
    EXPECT_GE(NowMs() - start, std::int64_t{kShort});

    ASSERT_TRUE(api_.PurgeComm(port_, PURGE_TXABORT));
    EXPECT_FALSE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(api_.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_GT(count_, 0u);
    EXPECT_LT(count_, data.size());

    // The record is the caller's again: later waits must not write to it.
    overlapped_.Internal = 0x1234;
    overlapped_.InternalHigh = 0x5678;
    const std::string drained = pty_.Receive(data.size());
    EXPECT_EQ(api_.WaitForSingleObject(port_, kShort), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped_.Internal, 0x1234u);
    EXPECT_EQ(overlapped_.InternalHigh, 0x5678u);

    // What the count says went out is exactly what the device got.
    ASSERT_EQ(drained.size(), count_);
    EXPECT_EQ(drained, std::string(data.data(), count_));
}

TEST_F(TransferTest, ReadAbortAndCloseEndPendingReads)
{
    char got[8] = {};
    EXPECT_FALSE(api_.ReadFile(port_, got, 8, &count_, &overlapped_));
    pty_.Send("12");
    EXPECT_EQ(api_.WaitForSingleObject(port_, kShort), WAIT_TIMEOUT);
    ASSERT_TRUE(api_.PurgeComm(port_, PURGE_RXABORT));
    EXPECT_FALSE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(api_.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(count_, 2u);

    OVERLAPPED second{};
    EXPECT_FALSE(api_.ReadFile(port_, got, 8, &count_, &second));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    pty_.Send("3");
    ASSERT_TRUE(api_.CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(second.Internal, ERROR_OPERATION_ABORTED);
}

TEST_F(TransferTest, PurgeClearEmptiesTheReceiveQueue)
{
    pty_.Send("stale");
    ASSERT_EQ(WaitQueued(5), 5u);
    ASSERT_TRUE(
        api_.PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    COMSTAT stat{};
    ASSERT_TRUE(api_.ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(api_.PurgeComm(port_, 0x10));
    EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER);
}

class SynchronousTransferTest : public PortTest {};

TEST_F(SynchronousTransferTest, WaitsInsideTheCall)
{
    OpenPort(FILE_ATTRIBUTE_NORMAL);
    DWORD count = 0;
    ASSERT_TRUE(api_.WriteFile(port_, "sync", 4, &count, nullptr));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(pty_.Receive(5), "sync");

    COMMTIMEOUTS timeouts{0, 0, 30, 0, 0};
    ASSERT_TRUE(api_.SetCommTimeouts(port_, &timeouts));
    pty_.Send("ab");
    ASSERT_EQ(WaitQueued(2), 2u);
    char got[4] = {};
    const std::int64_t start = NowMs();
    ASSERT_TRUE(api_.ReadFile(port_, got, 4, &count, nullptr));
    EXPECT_GE(NowMs() - start, 30);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(got, 2), "ab");
}

} // namespace
} // namespace tarvik::posix::testing
