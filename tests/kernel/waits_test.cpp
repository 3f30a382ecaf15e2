// Events, semaphores, mutexes and time-outs on the accelerated and the virtual clock; the
// virtual clock's automatic advance and deadlock detection.
#include <chrono>
#include <future>
#include <thread>

#include "kernel_test_support.h"

namespace {

using hosted::Clock;

LARGE_INTEGER Relative(std::int64_t milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -milliseconds * Clock::kTicksPerMillisecond;
  return timeout;
}

NTSTATUS WaitMs(PVOID object, std::int64_t milliseconds) {
  LARGE_INTEGER timeout = Relative(milliseconds);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

TEST(Waits, NotificationEventStaysSignalledForEveryWaiter) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // previous state
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Waits, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(WaitMs(&event, 0), STATUS_SUCCESS);
  EXPECT_EQ(WaitMs(&event, 0), STATUS_TIMEOUT);  // the first wait consumed the signal

  Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  auto first = std::async(std::launch::async, [&] { return WaitMs(&event, 1000); });
  auto second = std::async(std::launch::async, [&] { return WaitMs(&event, 1000); });
  ASSERT_TRUE(Clock::WaitForTimedWaiters(2));
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  while (Clock::TimedWaiters() != 1) std::this_thread::yield();  // one of them took it
  Clock::Advance(std::chrono::seconds(1));
  const NTSTATUS a = first.get();
  const NTSTATUS b = second.get();
  EXPECT_EQ((a == STATUS_SUCCESS) + (b == STATUS_SUCCESS), 1);
  EXPECT_EQ((a == STATUS_TIMEOUT) + (b == STATUS_TIMEOUT), 1);
}

// A five-minute time-out at the default factor (1000) takes 300 ms of real time; this one
// uses 30 s of kernel time.
TEST(Waits, TimeOutRunsOnTheAcceleratedClock) {
  Clock::SetAccelerated(1000);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const std::int64_t kernelStart = Clock::Now();
  const auto realStart = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitMs(&event, 30000), STATUS_TIMEOUT);
  const auto real = std::chrono::steady_clock::now() - realStart;
  EXPECT_GE(Clock::Now() - kernelStart, 30000 * Clock::kTicksPerMillisecond);
  EXPECT_GE(real, std::chrono::milliseconds(29));
  EXPECT_LT(real, std::chrono::seconds(5));
}

TEST(Waits, VirtualTimeOutFiresOnlyWhenTimeIsAdvancedPastIt) {
  Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const std::int64_t start = Clock::Now();
  auto waiter = std::async(std::launch::async, [&] { return WaitMs(&event, 300000); });
  ASSERT_TRUE(Clock::WaitForTimedWaiters(1));
  Clock::Advance(std::chrono::milliseconds(299999));
  ASSERT_TRUE(Clock::WaitForTimedWaiters(1));  // woke, saw it is not due, waits again
  EXPECT_NE(waiter.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(Clock::AdvanceToNextDeadline());
  EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
  EXPECT_EQ(Clock::Now() - start, 300000 * Clock::kTicksPerMillisecond);
}

struct TimeoutRow {
  const char* name;
  bool virtualClock;
  enum { Before, During, Never } signal;
};

class WaitsTimeout : public ::testing::TestWithParam<TimeoutRow> {};

TEST_P(WaitsTimeout, SignalBeforeDuringOrNeverDecidesTheResult) {
  const TimeoutRow row = GetParam();
  if (row.virtualClock) Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  if (row.signal == TimeoutRow::Before) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  auto waiter = std::async(std::launch::async, [&] { return WaitMs(&event, 60000); });
  if (row.signal == TimeoutRow::During) {
    ASSERT_TRUE(Clock::WaitForTimedWaiters(1));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  } else if (row.signal == TimeoutRow::Never && row.virtualClock) {
    ASSERT_TRUE(Clock::WaitForTimedWaiters(1));
    Clock::Advance(std::chrono::minutes(1));
  }
  EXPECT_EQ(waiter.get(), row.signal == TimeoutRow::Never ? STATUS_TIMEOUT : STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Clocks, WaitsTimeout,
                         ::testing::Values(TimeoutRow{"AcceleratedBefore", false, TimeoutRow::Before},
                                           TimeoutRow{"AcceleratedDuring", false, TimeoutRow::During},
                                           TimeoutRow{"AcceleratedNever", false, TimeoutRow::Never},
                                           TimeoutRow{"VirtualBefore", true, TimeoutRow::Before},
                                           TimeoutRow{"VirtualDuring", true, TimeoutRow::During},
                                           TimeoutRow{"VirtualNever", true, TimeoutRow::Never}),
                         [](const auto& info) { return std::string(info.param.name); });

// With automatic advance nothing steps time: once every hosted thread is blocked it jumps
// to the earliest deadline, so each time-out ends exactly at its own deadline, in order.
TEST(Waits, AutomaticAdvanceEndsEachTimeOutExactlyAtItsDeadline) {
  Clock::SetVirtual(Clock::TimeAdvance::Automatic);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  const std::int64_t start = Clock::Now();
  std::int64_t ended[2] = {0, 0};
  {
    hosted::KernelThread late("late waiter", [&] {
      EXPECT_EQ(WaitMs(&never, 300000), STATUS_TIMEOUT);
      ended[1] = Clock::Now() - start;
    });
    hosted::KernelThread early("early waiter", [&] {
      EXPECT_EQ(WaitMs(&never, 60000), STATUS_TIMEOUT);
      ended[0] = Clock::Now() - start;
    });
  }
  EXPECT_EQ(ended[0], 60000 * Clock::kTicksPerMillisecond);
  EXPECT_EQ(ended[1], 300000 * Clock::kTicksPerMillisecond);
  EXPECT_EQ(Clock::Now() - start, 300000 * Clock::kTicksPerMillisecond) << "and no further";
}

// Every hosted thread blocked and no wait with a deadline: nothing can ever wake them. The
// verifier names each wait and the process stops at once, as for a bug check.
TEST(WaitsDeathTest, EveryThreadBlockedWithNothingDueIsADeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Clock::SetVirtual(Clock::TimeAdvance::Automatic);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        hosted::KernelThread waiter("forgotten waiter", [&] {
          (void)KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        });
        waiter.Join();
      },
      "deadlock.*\"test thread\" waits in KernelThread::Join on thread \"forgotten waiter\".*"
      "\"forgotten waiter\" waits in KeWaitForSingleObject on notification event 0x");
}

