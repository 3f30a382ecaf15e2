// The driver's scope guards and little-endian helpers: locks and pool blocks are given
// back on every path, with the IRQL and the tag they were taken with.

#include <gtest/gtest.h>

#include <hosted/kernel/hosted.h>

#include <cstring>
#include <string>

#include "CcidDevice.h"
#include "CcidEndian.h"
#include "CcidGuards.h"

namespace {

TEST(SpinLockGuard, RaisesToDispatchAndRestoresTheCallersIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (KIRQL start : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL)}) {
    SCOPED_TRACE("start at IRQL " + std::to_string(start));
    KIRQL caller = PASSIVE_LEVEL;
    if (start == DISPATCH_LEVEL) KeRaiseIrql(DISPATCH_LEVEL, &caller);
    {
      SpinLockGuard guard(lock);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      EXPECT_EQ(guard.OldIrql(), start);
    }
    EXPECT_EQ(KeGetCurrentIrql(), start);
    if (start == DISPATCH_LEVEL) KeLowerIrql(caller);
  }
}

TEST(SpinLockGuard, EarlyReleaseIsNotRepeatedAtScopeEnd) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  {
    SpinLockGuard guard(lock);
    guard.Release();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The lock is free again: another acquisition works (a second release at scope end
    // would be a verifier violation).
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    KeReleaseSpinLock(&lock, irql);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(DpcSpinLockGuard, KeepsDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL caller;
  KeRaiseIrql(DISPATCH_LEVEL, &caller);
  {
    DpcSpinLockGuard guard(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  }
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(caller);
}

TEST(PoolBlockGuard, FreesWithItsTagUnlessDetached) {
  const std::size_t before = hosted::Pool::OutstandingCount(CCID_POOL_TAG);
  {
    PoolBlock<UCHAR> block(NonPagedPoolNx, 40, CCID_POOL_TAG);
    ASSERT_TRUE(block);
    EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), before + 1);
  }
  EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), before);

  UCHAR* kept = nullptr;
  {
    PoolBlock<UCHAR> block(NonPagedPoolNx, 40, CCID_POOL_TAG);
    kept = block.Detach();
    EXPECT_FALSE(block);
  }
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(hosted::Pool::OutstandingCount(CCID_POOL_TAG), before + 1);
  ExFreePoolWithTag(kept, CCID_POOL_TAG);

  hosted::AllocationFailures::FailTag(CCID_POOL_TAG);
  {
    PoolBlock<UCHAR> block(NonPagedPoolNx, 40, CCID_POOL_TAG);
    EXPECT_FALSE(block);  // nothing to free at scope end
  }
  hosted::AllocationFailures::Clear();
}

TEST(LittleEndian, ReadsAndWritesWireOrder) {
  UCHAR bytes[6] = {0xFF, 0x78, 0x56, 0x34, 0x12, 0xFF};
  EXPECT_EQ(CcidReadLe32(bytes + 1), 0x12345678u);
  EXPECT_EQ(CcidReadLe16(bytes + 1), 0x5678u);
  CcidWriteLe32(bytes + 1, 0xA1B2C3D4u);
  CcidWriteLe16(bytes, 0x0102);
  const UCHAR expected[6] = {0x02, 0x01, 0xC3, 0xB2, 0xA1, 0xFF};
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof(bytes))) << "neighbouring bytes untouched";

  LE32 field{};
  field.Set(0x80000001u);
  EXPECT_EQ(field.Bytes[0], 0x01);
  EXPECT_EQ(field.Bytes[3], 0x80);
  EXPECT_EQ(field.Get(), 0x80000001u);
}

}  // namespace
