// IRQL per thread and spin locks that really exclude other threads.
#include <atomic>
#include <thread>
#include <vector>

#include "kernel_test_support.h"

namespace {

TEST(SpinLock, AcquireRaisesToDispatchLevelAndReleaseRestoresTheOldIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (KIRQL start : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(APC_LEVEL)}) {
    SCOPED_TRACE(static_cast<int>(start));
    KIRQL entry;
    KeRaiseIrql(start, &entry);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, start);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(hosted::HeldSpinLockCount(), 1u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), start);
    KeLowerIrql(entry);
  }
  EXPECT_EQ(hosted::HeldSpinLockCount(), 0u);
}

TEST(SpinLock, IrqlBelongsToEachThread) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL other = 0xFF;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(old);
}

// Four threads increment a plain counter under the lock: no increment may be lost, and no
// two threads may ever be inside together.
TEST(SpinLock, ExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t % 2 == 0) {
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          if (inside.fetch_add(1) != 0) overlaps++;
          counter = counter + 1;
          inside.fetch_sub(1);
          KeReleaseSpinLock(&lock, old);
        } else {
          KLOCK_QUEUE_HANDLE handle;
          KeAcquireInStackQueuedSpinLock(&lock, &handle);
          if (inside.fetch_add(1) != 0) overlaps++;
          counter = counter + 1;
          inside.fetch_sub(1);
          KeReleaseInStackQueuedSpinLock(&handle);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kRounds);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(SpinLock, DpcLevelPairLeavesIrqlAlone) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));  // held (by this thread): no second owner
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
}

TEST(SpinLock, CancelSpinLockRaisesAndRestores) {
  KIRQL old;
  IoAcquireCancelSpinLock(&old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  IoReleaseCancelSpinLock(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