// A thread that only ever waits out time-outs while another waits for it: virtual time
// would run forever; after a day of kernel time it is reported as a live-lock.
TEST(WaitsDeathTest, TimeRunningADayByItselfIsALiveLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Clock::SetVirtual(Clock::TimeAdvance::Automatic);
        hosted::KernelThread poller("poller", [] {
          for (;;) {
            LARGE_INTEGER hour = Relative(3600 * 1000);
            (void)KeDelayExecutionThread(KernelMode, FALSE, &hour);
          }
        });
        poller.Join();
      },
      "deadlock.*live-lock.*\"poller\" waits in KeDelayExecutionThread");
}

TEST(Waits, AbsoluteTimeOutIsASystemTime) {
  Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + 2 * Clock::kTicksPerSecond;
  auto waiter = std::async(std::launch::async,
                           [&] { return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline); });
  ASSERT_TRUE(Clock::WaitForTimedWaiters(1));
  Clock::Advance(std::chrono::seconds(2));
  EXPECT_EQ(waiter.get(), STATUS_TIMEOUT);
}

TEST(Waits, DelayAndStallFollowKernelTime) {
  Clock::SetVirtual(hosted::Clock::TimeAdvance::Manual);
  const std::int64_t start = Clock::Now();
  auto sleeper = std::async(std::launch::async, [] {
    LARGE_INTEGER interval = Relative(1500);
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
  });
  ASSERT_TRUE(Clock::WaitForTimedWaiters(1));
  Clock::Advance(std::chrono::milliseconds(1500));
  EXPECT_EQ(sleeper.get(), STATUS_SUCCESS);
  KeStallExecutionProcessor(250);  // a stall moves virtual time itself
  EXPECT_EQ(Clock::Now() - start, 1500 * Clock::kTicksPerMillisecond + 250 * Clock::kTicksPerMicrosecond);
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, Clock::Now() / KeQueryTimeIncrement());
}

TEST(Waits, SemaphoreCountsAndRefusesToPassItsLimit) {
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 1, 2);
  EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_SUCCESS);
  EXPECT_EQ(WaitMs(&semaphore, 0), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
  {
    hosted::test::ExpectViolation beyondLimit(hosted::Check::InvalidParameter, "limit");
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
  }
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
}

TEST(Waits, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(WaitMs(&mutex, 0), STATUS_SUCCESS);
  EXPECT_EQ(WaitMs(&mutex, 0), STATUS_SUCCESS);  // recursion by the owner
  auto other = std::async(std::launch::async, [&] { return WaitMs(&mutex, 0); });
  EXPECT_EQ(other.get(), STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  KeReleaseMutex(&mutex, FALSE);
  auto later = std::async(std::launch::async, [&] {
    const NTSTATUS status = WaitMs(&mutex, 0);
    if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
    return status;
  });
  EXPECT_EQ(later.get(), STATUS_SUCCESS);
}

}  // namespace
