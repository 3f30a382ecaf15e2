// Pool bookkeeping and allocation-failure injection.
#include <algorithm>
#include <vector>

#include "kernel_test_support.h"

namespace {

using hosted::AllocationFailures;
using hosted::Pool;

constexpr ULONG kTagA = '_LAT';
constexpr ULONG kTagB = 'tseT';

TEST(Pool, BlocksAreTrackedWithTagTypeAndSizeAndFilledWithAPattern) {
  const std::size_t before = Pool::OutstandingCount(kTagA);
  auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 37, kTagA));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Pool::OutstandingCount(kTagA), before + 1);
  bool found = false;
  for (const hosted::PoolBlock& info : Pool::Outstanding()) {
    if (info.address != block) continue;
    found = true;
    EXPECT_EQ(info.tag, kTagA);
    EXPECT_EQ(info.type, NonPagedPoolNx);
    EXPECT_EQ(info.size, 37u);
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(block[0], hosted::kPoolFreshByte);
  EXPECT_EQ(block[36], hosted::kPoolFreshByte);
  ExFreePoolWithTag(block, kTagA);
  EXPECT_EQ(Pool::OutstandingCount(kTagA), before);
}

// A write into a freed block waiting in the quarantine is found by the next check. Under
// AddressSanitizer freed blocks go back at once and its own quarantine reports the write.
TEST(Pool, WriteAfterFreeIsFoundWhileTheBlockIsQuarantined) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reports the stale write itself";
#else
  auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 12, kTagA));
  ExFreePoolWithTag(const_cast<unsigned char*>(block), kTagA);
  EXPECT_EQ(block[11], hosted::kPoolFreedByte);
  block[3] = 0;
  hosted::test::ExpectViolation expected(hosted::Check::PoolWriteAfterFree, "'TAL_', 12 bytes");
  hosted::CheckForLeaks(hosted::TakeSnapshot(), "in the test");
#endif
}

// Makes three allocations; returns which of them failed.
std::vector<bool> ThreeAllocations() {
  std::vector<bool> failed;
  const struct {
    ULONG tag;
    SIZE_T size;
  } requests[] = {{kTagA, 512}, {kTagB, 40}, {kTagA, 40}};
  for (const auto& request : requests) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, request.size, request.tag);
    failed.push_back(block == nullptr);
    if (block != nullptr) ExFreePoolWithTag(block, request.tag);
  }
  return failed;
}

TEST(Pool, FailingEachAllocationInTurnReachesEveryFailurePath) {
  AllocationFailures::Clear();
  ThreeAllocations();
  const std::uint64_t attempts = AllocationFailures::Attempts();
  ASSERT_EQ(attempts, 3u);
  for (std::uint64_t nth = 1; nth <= attempts; ++nth) {
    SCOPED_TRACE(nth);
    AllocationFailures::Clear();
    AllocationFailures::FailNth(nth);
    const std::vector<bool> failed = ThreeAllocations();
    for (std::uint64_t i = 0; i < failed.size(); ++i) EXPECT_EQ(failed[i], i + 1 == nth);
    EXPECT_EQ(AllocationFailures::Injected(), 1u);
  }
}

TEST(Pool, RulesSelectByTagSizeAndOccurrence) {
  struct Row {
    const char* name;
    hosted::FailureRule rule;
    std::vector<bool> expected;
  };
  hosted::FailureRule byTag;
  byTag.tag = kTagA;
  byTag.nth = 2;
  hosted::FailureRule bySize;
  bySize.size = 40;
  bySize.maxFailures = 0;  // every matching allocation
  hosted::FailureRule afterSkip;
  afterSkip.skip = 1;
  afterSkip.maxFailures = 0;
  const Row rows[] = {{"second TAL_ block", byTag, {false, false, true}},
                      {"every 40-byte block", bySize, {false, true, true}},
                      {"all after the first", afterSkip, {false, true, true}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    AllocationFailures::Clear();
    AllocationFailures::Add(row.rule);
    EXPECT_EQ(ThreeAllocations(), row.expected);
  }
}

TEST(Pool, RandomFailuresRepeatForTheSameSeed) {
  auto run = [](std::uint32_t seed) {
    AllocationFailures::Clear();
    AllocationFailures::FailRandom(0.5, seed);
    std::vector<bool> all;
    for (int i = 0; i < 10; ++i) {
      for (bool failed : ThreeAllocations()) all.push_back(failed);
    }
    return all;
  };
  const std::vector<bool> first = run(7);
  EXPECT_EQ(run(7), first);
  EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
  EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
}

// Kernel routines that allocate fail under their own name; status-only routines return the
// rule's status.
TEST(Pool, RoutinesFailByName) {
  AllocationFailures::FailRoutine("IoAllocateIrp");
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  PIRP irp = IoAllocateIrp(2, FALSE);  // the rule failed once
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);

  AllocationFailures::FailRoutine("ZwOpenKey", STATUS_ACCESS_DENIED);
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\Software");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key;
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_ACCESS_DENIED);
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
  ZwClose(key);
}

}  // namespace
