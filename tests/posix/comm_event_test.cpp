// Comm events and queue status: data already there, a wait bounded by the
// caller's time-out or ended by a new mask, and the device going away.
#include "posix/pty_fixture.h"

namespace tarvik::posix::testing {
namespace {

class CommEventTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        OpenPort();
        event_ = api_.CreateEventA(1, 0);
        ASSERT_NE(event_, 0u);
        overlapped_.hEvent = event_;
    }
    void TearDown() override
    {
        api_.CloseHandle(event_);
        PortTest::TearDown();
    }

    HANDLE event_ = 0;
    OVERLAPPED overlapped_{};
    DWORD occurred_ = 0xDEAD;
    DWORD count_ = 0;
};

TEST_F(CommEventTest, DataAlreadyQueuedAnswersAtOnce)
{
    pty_.Send("z");
    ASSERT_EQ(WaitQueued(1), 1u);
    ASSERT_TRUE(api_.SetCommMask(port_, EV_RXCHAR));
    ASSERT_TRUE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    EXPECT_EQ(occurred_, EV_RXCHAR);
    EXPECT_EQ(api_.WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
}

TEST_F(CommEventTest, AnEmptyTransmitterAnswersAtOnce)
{
    ASSERT_TRUE(api_.SetCommMask(port_, EV_TXEMPTY | EV_RXCHAR));
    ASSERT_TRUE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    EXPECT_EQ(occurred_, EV_TXEMPTY);
}

TEST_F(CommEventTest, AWaitIsBoundedByTheCallersTimeOutAndEndedByANewMask)
{
    // Signalled beforehand: starting the wait must reset it.
    const HANDLE signalled = api_.CreateEventA(1, 1);
    overlapped_.hEvent = signalled;
    ASSERT_TRUE(api_.SetCommMask(port_, EV_RXCHAR));
    EXPECT_FALSE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);

    const std::int64_t start = NowMs();
    EXPECT_EQ(api_.WaitForSingleObject(signalled, kShort), WAIT_TIMEOUT);
    const std::int64_t took = NowMs() - start;
    EXPECT_GE(took, std::int64_t{kShort});
    EXPECT_LT(took, std::int64_t{kShort + kSettle});
    EXPECT_FALSE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 0));
    EXPECT_EQ(api_.GetLastError(), ERROR_IO_INCOMPLETE);

    ASSERT_TRUE(api_.SetCommMask(port_, 0));
    EXPECT_EQ(api_.WaitForSingleObject(signalled, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 1));
    EXPECT_EQ(occurred_, 0u);
    EXPECT_TRUE(api_.CloseHandle(signalled));
}

TEST_F(CommEventTest, APendingWaitEndsWhenDataArrives)
{
    ASSERT_TRUE(api_.SetCommMask(port_, EV_RXCHAR));
    EXPECT_FALSE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    pty_.Send("!");
    ASSERT_EQ(api_.WaitForSingleObject(event_, kSettle), WAIT_OBJECT_0);
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 1));
    EXPECT_EQ(occurred_, EV_RXCHAR);
}

TEST_F(CommEventTest, WaitsNeedAMaskAndOneAtATime)
{
    api_.SetLastError(0);
    EXPECT_FALSE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(api_.SetCommMask(port_, EV_RXCHAR));
    EXPECT_FALSE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    OVERLAPPED second{};
    DWORD secondOccurred = 0;
    EXPECT_FALSE(api_.WaitCommEvent(port_, &secondOccurred, &second));
    EXPECT_EQ(api_.GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(api_.CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(overlapped_.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(api_.WaitForSingleObject(event_, 0), WAIT_OBJECT_0);
}

TEST_F(CommEventTest, ClearCommErrorCountsTheQueues)
{
    pty_.Send("1234567");
    ASSERT_EQ(WaitQueued(7), 7u);
    DWORD errors = 0xDEAD;
    COMSTAT stat{};
    ASSERT_TRUE(api_.ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_EQ(errors, 0u); // a pty counts no line errors

    char got[3];
    ASSERT_TRUE(api_.ReadFile(port_, got, 3, &count_, &overlapped_));
    ASSERT_TRUE(api_.ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 4u);
    EXPECT_TRUE(api_.ClearCommError(port_, nullptr, nullptr));
}

TEST_F(CommEventTest, AHangUpEndsTheWaitAndReportsTheDeviceGone)
{
    pty_.Send("hi");
    ASSERT_EQ(WaitQueued(2), 2u);
    char got[2];
    ASSERT_TRUE(api_.ReadFile(port_, got, 2, &count_, &overlapped_));

    ASSERT_TRUE(api_.SetCommMask(port_, EV_RXCHAR));
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_;
    EXPECT_FALSE(api_.WaitCommEvent(port_, &occurred_, &overlapped_));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);

    pty_.CloseMaster();
    const std::int64_t start = NowMs();
    ASSERT_EQ(api_.WaitForSingleObject(event_, 10 * kSettle), WAIT_OBJECT_0);
    EXPECT_LT(NowMs() - start, std::int64_t{kSettle});
    ASSERT_TRUE(api_.GetOverlappedResult(port_, &overlapped_, &count_, 1));
    EXPECT_EQ(occurred_, EV_RXCHAR);

    COMSTAT stat{};
    EXPECT_FALSE(api_.ClearCommError(port_, nullptr, &stat));
    EXPECT_EQ(api_.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CommEventTest, AHangUpEndsPendingTransfersWithTheDeviceGone)
{
    char got[4];
    OVERLAPPED read{};
    EXPECT_FALSE(api_.ReadFile(port_, got, 4, &count_, &read));
    ASSERT_EQ(api_.GetLastError(), ERROR_IO_PENDING);
    pty_.CloseMaster();
    EXPECT_EQ(api_.WaitForSingleObject(port_, kSettle), WAIT_OBJECT_0);
    EXPECT_FALSE(api_.GetOverlappedResult(port_, &read, &count_, 0));
    EXPECT_EQ(api_.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    OVERLAPPED write{};
    EXPECT_FALSE(api_.WriteFile(port_, "x", 1, &count_, &write));
    EXPECT_EQ(api_.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

} // namespace
} // namespace tarvik::posix::testing
